// The workers' pauses, replaceable so that tests need not wait in real time.
#pragma once

#include <functional>

namespace hostmoor {

class PauseClock {
public:
    using SleepFunction = std::function<void(int milliseconds)>;

    // A zero-length pause yields the processor.
    void SleepMs(int milliseconds) const;
    // An empty function restores the real pause. Set it while no worker runs.
    void SetSleepFunction(SleepFunction function) { fSleep = std::move(function); }

private:
    SleepFunction fSleep;
};

} // namespace hostmoor
