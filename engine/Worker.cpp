#include "Worker.h"

#include "ThreadManager.h"

#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace hostmoor {

namespace {

std::atomic<bool> gTerminating{false};

// Never destroyed: workers may still reach it while the process ends.
std::mutex& HookLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
MainThreadHook& Hook() {
    static auto* hook = new MainThreadHook;
    return *hook;
}

} // namespace

void SetMainThreadHook(MainThreadHook hook) {
    std::lock_guard guard(HookLock());
    Hook() = std::move(hook);
}

void RunOnMainThread(const std::function<void()>& call) {
    MainThreadHook hook;
    {
        std::lock_guard guard(HookLock());
        hook = Hook();
    }
    if (hook)
        hook(call);
    else
        call();
}

void SetApplicationTerminating(bool terminating) { gTerminating.store(terminating); }
bool ApplicationTerminating() { return gTerminating.load(); }

void TWorker::Start() {
    try {
        std::thread(&TWorker::Run, this).detach();
    } catch (...) {
        if (ThreadManager)
            ThreadManager->AbandonThread(this);
        delete this;
        throw;
    }
}

void TWorker::Run(TWorker* worker) {
    try {
        worker->Execute();
    } catch (const std::exception& e) {
        worker->fFatalError = e.what();
    } catch (...) {
        worker->fFatalError = "Unknown error";
    }
    if (worker->OnTerminate)
        RunOnMainThread([worker] { worker->OnTerminate(worker); });
    if (worker->FreeOnTerminate.load())
        delete worker;
}

} // namespace hostmoor
