// The engine's shared objects: created in order when the engine starts, handed to the window
// and to every worker by reference, and released in reverse order when it ends.
#pragma once

#include "AnswerStore.h"
#include "Clock.h"
#include "Confirmations.h"
#include "DNSCache.h"
#include "LookAhead.h"
#include "LookupPool.h"
#include "Resolver.h"
#include "SimpleLookup.h"
#include "ThreadManager.h"
#include "Worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace hostmoor {

class EngineRuntime {
    // First made and last released: the pool's threads read them to the end.
    std::atomic<bool> fTerminating{false};
    std::mutex fHookLock;
    MainThreadHook fHook;

public:
    // nullptr: the system resolver.
    explicit EngineRuntime(IResolver* resolver = nullptr);
    EngineRuntime(const EngineRuntime&) = delete;
    EngineRuntime& operator=(const EngineRuntime&) = delete;
    // Only once no worker runs any more; see End.
    ~EngineRuntime();

    // At program end, after the window: releases the results list, asks every remaining
    // worker to stop and drops it from the registry. When one was still running, or a lookup
    // of the pool is (blocked in the resolver), the process ends here with exitCode, without
    // releasing what they can reach.
    void End(int exitCode);

    // Set when the program is ending; every worker loop tests it.
    void SetApplicationTerminating(bool terminating) { fTerminating.store(terminating); }
    bool ApplicationTerminating() const { return fTerminating.load(); }

    // The answer store the rewriters' lookups read through and write back to, owned from now
    // on; set before the first rewrite that uses it, and kept to the end.
    void UseAnswerStore(std::unique_ptr<IAnswerStore> store);
    // The store while answers are to be remembered and it is usable, else null.
    IAnswerStore* AnswerStore() const;
    // The store set, usable or not, for its figures; null when none was set.
    const IAnswerStore* StoreInUse() const { return fStoreInUse.load(); }
    // Writes the answers the store holds back; a rewrite calls it as it ends.
    void FlushAnswers();

    // How a worker's completion handler reaches the main thread. Without a hook it runs on
    // the worker's own thread.
    void SetMainThreadHook(MainThreadHook hook);
    void RunOnMainThread(const std::function<void()>& call);

    // Services: the resolver and the workers' pauses.
    ResolverAccess Resolver;
    PauseClock Clock;

    // The shared objects, in the order of creation.
    std::mutex CacheLock; // one lock for both lists
    TDNSCache DNSCache{CacheLock};
    TDNSIgnoreList IgnoreList{CacheLock};
    // Whether the names found point back to their addresses, where that was asked.
    TConfirmations Confirmations{CacheLock};
    TThreadManager ThreadManager{Clock};
    TLookupResults LookupResults;
    // Whether lookup workers post the further addresses and the first alias.
    std::atomic<bool> ShowExtendedInfo{true};
    // Whether rewrites started from now on replace IPv6 addresses too.
    std::atomic<bool> ResolveIPv6{false};
    // Whether rewrites started from now on use only names that point back to their address.
    std::atomic<bool> VerifyNames{false};
    // Whether the rewriters' lookups go through the answer store, once one is set. Only
    // answers learned while it is set reach the store.
    std::atomic<bool> RememberAnswers{false};
    // Whether a rewriter's lookup was answered by the name servers (a name, or none) in this
    // run, so that their silence about another address is that address's own.
    std::atomic<bool> NameServersAnswered{false};
    // Sum of the input sizes of the current rewrite batch, and characters of lines read so
    // far (in steps of ten lines). The rewrite page sets them to 0 and 1 before each batch.
    std::atomic<std::int64_t> TotalBytes{0};
    std::atomic<std::int64_t> ProcessedBytes{1};
    // Lines the rewriters have written, counted with ProcessedBytes.
    std::atomic<std::int64_t> LinesWritten{0};
    // Reverse lookups the rewriters have made.
    std::atomic<std::int64_t> LookupsMade{0};
    // How far each rewrite worker reads ahead of the line it writes.
    LookAhead::Window LookAheadWindow;
    // Where a rewrite reads and scans its lines: on a thread of its own when a second processor
    // is free as it begins (Automatic), always, or on the rewrite's own thread.
    enum class LineReading { Automatic, OwnThread, SameThread };
    std::atomic<LineReading> ReadLines{LineReading::Automatic};

private:
    std::unique_ptr<IAnswerStore> fStore;
    std::atomic<IAnswerStore*> fStoreInUse{nullptr};

public:
    // The rewrite workers' lookups in flight; a limit of 0 makes each worker look up its
    // addresses itself, one after another. Last, so that its threads end first.
    TLookupPool LookupPool{*this};
};

} // namespace hostmoor
