// The address cache with a million entries: search and add costs, and memory per entry.
#include "DNSCache.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <random>

using namespace hostmoor;

namespace {

constexpr std::uint32_t kEntries = 1'000'000;
std::mutex gCacheLock;

TDNSCache& Filled() {
    static TDNSCache* cache = [] {
        auto* c = new TDNSCache(gCacheLock);
        for (std::uint32_t i = 0; i < kEntries; ++i)
            c->Add("client-" + std::to_string(i) + ".example.net", htonl(0x0a000000u + i));
        return c;
    }();
    return *cache;
}

void BM_FindAddrHit(benchmark::State& state) {
    TDNSCache& cache = Filled();
    std::mt19937 rng(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.FindAddr(htonl(0x0a000000u + rng() % kEntries)));
    state.counters["bytes_per_entry"] =
        static_cast<double>(cache.MemoryBytes()) / static_cast<double>(cache.Count());
}

void BM_FindAddrMiss(benchmark::State& state) {
    TDNSCache& cache = Filled();
    std::mt19937 rng(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.FindAddr(htonl(0x0b000000u + rng() % kEntries)));
}

void BM_IgnoreCheck(benchmark::State& state) {
    TDNSCache& cache = Filled();
    std::mt19937 rng(3);
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.Contains(htonl(0x0a000000u + rng() % (2 * kEntries))));
}

void BM_AddMillion(benchmark::State& state) {
    for (auto _ : state) {
        TDNSCache cache(gCacheLock);
        for (std::uint32_t i = 0; i < kEntries; ++i)
            cache.Add("client.example.net", htonl(0x0a000000u + i));
        state.counters["bytes_per_entry_less_name"] =
            static_cast<double>(cache.MemoryBytes()) / kEntries - 19.0;
    }
}

// IPv6 addresses as logs hold them: counting up within one /64, or one per /64.
HostAddress V6(std::uint32_t i, bool perPrefix) {
    Address6 a{0x20, 0x01, 0x0d, 0xb8};
    const int at = perPrefix ? 4 : 12;
    for (int b = 0; b < 4; ++b)
        a[at + b] = static_cast<std::uint8_t>(i >> (24 - 8 * b));
    if (perPrefix)
        a[15] = 1;
    return HostAddress(a);
}

// Searches that find, among a million IPv6 entries.
void BM_IPv6FindAddrHit(benchmark::State& state) {
    const bool perPrefix = state.range(0) != 0;
    static TDNSCache* caches[2] = {};
    if (!caches[perPrefix]) {
        caches[perPrefix] = new TDNSCache(gCacheLock);
        for (std::uint32_t i = 0; i < kEntries; ++i)
            caches[perPrefix]->Add("client.example.net", V6(i, perPrefix));
    }
    TDNSCache& cache = *caches[perPrefix];
    std::mt19937 rng(4);
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.FindAddr(V6(rng() % kEntries, perPrefix)));
}

} // namespace

BENCHMARK(BM_IPv6FindAddrHit)->Arg(0)->Arg(1);
BENCHMARK(BM_FindAddrHit);
BENCHMARK(BM_FindAddrMiss);
BENCHMARK(BM_IgnoreCheck);
BENCHMARK(BM_AddMillion)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
