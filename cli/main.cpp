// hostmoor-rdns: the log rewriter from the shell. Files are rewritten to their ".rdns" files
// as the window rewrites them, and refused for the same reasons; standard input is filtered
// to standard output, compressed when asked.
#include "EngineRuntime.h"
#include "LogFile.h"
#include "Options.h"
#include "RevLookup.h"
#include "RewriteBatch.h"
#include "Subjects.h"
#include "Version.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

using namespace hostmoor;
using namespace hostmoor::rdns;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> gSignal{0}; // the signal that asked the program to stop, or 0

// Standard error: messages, and on a terminal a progress line redrawn in place, which a
// message clears first so that the two never share a line.
class StatusLine {
public:
    void Say(const std::string& text) {
        std::lock_guard guard(fLock);
        ClearLocked();
        std::fprintf(stderr, "hostmoor-rdns: %s\n", text.c_str());
    }
    void Draw(const std::string& text) {
        std::lock_guard guard(fLock);
        std::fprintf(stderr, "\rhostmoor-rdns: %s\033[K", text.c_str());
        fDrawn = true;
    }
    void Clear() {
        std::lock_guard guard(fLock);
        ClearLocked();
    }

private:
    void ClearLocked() {
        if (fDrawn)
            std::fprintf(stderr, "\r\033[K");
        fDrawn = false;
    }
    std::mutex fLock;
    bool fDrawn = false;
};

StatusLine gStatus;

void Say(const std::string& text) {
    gStatus.Say(text);
}

// Interrupts a read or a write of the rewriting thread; the handler itself does nothing.
void OnWake(int) {}

// Without a thread of its own the rewrite runs on the main thread, and a stopping signal only
// marks the stop.
void OnStopSignal(int signal) {
    if (gSignal.load() == 0)
        gSignal.store(signal);
}

// The signals that stop a rewrite, keeping every line completed: the terminal closed,
// interrupted or quit, or a request to end.
constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

bool SameTerminal(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    return ::isatty(a) && ::isatty(b) && ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 &&
           sa.st_rdev == sb.st_rdev;
}

// Whether standard output is the very file standard input reads: filtering would read its
// own output back for ever.
bool OutputIsInput() {
    struct stat in {};
    struct stat out {};
    return ::fstat(STDIN_FILENO, &in) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
           S_ISREG(in.st_mode) && S_ISREG(out.st_mode) && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

// What the rewriting thread did, for the progress line, the figures and the exit status.
struct Run {
    std::atomic<bool> Done{false};
    std::atomic<bool> Failed{false};
    std::atomic<bool> OutputClosed{false}; // standard output's reader went away
    std::mutex Lock;                       // guards Current
    std::string Current;                   // the file being rewritten, empty when filtering
    RewriteCounts Counts;

    void Add(const RewriteCounts& counts) {
        Counts.Lines += counts.Lines;
        Counts.Addresses += counts.Addresses;
        Counts.Bytes += counts.Bytes;
    }
};

void Filter(EngineRuntime& engine, const Options& options, Run& run) {
    if (OutputIsInput()) {
        Say("standard input: " +
            RefusalReason({{"standard input", "standard output"}, Refusal::OutputIsInput}));
        run.Failed = true;
        return;
    }
    if (options.Compress != Compression::None && ::isatty(STDOUT_FILENO)) {
        Say("standard output: compressed data are not written to a terminal");
        run.Failed = true;
        return;
    }
    LogReader in(STDIN_FILENO, "standard input");
    LogWriter out(STDOUT_FILENO, "standard output", options.Compress);
    if (options.CrLf)
        out.SetLineEnd("\r\n");
    auto stop = [] { return gSignal.load() != 0; };
    in.SetStop(stop);
    out.SetStop(stop);
    char lineBreak = 0;
    RewriteCounts counts; // told also when the rewrite fails part-way
    try {
        RewriteLog(engine, in, out, lineBreak, stop, !options.CrLf, &counts);
        out.Close();
    } catch (...) {
        run.Add(counts);
        throw;
    }
    engine.FlushAnswers();
    run.Add(counts);
}

void Rewrite(EngineRuntime& engine, const Options& options, Run& run) {
    std::vector<std::string> files;
    for (const std::string& file : options.Files)
        if (file != "-")
            files.push_back(file);
    const std::vector<BatchEntry> plan = PlanRewriteBatch(files);
    std::size_t next = 0;
    for (const std::string& file :
         options.Files.empty() ? std::vector<std::string>{"-"} : options.Files) {
        if (gSignal)
            break;
        try {
            if (file == "-") {
                Filter(engine, options, run);
                continue;
            }
            const BatchEntry& entry = plan[next++];
            if (entry.Verdict != Refusal::None) {
                Say(PrintableFileName(file) + ": " + RefusalReason(entry));
                run.Failed = true;
                continue;
            }
            {
                std::lock_guard guard(run.Lock);
                run.Current = file;
            }
            engine.TotalBytes = 0;
            engine.ProcessedBytes = 1;
            char lineBreak = 0;
            RewriteCounts counts; // told also when the rewrite fails part-way
            try {
                RewriteFile(
                    engine, entry.Job.InFileName, entry.Job.OutFileName, lineBreak,
                    [] { return gSignal.load() != 0; }, &counts);
            } catch (...) {
                run.Add(counts);
                throw;
            }
            run.Add(counts);
        } catch (const OutputClosed&) {
            run.OutputClosed = true; // nothing more can be given to it: end at once
            break;
        } catch (const std::exception& e) {
            Say(PrintableFileName(e.what()));
            run.Failed = true;
        }
    }
    std::lock_guard guard(run.Lock);
    run.Current.clear();
}

// The progress line: the file's percentage, or the lines filtered.
class Progress {
public:
    explicit Progress(bool shown) : fShown(shown), fStart(Clock::now()) {}
    void Show(EngineRuntime& engine, Run& run) {
        if (!fShown)
            return;
        std::string file;
        {
            std::lock_guard guard(run.Lock);
            file = run.Current;
        }
        char text[512];
        if (!file.empty()) {
            const double total = static_cast<double>(std::max<std::int64_t>(engine.TotalBytes, 1));
            const int percent = static_cast<int>(
                std::min(100.0, static_cast<double>(engine.ProcessedBytes.load()) / total * 100.0));
            std::snprintf(text, sizeof text, "%s %d%%", PrintableFileName(file).c_str(), percent);
        } else {
            const double seconds = std::chrono::duration<double>(Clock::now() - fStart).count();
            const auto lines = engine.LinesWritten.load();
            std::snprintf(text, sizeof text, "%lld lines, %.0f lines/s",
                          static_cast<long long>(lines),
                          seconds > 0 ? static_cast<double>(lines) / seconds : 0.0);
        }
        gStatus.Draw(text);
    }

private:
    const bool fShown;
    const Clock::time_point fStart;
};

// Ends the program as a filter ends whose output was closed: by SIGPIPE, saying nothing.
[[noreturn]] void EndForClosedOutput() {
    gStatus.Clear();
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        Say(error);
        std::fprintf(stderr, "Try 'hostmoor-rdns --help'.\n");
        return 2;
    }
    if (options.Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("hostmoor-rdns %s\n", HOSTMOOR_VERSION);
        return 0;
    }

    // The stopping signals are taken here, on the main thread, and SIGUSR2, which the
    // rewriting thread sends when it is done; every other thread keeps them blocked. The
    // rewriting thread is woken from a read or a write by SIGUSR1.
    sigset_t waited;
    sigemptyset(&waited);
    for (int signal : kStopSignals)
        sigaddset(&waited, signal);
    sigaddset(&waited, SIGUSR2);
    sigset_t blocked = waited;
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction wake {};
    wake.sa_handler = OnWake; // no SA_RESTART: a read or a write returns EINTR
    sigaction(SIGUSR1, &wake, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EngineRuntime engine;
    engine.Resolver.ResolverStartup();
    engine.LookupPool.SetLimit(options.Jobs);
    engine.ResolveIPv6 = options.IPv6;
    engine.VerifyNames = options.Verify;
    if (options.Cache) {
        StorePolicy policy;
        if (options.CacheMaxAge > 0)
            policy.NameMaxAge = options.CacheMaxAge;
        engine.UseAnswerStore(OpenAnswerStore(
            options.CacheFile.empty() ? DefaultAnswerStorePath() : options.CacheFile, policy,
            [](const std::string& problem) { Say(problem); }, std::time(nullptr)));
        engine.RememberAnswers = true;
    }
    Run run;
    const auto start = Clock::now();
    const pthread_t mainThread = pthread_self();
    auto rewrite = [&] {
        Rewrite(engine, options, run);
        run.Done = true;
    };
    std::thread worker;
    try {
        worker = std::thread([&] {
            sigset_t wakeOnly;
            sigemptyset(&wakeOnly);
            sigaddset(&wakeOnly, SIGUSR1);
            pthread_sigmask(SIG_UNBLOCK, &wakeOnly, nullptr);
            rewrite();
            pthread_kill(mainThread, SIGUSR2);
        });
    } catch (const std::system_error&) {
        // No thread to spare (a task limit): rewrite here, a stopping signal ending it at the
        // next line or read.
        struct sigaction stop {};
        stop.sa_handler = OnStopSignal;
        for (int signal : kStopSignals)
            sigaction(signal, &stop, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
        rewrite();
    }

    // No progress line where filtered lines go to the same terminal.
    const bool filtering =
        options.Files.empty() ||
        std::find(options.Files.begin(), options.Files.end(), "-") != options.Files.end();
    Progress progress(!options.Quiet && ::isatty(STDERR_FILENO) &&
                      !(filtering && SameTerminal(STDOUT_FILENO, STDERR_FILENO)));
    Clock::time_point giveUp = Clock::time_point::max();
    while (!run.Done) {
        timespec tick{0, 200'000'000};
        const int signal = sigtimedwait(&waited, nullptr, &tick);
        if (signal > 0 && signal != SIGUSR2 && !gSignal) {
            gSignal = signal;
            engine.SetApplicationTerminating(true);
            // A lookup already in the resolver is not waited for long.
            giveUp = Clock::now() + std::chrono::milliseconds(3100);
        }
        if (gSignal) // again at every tick, in case the first came before a read began
            pthread_kill(worker.native_handle(), SIGUSR1);
        if (Clock::now() > giveUp)
            break;
        progress.Show(engine, run);
    }
    gStatus.Clear();
    if (run.OutputClosed) {
        engine.FlushAnswers();
        EndForClosedOutput();
    }
    const int status = gSignal ? 128 + gSignal : run.Failed ? 1 : 0;
    const bool lookupsLeft = !run.Done || engine.LookupPool.Shutdown();
    engine.FlushAnswers(); // also what lookups learned after the last rewrite's own flush
    if (run.Done && options.Stats) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::fprintf(
            stderr,
            "hostmoor-rdns: %lld lines, %lld bytes, %lld addresses met, %zu distinct, "
            "%zu resolved, %zu without a name, %lld lookups, %.2f s\n",
            static_cast<long long>(run.Counts.Lines), static_cast<long long>(run.Counts.Bytes),
            static_cast<long long>(run.Counts.Addresses),
            engine.DNSCache.Count() + engine.IgnoreList.Count(), engine.DNSCache.Count(),
            engine.IgnoreList.Count(), static_cast<long long>(engine.LookupsMade.load()), seconds);
        if (options.Verify)
            std::fprintf(stderr, "hostmoor-rdns: %zu names not confirmed, left as addresses\n",
                         engine.Confirmations.NotConfirmed());
        const IAnswerStore* store = engine.StoreInUse();
        const StoreCounts counts = store ? store->Counts() : StoreCounts{};
        // Not for a store refused at the start, which was never used.
        if (store &&
            (store->Usable() || counts.FromStore || counts.ExpiredMet || counts.Unwritten)) {
            std::fprintf(stderr,
                         "hostmoor-rdns: %llu answers from the store, %llu expired, %llu not "
                         "written\n",
                         static_cast<unsigned long long>(counts.FromStore),
                         static_cast<unsigned long long>(counts.ExpiredMet),
                         static_cast<unsigned long long>(counts.Unwritten));
        }
    }
    if (gSignal)
        Say("stopped");
    if (lookupsLeft) {
        // A lookup that has not returned: end without waiting for it. Every line the writer
        // completed was handed to the system before it began to wait.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    if (worker.joinable())
        worker.join();
    return status;
}
