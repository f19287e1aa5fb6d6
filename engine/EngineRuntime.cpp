#include "EngineRuntime.h"

#include <cstdio>
#include <cstdlib>

namespace hostmoor {

EngineRuntime::EngineRuntime(IResolver* resolver) : Resolver(resolver) {}

EngineRuntime::~EngineRuntime() = default;

void EngineRuntime::End(int exitCode) {
    LookupResults.Release();
    const bool lookupsLeft = LookupPool.Shutdown();
    const bool workersLeft = ThreadManager.ThreadCount() > 0 || lookupsLeft;
    ThreadManager.DropAll();
    if (!workersLeft)
        FlushAnswers(); // what lookups learned after the last rewrite ended
    if (workersLeft) {
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
}

void EngineRuntime::UseAnswerStore(std::unique_ptr<IAnswerStore> store) {
    fStore = std::move(store);
    fStoreInUse.store(fStore.get());
}

IAnswerStore* EngineRuntime::AnswerStore() const {
    IAnswerStore* store = fStoreInUse.load();
    return RememberAnswers.load() && store && store->Usable() ? store : nullptr;
}

void EngineRuntime::FlushAnswers() {
    if (IAnswerStore* store = fStoreInUse.load())
        store->Flush();
}

void EngineRuntime::SetMainThreadHook(MainThreadHook hook) {
    std::lock_guard guard(fHookLock);
    fHook = std::move(hook);
}

void EngineRuntime::RunOnMainThread(const std::function<void()>& call) {
    MainThreadHook hook;
    {
        std::lock_guard guard(fHookLock);
        hook = fHook;
    }
    if (hook)
        hook(call);
    else
        call();
}

} // namespace hostmoor
