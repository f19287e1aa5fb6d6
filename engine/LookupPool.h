// The rewrite workers' shared pool of lookup threads: a number of reverse lookups in flight,
// fixed or found by the pool itself (LookupLevel), each address looked up once however many
// workers meet it, the answers recorded in the engine's cache and ignore list as the serial
// rewriter records them.
#pragma once

#include "LookupLevel.h"
#include "Resolver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace hostmoor {

class EngineRuntime;

class TLookupPool {
public:
    // The number in flight is found as the lookups go (LookupLevel).
    static constexpr int kAutomatic = -1;
    static constexpr int kMaxLimit = 1024;

    // The number in flight is automatic until SetLimit says otherwise.
    explicit TLookupPool(EngineRuntime& engine);
    TLookupPool(const TLookupPool&) = delete;
    TLookupPool& operator=(const TLookupPool&) = delete;
    // Shuts down and joins the threads, after the lookups in progress.
    ~TLookupPool();

    // At the end: drops what is queued and asks for nothing more. True when a lookup is still
    // in progress (a thread may be blocked in the resolver).
    bool Shutdown();

    // Lookups in flight at most, up to kMaxLimit; kAutomatic lets the pool find the number;
    // 0 leaves the lookups to the workers, one after another. Set before the first lookup.
    void SetLimit(int limit);
    int Limit() const { return fLimit; }
    bool Serial() const { return fLimit == 0; }
    // The most lookups that were allowed in flight at once.
    int HighestLevel() const;

    // An address a worker will need: queued unless it is recorded or already in flight. False
    // when it is recorded. With verify, a name is recorded only with its verdict (whether it
    // points back to the address), and its lookup asks for it.
    bool Prefetch(const HostAddress& address, bool verify = false);
    // Returns once the address's answer is recorded (with verify, with its verdict), moving
    // the lookup to the head of the queue if it has not begun, or once stop() holds. When no
    // thread of the pool could be started, the caller makes the lookup itself. An exception
    // the resolver raised for the address is raised here.
    void Await(const HostAddress& address, const std::function<bool()>& stop, bool verify = false);
    // A worker no longer needs these (once for each Prefetch): a lookup that nobody else
    // asked for and that has not begun is dropped.
    void Abandon(const std::vector<HostAddress>& addresses);

    // Whether a lookup is in progress (a thread may be blocked in the resolver).
    bool Busy() const { return fRunning.load() > 0; }
    // Lookups made by the pool, three for an address without a name.
    std::int64_t LookupsMade() const { return fLookups.load(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        bool Running = false;
        bool Verify = false;      // a worker wants the name's verdict too
        bool Verifying = false;   // ... and the lookup under way asks for it
        int Interest = 0;         // workers that asked for it
        std::exception_ptr Error; // what the resolver raised, kept for the workers that wait
        // The attempt in progress: when it began, how many were in flight then, and whether it
        // was counted as overdue.
        Clock::time_point AttemptStart;
        int InFlightAtStart = 0;
        // Attempts under way then, itself included, none told lost; and whether it is counted
        // among those under way now.
        int AttemptsAtStart = 0;
        bool Counted = false;
        bool OverdueTold = false;
        Clock::time_point ToldAt; // when it was told overdue
        bool InAttempt = false;   // not between two attempts
        bool Forward = false;     // the lookup of the name's own addresses
        bool Awaited = false;     // a worker waits for it
    };
    class Attempts;

    bool Recorded(const HostAddress& address, bool verify) const;
    // The lookups that may be in flight now.
    int Allowed() const;
    // The attempts under way that count against it.
    int InAttempts() const { return fRunning.load() - fLostRunning - fWaitingForRoom; }
    // Whether a queued lookup may begin now.
    bool HasRoom() const { return fRunning.load() - fLostRunning < Allowed(); }
    void MoreRoom();
    void Enqueue(const HostAddress& address, bool first);
    // Starts threads while more is queued than idle threads can take, up to Allowed().
    void Staff();
    // Makes the lookup of a queued or new entry, with fLock released meanwhile.
    void Run(std::unique_lock<std::mutex>& lock, const HostAddress& address);
    void Serve();
    // With the number left to the pool: tells the level of lookups gone overdue.
    void CheckOverdue(Clock::time_point now);
    void Found(Entry& entry);
    // Under fLock: the entry's attempt counts no more among those under way.
    void Uncount(Entry& entry);
    static void* ThreadBody(void* pool);

    EngineRuntime& fEngine;
    const int fMostThreads; // as the process's limit of open files allows
    int fLimit = kAutomatic;
    mutable std::mutex fLock;      // guards everything below but the atomics
    std::condition_variable fWork; // a queued lookup, or room for one
    std::condition_variable fDone; // an awaited lookup ended
    std::condition_variable fRoom; // room for the next attempt of a lookup
    bool fWatching = false;        // a thread waits for room with the clock
    // Addresses to look up, oldest first. An address whose entry is gone or running when it
    // is taken is passed over, so dropping and moving forward leave the queue alone.
    std::deque<HostAddress> fQueue;
    std::unordered_map<HostAddress, Entry> fInFlight;
    // Those of them being looked up, for the overdue check (most of fInFlight may be queued).
    std::unordered_set<HostAddress> fRunningNow;
    std::vector<pthread_t> fThreads;
    // When the system refused a thread (a task limit), none is asked for until then.
    Clock::time_point fNoThreadsUntil;
    int fIdle = 0;
    bool fStopping = false;
    std::optional<LookupLevel> fLevel;
    // Reverse zones (IPv4 /24, IPv6 /48) that answered: silence from one of them is the
    // resolver's, not the zone's.
    std::unordered_set<std::uint64_t> fAnsweredZones;
    Clock::time_point fLastCheck;
    std::atomic<int> fRunning{0};
    // Of those running, lookups past OverdueAfter in zones that answer: the resolver lost
    // them, so they do not count against the level while they wait for its time-out.
    int fLostRunning = 0;
    int fWaitingForRoom = 0; // running, and waiting for room for their next attempt
    int fAttemptsNow = 0;    // attempts under way, none told lost
    std::atomic<std::int64_t> fLookups{0};
};

} // namespace hostmoor
