// How many reverse lookups the rewriters keep in flight when the number is left to the
// program: it grows while answers come back as fast as before and more of them come back, and
// falls when they slow down (the resolver queues them) or stop coming from zones that do answer
// (it drops or refuses them). A rise that brought no more answers a second is taken back: the
// resolver, or the processors, were already as busy as they could be. One after which answers
// wait longer is kept, but the level grows no further while they do: more would only queue, and
// a queue that overflows loses lookups. Silence from a zone that never answered is the zone's
// own, not a sign of overload. Pure bookkeeping on the times it is given, so that tests drive it
// with a clock of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace hostmoor {

class LookupLevel {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;

    struct Limits {
        int Start = 64;
        // The least it falls to while answers queue or a rise is taken back; lookups lost
        // take it lower.
        int Least = 8;
        int Most = 1024;
        // Up to this the level doubles each round while nothing is lost. Beyond it, where a
        // resolver is more likely to drop what it cannot take, and a lost lookup costs the
        // resolver's whole wait, it grows only when the lookups asked for would take longer
        // than that wait twice over.
        int Free = 256;
        // How long a resolver waits for an answer before it gives up (its time-out times its
        // attempts), until a lookup that ended without an answer shows it.
        Duration GiveUp = std::chrono::seconds(10);
    };

    LookupLevel(Limits limits, Clock::time_point now);

    int Level() const { return fLevel; }
    // The level as it may be used at `now`: a rise is spread over a round trip, so that the
    // lookups it lets in do not reach the resolver in one burst.
    int LevelAt(Clock::time_point now) const;
    // Whether a rise is being spread out at `now`.
    bool Rising(Clock::time_point now) const { return now - fRiseStart < fRiseTime; }
    // The most lookups that were allowed at once.
    int Highest() const { return fHighest; }
    // A lookup in flight this long would have been answered by now: it is lost.
    Duration OverdueAfter() const;
    // A lookup in flight this long is late: while some are, the level does not grow.
    Duration LateAfter() const;

    // A lookup begins, with `inFlight` lookups in flight, itself included, and `waiting` more
    // asked for and not begun.
    void Began(Clock::time_point now, int inFlight, int waiting);
    // A lookup attempt begun at `began` ended: answered (a name, or the name servers' verdict
    // that there is none), or not (a time-out, a server failure, a refusal). `zoneAnswered`
    // tells whether the address's reverse zone answered other lookups; `inFlightAtStart` is
    // how many were in flight when it began.
    void Ended(Clock::time_point now, Clock::time_point began, bool answered, bool zoneAnswered,
               int inFlightAtStart);
    // A lookup lost: when it began, how many were in flight then, and how many of the attempts
    // under way then have ended since (taken by the resolver; below 0: not known).
    struct LostLookup {
        Clock::time_point Began;
        int InFlightAtStart;
        int Taken;
    };
    // Lookups in zones that answer, found still in flight past OverdueAfter() at one look, or
    // one that ended unanswered; each told once.
    void Lost(Clock::time_point now, const std::vector<LostLookup>& lookups);
    // Sets each lost lookup's Taken, given as the attempts under way when it began (none told
    // lost), from when the attempts under way now began (`starts`) and when those of them told
    // lost were told (`told`). Those still under way, in whatever zone, were not taken; those
    // told lost before it began were not counted then.
    static void CountTaken(std::vector<LostLookup>& lookups, std::vector<Clock::time_point> starts,
                           std::vector<Clock::time_point> told);
    // How many of those in flight, in zones that answer, are past LateAfter(): told now and then.
    void Late(Clock::time_point now, int late, int inFlight);

private:
    void EndRound(Clock::time_point now);
    bool WorthGrowing() const;
    Duration Round() const;
    static Duration QueueAbove(Duration median);
    int FewLost() const;
    void Cut(Clock::time_point now);
    bool Queued(Duration median) const;

    const Limits fLimits;
    int fLevel;
    int fHighest;
    bool fStarting = true;        // doubling, until the first sign of overload
    int fCeiling = 0;             // the most found to be taken; 0: none
    Clock::time_point fHoldUntil; // until then the level stays below the ceiling
    Clock::time_point fLastCut;   // lookups begun before it were answered for by the cut
    Duration fGiveUp;
    int fRiseFrom = 0;
    Clock::time_point fRiseStart;
    Duration fRiseTime{0};

    // The round under way: its start, the most in flight, the lookups lost, and the answers'
    // times.
    Clock::time_point fRoundStart;
    int fMostInFlight = 0;
    int fWaiting = 0; // asked for and not begun, when the last lookup began
    int fPreviousMostInFlight = 0;
    int fLost = 0;
    int fLastSafe = 1 << 30; // the fewest in flight when a lost lookup began, less one
    int fTaken = -1;         // the most the resolver was seen to take when one began
    bool fLateNow = false;   // the last count of late lookups was more than a few
    std::vector<Duration> fTimes;
    // The round trip when nothing queues: the least of the recent rounds' medians.
    std::vector<Duration> fRecentMedians;
    Duration fSlowest{0}; // the slowest of the recent answers but a tenth
    int fSlowRounds = 0;  // rounds in a row whose answers came back slower
    bool fBegun = false;  // a lookup has begun
    // Answers: those of the round under way, the first and last of them; the answers a second
    // of the steady full rounds at fRateLevel, summed; and their mean at the level a doubling
    // not judged yet came from.
    int fAnswers = 0;
    Clock::time_point fFirstAnswer, fLastAnswer;
    int fRateLevel = 0;
    double fRateSum = 0;
    int fRateRounds = 0;
    int fBelowLevel = 0; // 0: no doubling to judge
    double fBelowRate = 0;
    Duration fBelowMedian{0}; // the answers' median time there
    Duration fQueueFree{0};   // ... where they were last seen not to queue; 0: never seen to
};

} // namespace hostmoor
