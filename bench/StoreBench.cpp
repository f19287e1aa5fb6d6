// The answer store with a million entries on disk: the cost of a Find that hits and of one
// that misses, of a Remember with its share of the batched writes, and the file's size; then
// the daily sweep over a million rows, all outworn and none, with its longest write
// transaction, the longest wait of a writer beside it, and the file's size before and after.
#include "AnswerStore.h"
#include "StoreSweep.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sqlite3.h>
#include <thread>
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

// Laid out by the store, then filled through a connection of its own in big transactions,
// every answer learned at `learned`.
void Fill(const std::string& name, std::int64_t learned) {
    const std::string path = (gDir / name).string();
    Open(name)->Flush();
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db);
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(
              db, "INSERT INTO answers(addr, name, failed, learned) VALUES(?1, ?2, 0, ?3)", -1,
              &insert, nullptr),
          db);
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        const AddressKey key = Key(i);
        const std::string host = "client-" + std::to_string(i) + ".example.net";
        sqlite3_bind_blob(insert, 1, key.data(), 16, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert, 3, learned);
        Check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
        if (i % 100'000 == 99'999) {
            Check(sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr), db);
        }
    }
    Check(sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
          db);
    sqlite3_finalize(insert);
    sqlite3_close(db);
}

IAnswerStore& Filled() {
    static IAnswerStore* store = [] {
        Fill("filled.sqlite", kNow - 60);
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

// The sweep of a million rows, due a day ago, with a writer beside it that commits one row
// every 10 ms and times how long it waits for the lock each time.
void Sweep(const char* what, std::int64_t learned) {
    const std::string name = std::string("sweep-") + what + ".sqlite";
    const std::string path = (gDir / name).string();
    Fill(name, learned);
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db);
    Check(sqlite3_exec(db,
                       ("UPDATE meta SET last_sweep = " + std::to_string(kNow - 2 * 86400)).c_str(),
                       nullptr, nullptr, nullptr),
          db);
    sqlite3_busy_timeout(db, 5000);
    const auto before = std::filesystem::file_size(path);
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::chrono::microseconds longestWait{0};
    std::uint32_t writes = 0;
    std::thread writer([&] {
        while (!done.load()) {
            const auto asked = std::chrono::steady_clock::now();
            Check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db);
            longestWait =
                std::max(longestWait, std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - asked));
            const AddressKey key = Key(kEntries + writes++);
            sqlite3_stmt* insert = nullptr;
            sqlite3_prepare_v2(
                db, "INSERT INTO answers(addr, name, failed, learned) VALUES(?1, 'w', 0, ?2)", -1,
                &insert, nullptr);
            sqlite3_bind_blob(insert, 1, key.data(), 16, SQLITE_STATIC);
            sqlite3_bind_int64(insert, 2, kNow);
            Check(sqlite3_step(insert), db);
            sqlite3_finalize(insert);
            Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const store::SweepFigures figures = store::SweepStore(path, kNow, stop);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    writer.join();
    Check(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), db);
    sqlite3_close(db);
    std::printf("sweep of %u rows, %s: %llu removed in %.2f s, %llu write transactions, the "
                "longest %.2f ms; a writer beside it (%u commits) waited at most %.2f ms; file "
                "%.1f MB before, %.1f MB after%s\n",
                kEntries, what, static_cast<unsigned long long>(figures.Removed), seconds,
                static_cast<unsigned long long>(figures.Steps),
                static_cast<double>(figures.LongestStep.count()) / 1000.0, writes,
                static_cast<double>(longestWait.count()) / 1000.0,
                static_cast<double>(before) / 1e6,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6,
                figures.Finished ? "" : " (not finished)");
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
    Sweep("all outworn", kNow - 40 * 86400);
    Sweep("none outworn", kNow - 60);
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(gDir / "filled.sqlite", ec);
    if (!ec)
        std::printf("store file with %u entries: %ju bytes, %.1f bytes per entry\n", kEntries,
                    static_cast<std::uintmax_t>(bytes), static_cast<double>(bytes) / kEntries);
    std::filesystem::remove_all(gDir, ec);
    return 0;
}
