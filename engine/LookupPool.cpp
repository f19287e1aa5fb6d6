#include "LookupPool.h"

#include "EngineRuntime.h"
#include "RevLookup.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace hostmoor {

TLookupPool::~TLookupPool() {
    Shutdown();
    for (std::thread& thread : fThreads)
        thread.join();
}

bool TLookupPool::Shutdown() {
    {
        std::lock_guard guard(fLock);
        fStopping = true;
        fQueue.clear();
        std::erase_if(fInFlight, [](const auto& entry) { return !entry.second.Running; });
    }
    fWork.notify_all();
    fDone.notify_all();
    return fRunning.load() > 0;
}

void TLookupPool::SetLimit(int limit) {
    std::lock_guard guard(fLock);
    fLimit = std::clamp(limit, 0, kMaxLimit);
}

bool TLookupPool::Recorded(const HostAddress& address) const {
    return fEngine.IgnoreList.Ignore(address) || fEngine.DNSCache.Contains(address);
}

// Under fLock. Starts a thread while more is queued than idle threads can take, up to the
// limit. A thread the system refuses is done without: the pool goes on with those it has, and
// asks again a second later.
void TLookupPool::Enqueue(const HostAddress& address, bool first) {
    if (static_cast<int>(fQueue.size()) >= fIdle && static_cast<int>(fThreads.size()) < fLimit) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= fNoThreadsUntil) {
            try {
                fThreads.emplace_back(&TLookupPool::Serve, this);
            } catch (const std::system_error&) {
                fNoThreadsUntil = now + std::chrono::seconds(1);
            }
        }
    }
    if (fThreads.empty())
        return; // the worker that awaits it looks it up
    if (first)
        fQueue.push_front(address);
    else
        fQueue.push_back(address);
    fWork.notify_one();
}

void TLookupPool::Run(std::unique_lock<std::mutex>& lock, const HostAddress& address) {
    fInFlight[address].Running = true;
    ++fRunning;
    lock.unlock();
    std::exception_ptr error;
    try {
        // Another worker's lookup may have recorded it since it was queued.
        if (!Recorded(address))
            fLookups += LookUpAndRecord(fEngine, address);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    --fRunning;
    auto it = fInFlight.find(address);
    if (error && it->second.Interest > 0) {
        it->second.Running = false;
        it->second.Error = error;
    } else {
        fInFlight.erase(it);
    }
    fDone.notify_all();
}

bool TLookupPool::Prefetch(const HostAddress& address) {
    if (Recorded(address))
        return false;
    std::lock_guard guard(fLock);
    if (fStopping)
        return true;
    auto [it, added] = fInFlight.try_emplace(address);
    ++it->second.Interest;
    if (added)
        Enqueue(address, false);
    return true;
}

std::string TLookupPool::Await(const HostAddress& address, const std::function<bool()>& stop) {
    {
        std::unique_lock lock(fLock);
        auto it = fInFlight.find(address);
        if (it == fInFlight.end()) {
            lock.unlock();
            if (auto name = fEngine.DNSCache.FindAddr(address))
                return *name;
            if (fEngine.IgnoreList.Ignore(address))
                return {};
            lock.lock();
            if (fStopping)
                return {};
            it = fInFlight.find(address);
            if (it == fInFlight.end()) // done meanwhile, or never asked for
                it = fInFlight.try_emplace(address).first;
        }
        // While it waits, this worker asks for the lookup too, so that it is not dropped.
        ++it->second.Interest;
        if (!it->second.Running && !it->second.Error)
            Enqueue(address, true); // an older place in the queue is passed over
        for (;;) {
            it = fInFlight.find(address);
            if (it == fInFlight.end() || fStopping)
                break;
            if (it->second.Error) {
                const std::exception_ptr error = it->second.Error;
                if (--it->second.Interest <= 0)
                    fInFlight.erase(it);
                std::rethrow_exception(error);
            }
            if (stop()) {
                if (--it->second.Interest <= 0 && !it->second.Running)
                    fInFlight.erase(it);
                return {};
            }
            if (fThreads.empty() && !it->second.Running) {
                Run(lock, address); // no thread could be started: the worker looks it up
                continue;
            }
            fDone.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    // Done: the answer is what the cache records (nothing when the lookup was cut short).
    return fEngine.DNSCache.FindAddr(address).value_or(std::string());
}

void TLookupPool::Abandon(const std::vector<HostAddress>& addresses) {
    std::lock_guard guard(fLock);
    for (const HostAddress& address : addresses) {
        auto it = fInFlight.find(address);
        if (it != fInFlight.end() && --it->second.Interest <= 0 && !it->second.Running)
            fInFlight.erase(it);
    }
}

void TLookupPool::Serve() {
    std::unique_lock lock(fLock);
    for (;;) {
        ++fIdle;
        fWork.wait(lock, [this] { return fStopping || !fQueue.empty(); });
        --fIdle;
        if (fStopping)
            return;
        const HostAddress address = fQueue.front();
        fQueue.pop_front();
        auto it = fInFlight.find(address);
        if (it == fInFlight.end() || it->second.Running || it->second.Error)
            continue; // dropped, or taken from its other place in the queue
        Run(lock, address);
    }
}

} // namespace hostmoor
