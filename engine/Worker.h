// The worker base: a thread with a stop flag, a release-when-finished flag and a completion
// handler that runs on the main thread while the worker waits for it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace hostmoor {

class EngineRuntime;
class TWorker;
using CompletionHandler = std::function<void(TWorker*)>;

// Carries a call to the main thread, runs it there and returns once it has run. It may also
// return without running it when the main thread no longer serves calls (program end).
using MainThreadHook = std::function<void(const std::function<void()>&)>;

class TWorker {
public:
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;
    virtual ~TWorker() = default;

    // Starts the body. Call once the inputs and the completion handler are in place. If the
    // thread cannot be made, the worker is taken out of the registry, released, and the
    // error rethrown.
    void Start();

    void Terminate() { fTerminated.store(true); }
    bool Terminated() const { return fTerminated.load(); }
    bool ShouldStop() const;

    virtual bool IsFileJob() const { return false; }

    // What ended the body with an error, empty otherwise.
    const std::string& FatalError() const { return fFatalError; }

    CompletionHandler OnTerminate;
    std::atomic<bool> FreeOnTerminate{false};

protected:
    explicit TWorker(EngineRuntime& engine) : Engine(engine) {}
    virtual void Execute() = 0;

    EngineRuntime& Engine;

private:
    static void Run(TWorker* worker);

    std::atomic<bool> fTerminated{false};
    std::string fFatalError;
};

} // namespace hostmoor
