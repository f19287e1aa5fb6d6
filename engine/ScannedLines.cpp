#include "ScannedLines.h"

#include "LogFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <sched.h>
#include <system_error>
#include <thread>
#include <utility>

namespace hostmoor {

namespace {

// Reads the next line and finds its addresses where it stands in the reader's buffer, which
// was just read, then copies it into the line.
bool ReadScanned(LogReader& in, ScannedLine& line, std::string& scratch, char& lineBreak,
                 const std::function<bool()>& stop, bool ipv6) {
    std::string_view text;
    if (!ReadLogLineView(in, text, scratch, lineBreak, stop))
        return false;
    ScanAddresses(text, line.Found, ipv6);
    if (text.data() == scratch.data())
        line.Text.swap(scratch);
    else
        line.Text.assign(text);
    return true;
}

// Read and scanned where they are asked for.
class DirectLines final : public LineSource {
public:
    DirectLines(LogReader& in, std::function<bool()> stop, bool ipv6)
        : fIn(in), fStop(std::move(stop)), fIPv6(ipv6) {}

    bool Next(ScannedLine& line) override {
        if (fStop()) {
            fStopped = true;
            return false;
        }
        if (fIn.AtEnd()) { // or a wait for input given up
            fStopped = fStop();
            return false;
        }
        if (!ReadScanned(fIn, line, fScratch, fBreak, fStop, fIPv6)) {
            fStopped = true; // stopped inside a long line: it is not taken
            return false;
        }
        line.Asked.clear();
        line.Started = false;
        return true;
    }
    bool Ready() override { return fIn.LineReady(); }
    char LineBreak() const override { return fBreak; }
    bool Stopped() const override { return fStopped; }

private:
    LogReader& fIn;
    const std::function<bool()> fStop;
    const bool fIPv6;
    std::string fScratch;
    char fBreak = 0;
    bool fStopped = false;
};

// Read and scanned on a thread of its own, a batch of lines at a time, many small batches
// ahead: a batch is handed over while it is still in the processors' shared cache. The batches
// go round a ring of one writer and one reader; each side spins a moment before it sleeps, as
// the other is usually about to give it something.
class ThreadedLines final : public LineSource {
public:
    ThreadedLines(LogReader& in, std::function<bool()> stop, bool ipv6)
        : fIn(in), fCallerStop(std::move(stop)), fIPv6(ipv6), fBatches(kBatches) {
        // A read of a pipe or a terminal waits for input a while at a time, asking this.
        fIn.SetStop([this] { return Stopping(); });
        try {
            fThread = std::thread([this] { Produce(); });
        } catch (...) {
            fIn.SetStop(fCallerStop);
            throw;
        }
    }

    ~ThreadedLines() override {
        fLeaving = true;
        Wake();
        fThread.join();
        fIn.SetStop(fCallerStop);
    }

    bool Next(ScannedLine& line) override {
        for (;;) {
            if (fCurrent && fAt < fCurrent->Count) {
                std::swap(line, fCurrent->Lines[fAt++]);
                return true;
            }
            if (fCurrent) {
                if (fCurrent->Last) {
                    fStopped = fCurrent->Stopped;
                    if (fCurrent->Error)
                        std::rethrow_exception(std::exchange(fCurrent->Error, nullptr));
                    return false;
                }
                fCurrent = nullptr;
                fTaken.fetch_add(1, std::memory_order_release); // the batch is the writer's again
                Wake();
            }
            Await([this] { return fGiven.load(std::memory_order_acquire) > fTaken.load(); });
            fCurrent = &fBatches[fTaken.load() % kBatches];
            fAt = 0;
            if (fCurrent->Break != 0)
                fBreak = fCurrent->Break;
        }
    }

    bool Ready() override {
        if (fCurrent && (fAt < fCurrent->Count || fCurrent->Last))
            return true;
        return fGiven.load(std::memory_order_acquire) > fTaken.load() + (fCurrent ? 1 : 0);
    }

    char LineBreak() const override { return fBreak; }
    bool Stopped() const override { return fStopped; }

private:
    static constexpr std::size_t kBatches = 32;
    static constexpr std::size_t kBatchLines = 64;
    static constexpr std::size_t kBatchBytes = 32 << 10;

    struct Batch {
        std::vector<ScannedLine> Lines;
        std::size_t Count = 0;
        char Break = 0;
        bool Last = false;    // the lines end with it
        bool Stopped = false; // ... because stop() held
        std::exception_ptr Error;
    };

    bool Stopping() { return fLeaving.load(std::memory_order_relaxed) || fCallerStop(); }

    // Waits until ready() holds, or the source is left: a short spin, then a sleep.
    template <typename Ready> void Await(Ready ready) {
        for (int spin = 0; spin < 2000; ++spin) {
            if (ready() || fLeaving.load(std::memory_order_relaxed))
                return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        std::unique_lock lock(fLock);
        ++fSleepers;
        fChanged.wait(lock, [&] { return ready() || fLeaving.load(); });
        --fSleepers;
    }

    void Wake() {
        std::lock_guard guard(fLock); // not between a sleeper's test and its sleep
        if (fSleepers > 0)
            fChanged.notify_all();
    }

    void Produce() {
        char lineBreak = 0;
        for (std::uint64_t next = 0;; ++next) {
            Await([&] { return next - fTaken.load(std::memory_order_acquire) < kBatches; });
            if (fLeaving.load())
                return;
            Batch& batch = fBatches[next % kBatches];
            Fill(batch, lineBreak);
            batch.Break = lineBreak;
            fGiven.store(next + 1, std::memory_order_release);
            Wake();
            if (batch.Last)
                return;
        }
    }

    void Fill(Batch& batch, char& lineBreak) {
        batch.Count = 0;
        batch.Last = false;
        batch.Stopped = false;
        std::size_t bytes = 0;
        try {
            while (batch.Count < kBatchLines && bytes < kBatchBytes) {
                // What has arrived from a pipe is handed on before a wait for more.
                if (batch.Count > 0 && !fIn.LineReady())
                    return;
                if (Stopping()) {
                    batch.Last = batch.Stopped = true;
                    return;
                }
                if (fIn.AtEnd()) { // or a wait for input given up
                    batch.Last = true;
                    batch.Stopped = Stopping();
                    return;
                }
                if (batch.Lines.size() == batch.Count)
                    batch.Lines.emplace_back();
                ScannedLine& line = batch.Lines[batch.Count];
                if (!ReadScanned(fIn, line, fScratch, lineBreak, fStopFunction, fIPv6)) {
                    batch.Last = batch.Stopped = true;
                    return;
                }
                line.Asked.clear();
                line.Started = false;
                bytes += line.Text.size();
                ++batch.Count;
            }
        } catch (...) {
            batch.Error = std::current_exception();
            batch.Last = true;
        }
    }

    LogReader& fIn;
    const std::function<bool()> fCallerStop;
    const std::function<bool()> fStopFunction = [this] { return Stopping(); };
    const bool fIPv6;
    std::vector<Batch> fBatches;
    std::string fScratch; // the reading thread's

    // Batches given by the reading thread and taken back by the caller, counted: the ring's
    // batch n is the reader's while n >= fGiven, the caller's while fTaken <= n < fGiven.
    std::atomic<std::uint64_t> fGiven{0};
    std::atomic<std::uint64_t> fTaken{0};
    std::atomic<bool> fLeaving{false};
    std::mutex fLock; // for sleeping only
    std::condition_variable fChanged;
    int fSleepers = 0;
    std::thread fThread;

    // The caller's.
    Batch* fCurrent = nullptr;
    std::size_t fAt = 0;
    char fBreak = 0;
    bool fStopped = false;
};

} // namespace

std::unique_ptr<LineSource> MakeLineSource(LogReader& in, std::function<bool()> stop, bool ipv6,
                                           bool ownThread) {
    if (ownThread) {
        try {
            return std::make_unique<ThreadedLines>(in, stop, ipv6);
        } catch (const std::system_error&) {
            // No thread to spare: the lines are read where they are asked for.
        }
    }
    return std::make_unique<DirectLines>(in, std::move(stop), ipv6);
}

bool SecondProcessorFree() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) < 2)
        return false;
    // The tasks that run or wait to run, this one among them: the fewest of a few looks, so
    // that a task that runs for a moment does not count.
    int fewest = 1 << 30;
    for (int look = 0; look < 3; ++look) {
        if (look > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::FILE* stat = std::fopen("/proc/stat", "re");
        if (!stat)
            return true; // nothing to tell: as if free
        char line[256];
        int running = -1;
        while (std::fgets(line, sizeof line, stat))
            if (std::sscanf(line, "procs_running %d", &running) == 1)
                break;
        std::fclose(stat);
        if (running < 0)
            return true;
        fewest = std::min(fewest, running);
    }
    return fewest - 1 < CPU_COUNT(&set) - 1;
}

} // namespace hostmoor
