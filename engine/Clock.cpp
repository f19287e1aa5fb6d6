#include "Clock.h"

#include <chrono>
#include <thread>

namespace hostmoor {

void PauseClock::SleepMs(int milliseconds) const {
    if (fSleep)
        fSleep(milliseconds);
    else if (milliseconds <= 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace hostmoor
