// The rewrite workers' shared pool of lookup threads: a bounded number of reverse lookups in
// flight, each address looked up once however many workers meet it, the answers recorded in
// the engine's cache and ignore list as the serial rewriter records them.
#pragma once

#include "Resolver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace hostmoor {

class EngineRuntime;

class TLookupPool {
public:
    static constexpr int kDefaultLimit = 64;
    static constexpr int kMaxLimit = 1024;

    explicit TLookupPool(EngineRuntime& engine) : fEngine(engine) {}
    TLookupPool(const TLookupPool&) = delete;
    TLookupPool& operator=(const TLookupPool&) = delete;
    // Shuts down and joins the threads, after the lookups in progress.
    ~TLookupPool();

    // At the end: drops what is queued and asks for nothing more. True when a lookup is still
    // in progress (a thread may be blocked in the resolver).
    bool Shutdown();

    // Lookups in flight at most, up to kMaxLimit; 0 leaves the lookups to the workers, one
    // after another. Set before the first lookup.
    void SetLimit(int limit);
    int Limit() const { return fLimit; }

    // An address a worker will need: queued unless it is recorded or already in flight. False
    // when it is recorded.
    bool Prefetch(const HostAddress& address);
    // The address's host name once its lookup is done, moving the lookup to the head of the
    // queue if it has not begun; empty when there is none or when stop() holds first. When no
    // thread of the pool could be started, the caller makes the lookup itself. An exception
    // the resolver raised for the address is raised here.
    std::string Await(const HostAddress& address, const std::function<bool()>& stop);
    // A worker no longer needs these (once for each Prefetch): a lookup that nobody else
    // asked for and that has not begun is dropped.
    void Abandon(const std::vector<HostAddress>& addresses);

    // Whether a lookup is in progress (a thread may be blocked in the resolver).
    bool Busy() const { return fRunning.load() > 0; }
    // Lookups made by the pool, three for an address without a name.
    std::int64_t LookupsMade() const { return fLookups.load(); }

private:
    struct Entry {
        bool Running = false;
        int Interest = 0;         // workers that asked for it
        std::exception_ptr Error; // what the resolver raised, kept for the workers that wait
    };

    bool Recorded(const HostAddress& address) const;
    void Enqueue(const HostAddress& address, bool first);
    // Makes the lookup of a queued or new entry, with fLock released meanwhile.
    void Run(std::unique_lock<std::mutex>& lock, const HostAddress& address);
    void Serve();

    EngineRuntime& fEngine;
    int fLimit = kDefaultLimit;
    mutable std::mutex fLock; // guards everything below but the atomics
    std::condition_variable fWork;
    std::condition_variable fDone;
    // Addresses to look up, oldest first. An address whose entry is gone or running when it
    // is taken is passed over, so dropping and moving forward leave the queue alone.
    std::deque<HostAddress> fQueue;
    std::unordered_map<HostAddress, Entry> fInFlight;
    std::vector<std::thread> fThreads;
    // When the system refused a thread (a task limit), none is asked for until then.
    std::chrono::steady_clock::time_point fNoThreadsUntil;
    int fIdle = 0;
    bool fStopping = false;
    std::atomic<int> fRunning{0};
    std::atomic<std::int64_t> fLookups{0};
};

} // namespace hostmoor
