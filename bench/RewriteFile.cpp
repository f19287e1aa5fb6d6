// Rewrites one file with the engine's log rewriter and prints time, speed and peak memory.
//   hostmoor_rewrite IN OUT
#include "EngineRuntime.h"
#include "RevLookup.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sys/resource.h>

using namespace hostmoor;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
        return 2;
    }
    EngineRuntime engine;
    engine.Resolver.ResolverStartup();
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    auto* worker = new TRevLookup(engine, argv[1], argv[2]);
    worker->OnTerminate = [&](TWorker* w) {
        std::lock_guard guard(lock);
        error = w->FatalError();
        finished = true;
        done.notify_all();
    };
    worker->Start();
    {
        std::unique_lock guard(lock);
        done.wait(guard, [&] { return finished; });
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double mb = static_cast<double>(engine.TotalBytes.load()) / 1e6;
    std::printf("seconds=%.3f MB=%.1f MB/s=%.1f cached=%zu ignored=%zu peak_rss_MB=%.1f\n", seconds,
                mb, mb / seconds, engine.DNSCache.Count(), engine.IgnoreList.Count(),
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
