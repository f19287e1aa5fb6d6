// The level of lookups in flight, driven by a clock of the test's own and answers it makes up.
#include "LookupLevel.h"

#include <deque>
#include <gtest/gtest.h>

using namespace hostmoor;
using namespace std::chrono_literals;

namespace {

using Clock = LookupLevel::Clock;

// A resolver that answers every lookup after a round trip, and lookups asked for without end.
struct Simulation {
    Clock::time_point now = Clock::time_point() + 1h;
    LookupLevel level{{}, now};
    std::deque<Clock::time_point> flight; // when each lookup in flight began
    int highest = 0;

    // Runs for a while, the level kept full; each lookup is answered `rtt` after it began, and
    // no more than `perMs` a millisecond (a resolver or processor as busy as it can be).
    void Run(Clock::duration length, Clock::duration rtt, int perMs = 1 << 30) {
        for (const auto end = now + length; now < end;) {
            now += 1ms;
            for (int answered = 0;
                 answered < perMs && !flight.empty() && now - flight.front() >= rtt; ++answered) {
                const auto began = flight.front();
                flight.pop_front();
                level.Ended(now, began, true, true, static_cast<int>(flight.size()) + 1);
            }
            while (static_cast<int>(flight.size()) < level.LevelAt(now)) {
                flight.push_back(now);
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
    for (int i = 0; i < 10; ++i)
        s.level.Lost(s.now, s.now - 100ms, 101 + i);
    EXPECT_LE(s.level.Level(), 100);
    EXPECT_GE(s.level.Level(), 90);
    // It stays below that while the lost lookups are tried again.
    const int after = s.level.Level();
    s.Run(1s, 20ms);
    EXPECT_LE(s.level.Level(), 100);
    EXPECT_GE(s.level.Level(), after);
}

TEST(LookupLevel, ARiseThatBringsNoMoreAnswersIsTakenBack) {
    // Answers as fast as 64 in flight can bring them: more only wait longer.
    Simulation s;
    s.Run(3s, 1ms, 4);
    EXPECT_EQ(s.level.Level(), 64);
    EXPECT_LE(s.highest, 128);
}
