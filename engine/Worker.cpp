#include "Worker.h"

#include "EngineRuntime.h"

#include <exception>
#include <thread>

namespace hostmoor {

bool TWorker::ShouldStop() const {
    return Terminated() || Engine.ApplicationTerminating();
}

void TWorker::Start() {
    try {
        std::thread(&TWorker::Run, this).detach();
    } catch (...) {
        Engine.ThreadManager.AbandonThread(this);
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
        worker->Engine.RunOnMainThread([worker] { worker->OnTerminate(worker); });
    if (worker->FreeOnTerminate.load())
        delete worker;
}

} // namespace hostmoor
