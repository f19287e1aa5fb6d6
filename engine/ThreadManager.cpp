#include "ThreadManager.h"

#include "Clock.h"
#include "Worker.h"

#include <algorithm>

namespace hostmoor {

TThreadManager::~TThreadManager() {
    DropAll();
}

void TThreadManager::DropAll() {
    std::lock_guard guard(ThreadListLock);
    for (TWorker* worker : fList)
        worker->Terminate();
    fList.clear();
    fCount.store(0);
}

void TThreadManager::AddThread(TWorker* worker) {
    {
        std::lock_guard guard(ThreadListLock);
        fList.push_back(worker);
        fCount.store(static_cast<int>(fList.size()));
    }
    if (worker->IsFileJob())
        ++fFileJobCount;
}

void TThreadManager::RemoveThread(TWorker* worker) {
    std::lock_guard guard(ThreadListLock);
    auto it = std::find(fList.begin(), fList.end(), worker);
    if (it != fList.end())
        fList.erase(it);
    fCount.store(static_cast<int>(fList.size()));
}

void TThreadManager::AbandonThread(TWorker* worker) {
    RemoveThread(worker);
    if (worker->IsFileJob())
        --fFileJobCount;
}

void TThreadManager::ThreadDone(TWorker* worker) {
    RemoveThread(worker);
    if (!worker->IsFileJob())
        return;
    --fFileJobCount;
    if (fFileJobCount == 0 && OnAllFileJobsFinished)
        OnAllFileJobsFinished();
}

void TThreadManager::StopAll() {
    std::lock_guard guard(ThreadListLock);
    for (TWorker* worker : fList)
        worker->Terminate();
}

void TThreadManager::WaitForAll() {
    for (int pauses = 0; pauses < 31 && ThreadCount() > 0; ++pauses)
        fClock.SleepMs(100);
}

} // namespace hostmoor
