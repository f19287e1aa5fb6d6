// The answer store's daily sweep: rows past their retention are removed and their space given
// back to the file system, in steps short enough that no other writer waits for long, on a
// thread of its own so that it delays neither the start nor the end of a job.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace hostmoor::store {

struct SweepFigures {
    std::uint64_t Removed = 0; // rows
    std::uint64_t Steps = 0;   // write transactions
    std::chrono::microseconds LongestStep{0};
    bool Finished = false; // the whole file was swept
};

// Sweeps the store at `path` if a day has passed since the last sweep, counted across every
// process, and no other process is sweeping it. A sweep that is stopped goes on where it
// stopped at the next one. Busy files and faults only put the sweep off: a fault of the file
// is the store's own connection's to report.
SweepFigures SweepStore(const std::string& path, std::int64_t now, const std::atomic<bool>& stop);

// A sweep on a thread of its own, stopped and joined by the destructor within one step.
class BackgroundSweep {
public:
    BackgroundSweep(std::string path, std::int64_t now);
    ~BackgroundSweep();
    BackgroundSweep(const BackgroundSweep&) = delete;
    BackgroundSweep& operator=(const BackgroundSweep&) = delete;

private:
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

} // namespace hostmoor::store
