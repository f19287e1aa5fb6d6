// Rewrites one file with the engine's log rewriter and prints time, speed, lookups made and
// peak memory.
//   hostmoor_rewrite [--ipv6] [--jobs N] IN OUT  (N lookups in flight; 0: one after another;
//   without it, or -1, found as the lookups go)
#include "EngineRuntime.h"
#include "RevLookup.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

using namespace hostmoor;

namespace {

// The system resolver, counted.
class CountingResolver final : public IResolver {
public:
    LookupOutcome ByName(const std::string& name) override { return fSystem.ByName(name); }
    LookupOutcome ByAddress(Address address) override {
        ++Lookups;
        return fSystem.ByAddress(address);
    }
    LookupOutcome ByAddress6(const Address6& address) override {
        ++Lookups;
        return fSystem.ByAddress6(address);
    }
    LookupOutcome ByName6(const std::string& name) override { return fSystem.ByName6(name); }
    LookupOutcome AddressesOf(const std::string& name, bool v6) override {
        ++Lookups;
        return fSystem.AddressesOf(name, v6);
    }
    std::atomic<long> Lookups{0};

private:
    SystemResolver fSystem;
};

} // namespace

int main(int argc, char** argv) {
    int jobs = TLookupPool::kAutomatic;
    bool ipv6 = false;
    if (argc >= 2 && std::strcmp(argv[1], "--ipv6") == 0) {
        ipv6 = true;
        ++argv;
        --argc;
    }
    if (argc == 5 && std::strcmp(argv[1], "--jobs") == 0) {
        jobs = std::atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--ipv6] [--jobs N] IN OUT\n", argv[0]);
        return 2;
    }
    CountingResolver resolver;
    EngineRuntime engine(&resolver);
    engine.Resolver.ResolverStartup();
    engine.LookupPool.SetLimit(jobs);
    engine.ResolveIPv6 = ipv6;
    const auto start = std::chrono::steady_clock::now();
    try {
        char lineBreak = 0;
        RewriteFile(engine, argv[1], argv[2], lineBreak, [] { return false; });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double mb = static_cast<double>(engine.TotalBytes.load()) / 1e6;
    std::printf("seconds=%.3f MB=%.1f MB/s=%.1f lookups=%ld cached=%zu ignored=%zu "
                "peak_rss_MB=%.1f level=%d\n",
                seconds, mb, mb / seconds, resolver.Lookups.load(), engine.DNSCache.Count(),
                engine.IgnoreList.Count(), static_cast<double>(usage.ru_maxrss) / 1024.0,
                engine.LookupPool.HighestLevel());
    return 0;
}
