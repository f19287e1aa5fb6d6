#include "Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace hostmoor {

namespace {

void RealSleep(int milliseconds) {
    if (milliseconds <= 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::atomic<SleepFunction> gSleep{&RealSleep};

} // namespace

void SleepMs(int milliseconds) { gSleep.load()(milliseconds); }

void SetSleepFunction(SleepFunction function) { gSleep.store(function ? function : &RealSleep); }

} // namespace hostmoor
