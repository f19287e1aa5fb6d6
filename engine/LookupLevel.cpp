#include "LookupLevel.h"

#include <algorithm>

namespace hostmoor {

namespace {

using namespace std::chrono_literals;

// Rounds with this many answers or more tell the round trip.
constexpr std::size_t kEnoughAnswers = 8;
constexpr std::size_t kMostKept = 4096;
// Rounds whose medians make the round trip when nothing queues.
constexpr std::size_t kRecentRounds = 32;
// Times the slowest answers but a tenth: past it a lookup is lost, and late past the second.
constexpr int kLostFactor = 3;
constexpr int kLateFactor2 = 3; // in halves: 1.5 times
constexpr LookupLevel::Duration kLeastOverdue = 30ms;
// Lookups lost in a round, out of those in flight, that tell overload from a slow answer now
// and then; late ones that hold the level where it is.
constexpr int kLostShare = 50;
constexpr int kLeastLost = 3;

LookupLevel::Duration Percentile(std::vector<LookupLevel::Duration>& times, int percent) {
    const auto at = times.begin() + static_cast<long>((times.size() - 1) * percent / 100);
    std::nth_element(times.begin(), at, times.end());
    return *at;
}

} // namespace

LookupLevel::LookupLevel(Limits limits, Clock::time_point now)
    : fLimits(limits), fLevel(std::clamp(limits.Start, limits.Least, limits.Most)),
      fHighest(fLevel), fHoldUntil(now), fLastCut(now - 1h), fGiveUp(limits.GiveUp),
      fRoundStart(now) {}

LookupLevel::Duration LookupLevel::OverdueAfter() const {
    // Until an answer has come, nothing is known to be late.
    if (fSlowest == Duration::zero())
        return fGiveUp;
    // Not before a fifth of the resolver's wait either: on a busy machine an answer may wait a
    // while for this process, and one counted lost that was only slow lets one too many in.
    return std::min(std::max({fSlowest * kLostFactor, Duration(kLeastOverdue), fGiveUp / 5}),
                    fGiveUp / 2);
}

LookupLevel::Duration LookupLevel::LateAfter() const {
    if (fSlowest == Duration::zero())
        return fGiveUp;
    return std::max(fSlowest * kLateFactor2 / 2, Duration(kLeastOverdue / 2));
}

int LookupLevel::LevelAt(Clock::time_point now) const {
    if (!Rising(now))
        return fLevel;
    const double share = std::chrono::duration<double>(now - fRiseStart) / fRiseTime;
    return fRiseFrom + static_cast<int>((fLevel - fRiseFrom) * share);
}

// A round lasts long enough for a lookup lost at its start to be late, which holds the level.
LookupLevel::Duration LookupLevel::Round() const {
    if (fSlowest == Duration::zero())
        return fGiveUp;
    return std::max(fSlowest * 2, Duration(kLeastOverdue * 2 / 3));
}

void LookupLevel::Began(Clock::time_point now, int inFlight, int waiting) {
    if (!fBegun) {
        // The first round begins with the first lookup, not when the level was made.
        fBegun = true;
        fRoundStart = now;
    }
    fMostInFlight = std::max(fMostInFlight, inFlight);
    fWaiting = waiting;
    if (now - fRoundStart >= Round())
        EndRound(now);
}

void LookupLevel::Ended(Clock::time_point now, Clock::time_point began, bool answered,
                        bool zoneAnswered, int inFlightAtStart) {
    const Duration took = now - began;
    if (answered) {
        if (fAnswers++ == 0)
            fFirstAnswer = now;
        fLastAnswer = now;
        if (fTimes.size() < kMostKept)
            fTimes.push_back(took);
        // The first answers tell how long the first round lasts.
        if (fRecentMedians.empty())
            fSlowest = std::max(fSlowest, took);
    } else {
        // A lookup that waited long for nothing shows how long the resolver waits.
        if (took > std::max(fSlowest * kLostFactor * 2, Duration(kLeastOverdue * 4)))
            fGiveUp = std::max(fGiveUp, took);
        if (zoneAnswered)
            Lost(now, {{began, inFlightAtStart, -1}});
    }
    if (now - fRoundStart >= Round())
        EndRound(now);
}

// Lookups unanswered where answers come: a few more than a slow answer now and then mean the
// resolver takes fewer than were in flight when they began. The level falls below that at
// once, and stays there while the lookups lost meanwhile are tried again. Those begun before
// the last cut were answered for by it.
//
// How many it takes is what it was seen to take: of the attempts under way when a lost lookup
// began, those that have ended since. Failing that (lookups that ended unanswered, told one by
// one), fewer than the fewest in flight when one began, but not below the least: lookups begun
// together reach the resolver in another order than counted, so that one counted third may be
// dropped, and lookups in zones not heard from yet are not told lost at all, so that this count
// may fall far too low or stay far too high.
void LookupLevel::Lost(Clock::time_point now, const std::vector<LostLookup>& lookups) {
    for (const LostLookup& lookup : lookups) {
        if (lookup.Began < fLastCut)
            continue;
        ++fLost;
        fLastSafe = std::min(fLastSafe, lookup.InFlightAtStart - 1);
        fTaken = std::max(fTaken, lookup.Taken);
    }
    if (fLost < std::max(FewLost(), std::max(fMostInFlight, fPreviousMostInFlight) / kLostShare))
        return;
    fStarting = false;
    const bool seen = fTaken >= 0;
    const int least = seen ? 1 : std::min(fLevel, fLimits.Least);
    // At or above the level, nothing says where the resolver stops: well below the level.
    fCeiling = std::clamp(seen ? fTaken : fLastSafe, least, fLevel);
    fLevel = std::max(least, fCeiling < fLevel ? fCeiling * 19 / 20 : fLevel * 7 / 10);
    fHoldUntil = now + 2 * fGiveUp;
    fRiseTime = Duration::zero();
    fBelowLevel = 0;
    Cut(now);
}

// Lookups begun before now are answered for by the change of level made now.
void LookupLevel::Cut(Clock::time_point now) {
    fLastCut = now;
    fLost = 0;
    fLastSafe = 1 << 30;
    fTaken = -1;
}

void LookupLevel::CountTaken(std::vector<LostLookup>& lookups,
                             std::vector<Clock::time_point> starts,
                             std::vector<Clock::time_point> told) {
    std::sort(starts.begin(), starts.end());
    std::sort(told.begin(), told.end());
    for (LostLookup& lookup : lookups) {
        const auto under =
            (std::upper_bound(starts.begin(), starts.end(), lookup.Began) - starts.begin()) -
            (std::lower_bound(told.begin(), told.end(), lookup.Began) - told.begin());
        lookup.Taken -= static_cast<int>(under);
    }
}

// Lookups lost or late that tell overload from a slow answer now and then: fewer at a low level.
int LookupLevel::FewLost() const {
    return std::min(kLeastLost, std::max(1, fLevel / 4));
}

void LookupLevel::Late(Clock::time_point, int late, int inFlight) {
    fLateNow = late > std::max(FewLost(), inFlight / kLostShare);
}

// Below Free, always. Beyond it, a rise that the resolver cannot take costs the lookups it
// loses the resolver's whole wait, which only pays when the lookups asked for would take
// longer than that wait twice over at the level there is.
bool LookupLevel::WorthGrowing() const {
    if (fLevel < fLimits.Free)
        return true;
    if (fRecentMedians.empty())
        return false;
    const Duration quiet = *std::min_element(fRecentMedians.begin(), fRecentMedians.end());
    return (fWaiting + fLevel) * quiet / fLevel > 2 * fGiveUp;
}

// Answers that take a third longer than they took with fewer in flight wait in a queue.
LookupLevel::Duration LookupLevel::QueueAbove(Duration median) {
    return median * 4 / 3 + 250us;
}

// Once answers were seen to queue, the level grows again only while they take about as long
// as they did before (the hold may have ended, but not the queue).
bool LookupLevel::Queued(Duration median) const {
    return fQueueFree > Duration::zero() && median > QueueAbove(fQueueFree);
}

void LookupLevel::EndRound(Clock::time_point now) {
    // A round stretched by a pause in the work says nothing of the answers a second.
    const bool steady = now - fRoundStart <= Round() * 3 / 2;
    bool slower = false;
    Duration median{0};
    if (fTimes.size() >= kEnoughAnswers) {
        median = Percentile(fTimes, 50);
        const Duration slowest = Percentile(fTimes, 90);
        fRecentMedians.push_back(median);
        if (fRecentMedians.size() > kRecentRounds)
            fRecentMedians.erase(fRecentMedians.begin());
        const Duration quiet = *std::min_element(fRecentMedians.begin(), fRecentMedians.end());
        slower = median > 2 * quiet + 2ms;
        fSlowest = std::max(slowest, fSlowest * 3 / 4); // forgets a slow round gradually
    }
    fSlowRounds = slower ? fSlowRounds + 1 : 0;
    // A full round begun once the last rise was spread tells how many answers a second the
    // level brings, counted from its first answer: in the first round, or the first after a
    // pause, they only begin to come a round trip in.
    const bool settled = fRoundStart >= fRiseStart + fRiseTime;
    const bool full = steady && fMostInFlight >= std::max(1, fLevel * 9 / 10);
    const Duration span = fLastAnswer - fFirstAnswer;
    if (fRateLevel != fLevel) {
        fRateLevel = fLevel;
        fRateSum = 0;
        fRateRounds = 0;
    }
    if (settled && full && !slower && fAnswers >= static_cast<int>(kEnoughAnswers) &&
        span > Duration::zero() && span >= (now - fRoundStart) / 2) {
        fRateSum += (fAnswers - 1) / std::chrono::duration<double>(span).count();
        ++fRateRounds;
    }
    const double rate = fRateRounds > 0 ? fRateSum / fRateRounds : 0;
    // A doubling is judged by the answers it brought; not while lookups are late, which may
    // have been dropped: answers that never come say nothing of how many the resolver takes,
    // and the cut for lookups lost (Lost) knows better where it stops taking them.
    // Below the least, where only lookups lost put it, only they take it lower.
    const bool judging = rate > 0 && fBelowLevel > 0 && fLevel >= 2 * fBelowLevel && !fLateNow &&
                         fLevel > fLimits.Least;
    if (fSlowRounds >= 2) {
        // Answers queue in the resolver: fewer at once, and no more than before a doubling
        // not judged yet.
        fStarting = false;
        const bool unjudged = fBelowLevel > 0 && fLevel >= 2 * fBelowLevel;
        fLevel = std::max(std::min(fLevel, fLimits.Least), fLevel * 8 / 10);
        if (unjudged)
            fLevel = std::max(std::min(fLevel, fLimits.Least), std::min(fLevel, fBelowLevel));
        fBelowLevel = 0;
    } else if (judging && rate < fBelowRate * 5 / 4) {
        // Twice the lookups in flight brought not a quarter more answers: take the rise back,
        // and stay there as after lookups lost.
        fStarting = false;
        fLevel = std::max(fLimits.Least, fBelowLevel);
        fCeiling = fLevel;
        fHoldUntil = now + 2 * fGiveUp;
        fRiseTime = Duration::zero();
        Cut(now);
        fBelowLevel = 0;
    } else if (judging && fBelowMedian > Duration::zero() && median > QueueAbove(fBelowMedian)) {
        // More answers came, but each waited a third longer or more: the lookups begin to
        // queue, and a further doubling would only lengthen the queue, or overflow it. Kept,
        // and held there as after a take-back.
        fStarting = false;
        fCeiling = fLevel;
        fHoldUntil = now + 2 * fGiveUp;
        fQueueFree = fBelowMedian;
        fBelowLevel = 0;
    } else if (!slower && !fLateNow && !Queued(median) && fLastCut < fRoundStart &&
               now - (fRiseStart + fRiseTime) >= LateAfter() &&
               fMostInFlight >= std::max(1, fLevel * 9 / 10) && WorthGrowing()) {
        // The lookups of the last rise have had time to be late.
        int next = fStarting ? fLevel * 2 : fLevel + std::max(1, fLevel / 8);
        if (fLevel < fLimits.Free)
            next = std::min(next, fLimits.Free);
        if (fCeiling > 0 && now < fHoldUntil)
            next = std::min(next, std::max(fLevel, fCeiling * 19 / 20));
        next = std::min(next, fLimits.Most);
        // The rises are judged by the answers a second they bring once the level has doubled
        // (a smaller step's gain would hide in the rounds' own spread): from here, or from
        // where the last judgement passed.
        if (fBelowLevel == 0 || fLevel >= 2 * fBelowLevel) {
            fBelowLevel = rate > 0 ? fLevel : 0; // none yet: the next doubling goes unjudged
            fBelowRate = rate;
            fBelowMedian = median;
        }
        if (next > fLevel) {
            fRiseFrom = fLevel;
            fRiseStart = now;
            fRiseTime = std::max(fSlowest, Duration(10ms));
        }
        fLevel = next;
    }
    fHighest = std::max(fHighest, fLevel);
    fRoundStart = now;
    fPreviousMostInFlight = fMostInFlight;
    fMostInFlight = 0;
    fAnswers = 0;
    fTimes.clear();
}

} // namespace hostmoor
