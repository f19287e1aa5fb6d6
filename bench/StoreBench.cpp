// The answer store with a million entries on disk: the cost of a Find that hits and of one
// that misses, of a Remember with its share of the batched writes, and the file's size.
#include "AnswerStore.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sqlite3.h>
#include <unistd.h>

using namespace hostmoor;

namespace {

constexpr std::uint32_t kEntries = 1'000'000;
constexpr std::int64_t kNow = 1'700'000'000;

std::filesystem::path gDir;

AddressKey Key(std::uint32_t i) {
    return HostAddress(htonl(0x0a000000u + i)).Bytes();
}

void Check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        std::fprintf(stderr, "filling the store: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

std::unique_ptr<IAnswerStore> Open(const std::string& name) {
    return OpenAnswerStore(
        (gDir / name).string(), {},
        [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }, kNow);
}

// Laid out by the store, then filled through a connection of its own in big transactions.
IAnswerStore& Filled() {
    static IAnswerStore* store = [] {
        const std::string path = (gDir / "filled.sqlite").string();
        Open("filled.sqlite")->Flush();
        sqlite3* db = nullptr;
        Check(sqlite3_open(path.c_str(), &db), db);
        sqlite3_stmt* insert = nullptr;
        Check(sqlite3_prepare_v2(db, "INSERT INTO answers VALUES(?1, ?2, 0, ?3)", -1, &insert,
                                 nullptr),
              db);
        Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
        for (std::uint32_t i = 0; i < kEntries; ++i) {
            const AddressKey key = Key(i);
            const std::string name = "client-" + std::to_string(i) + ".example.net";
            sqlite3_bind_blob(insert, 1, key.data(), 16, SQLITE_STATIC);
            sqlite3_bind_text(insert, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
            sqlite3_bind_int64(insert, 3, kNow - 60);
            Check(sqlite3_step(insert), db);
            sqlite3_reset(insert);
            if (i % 100'000 == 99'999) {
                Check(sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr), db);
            }
        }
        Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
        sqlite3_finalize(insert);
        sqlite3_close(db);
        return Open("filled.sqlite").release();
    }();
    return *store;
}

void BM_FindHit(benchmark::State& state) {
    IAnswerStore& store = Filled();
    std::mt19937 rng(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.Find(Key(rng() % kEntries), kNow));
    if (store.Counts().FromStore == 0)
        state.SkipWithError("no Find was answered from the store");
}

void BM_FindMiss(benchmark::State& state) {
    IAnswerStore& store = Filled();
    std::mt19937 rng(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.Find(Key(kEntries + rng() % kEntries), kNow));
}

// What the caller waits for per answer, the batch writes shared out.
void BM_Remember(benchmark::State& state) {
    auto store = Open("remembered.sqlite");
    std::uint32_t i = 0;
    for (auto _ : state)
        store->Remember({Key(i++), "client.example.net", false, kNow});
    store->Flush();
    if (!store->Usable())
        state.SkipWithError("the store failed");
}

} // namespace

BENCHMARK(BM_FindHit);
BENCHMARK(BM_FindMiss);
BENCHMARK(BM_Remember);

int main(int argc, char** argv) {
    gDir = std::filesystem::temp_directory_path() /
           ("hostmoor-storebench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(gDir);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(gDir / "filled.sqlite", ec);
    if (!ec)
        std::printf("store file with %u entries: %ju bytes, %.1f bytes per entry\n", kEntries,
                    static_cast<std::uintmax_t>(bytes), static_cast<double>(bytes) / kEntries);
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
