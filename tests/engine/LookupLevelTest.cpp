// The level of lookups in flight, driven by a clock of the test's own and answers it makes up.
#include "LookupLevel.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <queue>
#include <vector>

using namespace hostmoor;
using namespace std::chrono_literals;

namespace {

using Clock = LookupLevel::Clock;

// A resolver that answers every lookup after a round trip, and lookups asked for without end.
struct Simulation {
    explicit Simulation(LookupLevel::Limits limits = {}) : level(limits, now) {}

    Clock::time_point now = Clock::time_point() + 1h;
    LookupLevel level;
    // The lookups in flight: when each is answered, and when it began; the soonest first.
    using Lookup = std::pair<Clock::time_point, Clock::time_point>;
    std::priority_queue<Lookup, std::vector<Lookup>, std::greater<>> flight;
    int highest = 0;
    long begun = 0;

    // Runs for a while, the level kept full if `work`; every third lookup is answered
    // `rttOther` after it began, the others `rtt` after, and no more than `perMs` a millisecond (a
    // resolver or processor as busy as it can be).
    void Run(Clock::duration length, Clock::duration rtt, int perMs = 1 << 30,
             Clock::duration rttOther = {}, bool work = true) {
        if (rttOther == Clock::duration{})
            rttOther = rtt;
        for (const auto end = now + length; now < end;) {
            now += 1ms;
            for (int answered = 0; answered < perMs && !flight.empty() && flight.top().first <= now;
                 ++answered) {
                const auto began = flight.top().second;
                flight.pop();
                level.Ended(now, began, true, true, static_cast<int>(flight.size()) + 1);
            }
            while (work && static_cast<int>(flight.size()) < level.LevelAt(now)) {
                flight.emplace(now + (begun++ % 3 == 2 ? rttOther : rtt), now);
                level.Began(now, static_cast<int>(flight.size()), 100000);
            }
            highest = std::max(highest, level.Level());
        }
    }
};

} // namespace

TEST(LookupLevel, FallsWhenTheRoundTripGrowsAndRecoversWhenItFallsBack) {
    Simulation s;
    s.Run(2s, 20ms);
    const int quiet = s.level.Level();
    EXPECT_GE(quiet, 256); // doubled from 64 while answers came back as fast
    s.Run(3s, 80ms);       // the resolver queues them
    const int queued = s.level.Level();
    EXPECT_LT(queued, quiet);
    s.Run(3s, 20ms);
    EXPECT_GT(s.level.Level(), queued);
}

TEST(LookupLevel, LookupsLostWhereAnswersComeCutItButASilentZoneDoesNot) {
    Simulation s;
    s.Run(500ms, 20ms);
    const int before = s.level.Level();
    ASSERT_GT(before, 128);
    // A zone that never answered: its silence is its own.
    for (int i = 0; i < 50; ++i)
        s.level.Ended(s.now, s.now - 1s, false, false, before);
    EXPECT_EQ(s.level.Level(), before);
    // The resolver lost lookups begun with more than 100 in flight: it takes no more.
    std::vector<LookupLevel::LostLookup> lost;
    for (int i = 0; i < 10; ++i)
        lost.push_back({s.now - 100ms, 101 + i, 100});
    s.level.Lost(s.now, lost);
    EXPECT_LE(s.level.Level(), 100);
    EXPECT_GE(s.level.Level(), 90);
    // It stays below that while the lost lookups are tried again.
    const int after = s.level.Level();
    s.Run(1s, 20ms);
    EXPECT_LE(s.level.Level(), 100);
    EXPECT_GE(s.level.Level(), after);
}

// The cut follows what the resolver was seen to take, not where the first lost lookup began:
// lookups begun together reach it in another order than they were counted, and those in zones
// not heard from yet are not told lost at all. It may go below the least the level falls to
// while answers queue.
TEST(LookupLevel, LookupsLostFromABurstCutItToWhatTheResolverTook) {
    struct Case {
        const char* name;
        int takes;     // the most the resolver takes at once
        bool shuffled; // those it took were counted second, fourth, sixth...; else the first
        int toldEvery; // one lost lookup in so many is told lost
    };
    const Case cases[] = {
        {"takes 16, counted out of order", 16, true, 1},
        {"takes 4, counted out of order", 4, true, 1},
        {"takes 4, most lost in zones not heard from yet", 4, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Simulation s;
        s.Run(100ms, 20ms);
        const int inFlight = s.level.Level();
        std::vector<LookupLevel::LostLookup> lost;
        for (int counted = 1; counted <= inFlight; ++counted) {
            const bool taken =
                c.shuffled ? counted % 2 == 0 && counted <= 2 * c.takes : counted <= c.takes;
            // All began at once: of those in flight, all but the dropped have ended.
            if (!taken && counted % c.toldEvery == 0)
                lost.push_back({s.now - 300ms, counted, counted - (inFlight - c.takes)});
        }
        std::reverse(lost.begin(), lost.end()); // the pool tells them in no order
        s.level.Lost(s.now, lost);
        EXPECT_GE(s.level.Level(), c.takes - 1);
        EXPECT_LE(s.level.Level(), c.takes);
    }
    // Lookups that ended unanswered, told one by one, say less: not below the least.
    Simulation ended;
    ended.Run(100ms, 20ms);
    for (int i = 0; i < 3; ++i)
        ended.level.Ended(ended.now, ended.now - 1s, false, true, 2);
    EXPECT_EQ(ended.level.Level(), 8);
    // At a level of a few, one lost lookup is not a slow answer now and then.
    LookupLevel::Limits few;
    few.Start = few.Most = 4;
    few.Least = 1;
    Simulation s(few);
    s.Run(100ms, 20ms);
    ASSERT_EQ(s.level.Level(), 4);
    s.level.Lost(s.now, {{s.now - 300ms, 4, 3}});
    EXPECT_LT(s.level.Level(), 4);
}

// What a lost lookup says the resolver took: of the attempts under way when it began, those
// that have ended since.
TEST(LookupLevel, TakenAreThoseUnderWayAtALostLookupsStartThatHaveEndedSince) {
    const auto t = Clock::time_point() + 1h;
    // Under way now: attempts begun at t+0 (told lost at t+5), t+1, t+2, t+3 (lost, told at t+9).
    const std::vector<Clock::time_point> starts = {t + 3ms, t, t + 2ms, t + 1ms};
    const std::vector<Clock::time_point> told = {t + 9ms, t + 5ms};
    std::vector<LookupLevel::LostLookup> lost = {
        {t + 3ms, 0, 10}, // 10 under way at its start: all but those 4 were taken
        {t + 6ms, 0, 10}, // ... not counting the one told lost before it began
        {t + 1ms, 0, 10}, // only 2 under way now began by then
    };
    LookupLevel::CountTaken(lost, starts, told);
    EXPECT_EQ(lost[0].Taken, 6);
    EXPECT_EQ(lost[1].Taken, 7);
    EXPECT_EQ(lost[2].Taken, 8);
}

TEST(LookupLevel, ADoublingThatBringsNoMoreAnswersIsTakenBackAndOnlyThen) {
    LookupLevel::Limits quick;
    quick.GiveUp = 200ms; // a hold that ends within the test
    struct Case {
        const char* name;
        Clock::duration before; // nothing asked for yet
        int perMs;              // answers a millisecond at most
        Clock::duration rtt, rttOther;
        int highest; // the most it may reach, or at least
        int after;   // where it may be at the end, at most
    };
    const Case cases[] = {
        // Back to 64, then an eighth now and then at most.
        {"answers no faster", 0ms, 4, 1ms, 1ms, 128, 80},
        {"answers no faster, first lookup late", 200ms, 4, 1ms, 1ms, 128, 80},
        {"room to spare, round trips uneven", 0ms, 1 << 30, 20ms, 60ms, -256, 1024},
        // 128 bring a third more answers than 64, each waiting half as long again: no doubling
        // beyond, which would only queue them (or overflow the resolver's queue).
        {"answers begin to queue", 0ms, 28, 3ms, 3ms, 128, 144},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Simulation s(quick);
        s.now += c.before;
        s.Run(3s, c.rtt, c.perMs, c.rttOther);
        if (c.highest > 0)
            EXPECT_LE(s.highest, c.highest);
        else
            EXPECT_GE(s.highest, -c.highest);
        EXPECT_LE(s.level.Level(), c.after);
    }
    // Room again after the hold: the level grows anew.
    Simulation s(quick);
    s.Run(1s, 1ms, 4);
    const int held = s.level.Level();
    s.Run(3s, 20ms);
    EXPECT_GT(s.level.Level(), held);
    // Work that comes in bursts: a pause stretches a round, which says nothing of the answers.
    Simulation bursts;
    for (int i = 0; i < 10; ++i) {
        bursts.Run(100ms, 20ms);
        bursts.Run(300ms, 20ms, 1 << 30, 20ms, false);
    }
    EXPECT_GE(bursts.highest, 256);
}
