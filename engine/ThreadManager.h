// The registry of running workers.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace hostmoor {

class PauseClock;
class TWorker;

class TThreadManager {
public:
    explicit TThreadManager(const PauseClock& clock) : fClock(clock) {}
    TThreadManager(const TThreadManager&) = delete;
    TThreadManager& operator=(const TThreadManager&) = delete;
    // Asks every listed worker to stop and drops it; none is waited for or released.
    ~TThreadManager();

    void AddThread(TWorker* worker);
    void RemoveThread(TWorker* worker);
    int ThreadCount() const { return fCount.load(); }
    // The completion handler of every worker; main thread only.
    void ThreadDone(TWorker* worker);
    // ThreadDone as a handler to give a worker.
    std::function<void(TWorker*)> DoneHandler() {
        return [this](TWorker* worker) { ThreadDone(worker); };
    }
    void StopAll();
    // Waits for the registry to empty: 31 pauses of 100 ms at most.
    void WaitForAll();
    int FileJobCount() const { return fFileJobCount; }

    // Undoes AddThread for a worker whose thread could not be started.
    void AbandonThread(TWorker* worker);
    // Stops and drops every listed worker, as the destructor does.
    void DropAll();

    // Given when the file job count drops from 1 to 0; main thread.
    std::function<void()> OnAllFileJobsFinished;

private:
    const PauseClock& fClock;
    std::mutex ThreadListLock; // guards fList
    std::vector<TWorker*> fList;
    std::atomic<int> fCount{0};
    int fFileJobCount = 0;
};

} // namespace hostmoor
