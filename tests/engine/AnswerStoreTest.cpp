// The answer store on real SQLite files: what outlives a restart and when it expires, the
// daily sweep, one report for each kind of bad file, threads and processes writing at once.
#include "AnswerStore.h"

#include "EngineRuntime.h"
#include "RevLookup.h"
#include "StoreSweep.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace hostmoor;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 24 * kHour;

AddressKey Key(std::uint32_t i) {
    return HostAddress(htonl(0x0a000000u + i)).Bytes();
}

// A connection of the test's own, as another process would hold one.
class Raw {
public:
    explicit Raw(const fs::path& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &fDb), SQLITE_OK); }
    ~Raw() { sqlite3_close(fDb); }
    // Runs every statement; gives the first column of the last row.
    std::string Text(const std::string& sql) {
        std::string text;
        sqlite3_exec(
            fDb, sql.c_str(),
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) = values[0] ? values[0] : "";
                return 0;
            },
            &text, nullptr);
        return text;
    }
    // The last byte of each key, in key order.
    std::string Keys() {
        return Text("SELECT group_concat(hex(substr(addr, 16)), ' ') FROM "
                    "(SELECT addr FROM answers ORDER BY addr)");
    }

private:
    sqlite3* fDb = nullptr;
};

} // namespace

// The fault table's cases prepare their files through it, so all of it is public.
class AnswerStoreTest : public ::testing::Test {
public:
    void SetUp() override {
        static int serial = 0;
        dir = fs::temp_directory_path() /
              ("hostmoor-store-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = dir / "answers.sqlite";
    }
    void TearDown() override {
        holder.reset();
        if (mounted)
            ::umount2(dir.c_str(), MNT_DETACH);
        fs::remove_all(dir);
    }
    std::unique_ptr<IAnswerStore> Open(StorePolicy policy = {}) {
        return OpenAnswerStore(
            path, policy, [this](const std::string& line) { reports.push_back(line); }, kNow);
    }
    // A run's rewrite of `log`, one lookup at a time, through the store opened for it: the copy.
    std::string RewriteThroughStore(test::ScriptedResolver& resolver, const std::string& log,
                                    bool verify = false) {
        EngineRuntime engine(&resolver);
        engine.Resolver.ResolverStartup();
        engine.LookupPool.SetLimit(0);
        engine.UseAnswerStore(Open());
        engine.RememberAnswers = true;
        engine.VerifyNames = verify;
        return Rewrite(engine, log);
    }
    // The engine's rewrite of `log`: the copy.
    std::string Rewrite(EngineRuntime& engine, const std::string& log) {
        test::WriteFile(dir / "in.log", log);
        char lineBreak = 0;
        RewriteFile(engine, (dir / "in.log").string(), (dir / "in.rdns").string(), lineBreak,
                    [] { return false; });
        return test::ReadFile(dir / "in.rdns");
    }
    // A store holding Key(0), closed again.
    void MakeStore() {
        auto store = Open();
        store->Remember({Key(0), "zero.example", false, kNow});
        store->Flush();
    }
    // The test's folder becomes a small file system of its own.
    void Mount(unsigned long flags) {
        const int rc = flags ? ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | flags, nullptr)
                             : ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m,mode=0700");
        EXPECT_EQ(rc, 0) << std::strerror(errno);
        mounted = true;
    }

    fs::path dir;
    fs::path path;
    bool mounted = false;
    std::vector<std::string> reports;
    std::unique_ptr<Raw> holder; // another connection kept open through a test
};

// Rows are written at kNow and read back after a restart at the age each case gives.
TEST_F(AnswerStoreTest, AnswersOutliveARestartUntilTheyAreTooOld) {
    enum Kind { Name, NoName, NoAnswer };
    const struct {
        const char* what;
        Kind kind;
        std::int64_t age;
        StoreResult result;
    } cases[] = {
        {"a name just learned", Name, 0, StoreResult::Hit},
        {"a name a second short of a day", Name, kDay - 1, StoreResult::Hit},
        {"a name a day old", Name, kDay, StoreResult::Expired},
        {"a failure under an hour old", NoName, kHour - 1, StoreResult::Hit},
        {"a failure an hour old", NoName, kHour, StoreResult::Expired},
        {"no answer under five minutes ago", NoAnswer, 299, StoreResult::Hit},
        {"no answer five minutes ago", NoAnswer, 300, StoreResult::Expired},
        {"a name from the future", Name, -1, StoreResult::Expired},
        {"a failure from the future", NoName, -kHour, StoreResult::Expired},
        {"a name past its retention", Name, 31 * kDay, StoreResult::Expired},
        {"a failure past its retention", NoName, kDay, StoreResult::Expired},
    };
    const auto name = [](std::uint32_t i) { return "h" + std::to_string(i); };
    auto store = Open();
    for (std::uint32_t i = 0; i < std::size(cases); ++i)
        store->Remember({Key(i), cases[i].kind == Name ? name(i) : "", cases[i].kind != Name, kNow,
                         cases[i].kind == NoAnswer});
    store->Flush();
    store = Open();
    std::uint64_t hits = 0;
    for (std::uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const StoreFind found = store->Find(Key(i), kNow + cases[i].age);
        EXPECT_EQ(found.Result, cases[i].result);
        if (found.Result == StoreResult::Hit) {
            ++hits;
            EXPECT_EQ(found.Failed, cases[i].kind != Name);
            EXPECT_EQ(found.Name, cases[i].kind == Name ? name(i) : "");
        }
    }
    EXPECT_EQ(store->Find(Key(99), kNow).Result, StoreResult::Miss);
    EXPECT_EQ(store->Counts().FromStore, hits);
    EXPECT_EQ(store->Counts().ExpiredMet, std::size(cases) - hits);
    // The next write removes the expired rows met that are past their retention or well ahead
    // of the clock; one only a moment ahead may come from a process that read the clock later.
    store->Flush();
    EXPECT_EQ(Raw(path).Keys(), "00 01 02 03 04 05 06 07");
    EXPECT_TRUE(reports.empty());
}

// The sweep runs on its own thread once the store is open. It removes only rows past a
// retention longer than any age a run may use, and gives their space back.
TEST_F(AnswerStoreTest, DailySweepRemovesOnlyWhatNobodyWantsAndShrinksTheFile) {
    auto store = Open();
    store->Remember({Key(0), "two-hours.example", false, kNow - 2 * kHour});
    store->Remember({Key(1), "", true, kNow - kHour / 2});
    store->Remember({Key(2), "", true, kNow - 2 * kDay});
    store->Remember({Key(3), "future.example", false, kNow + kHour});
    store->Remember({Key(4), "for-a-month.example", false, kNow - 29 * kDay});
    for (std::uint32_t i = 10; i < 20010; ++i) // many steps
        store->Remember({Key(i), std::string(40, 'o'), false, kNow - 31 * kDay - 1});
    store->Flush();
    store.reset();
    Raw raw(path);
    const auto pages = [&raw] {
        raw.Text("PRAGMA wal_checkpoint(TRUNCATE)");
        return std::stol(raw.Text("PRAGMA page_count"));
    };
    const long before = pages();
    raw.Text("UPDATE meta SET last_sweep = " + std::to_string(kNow - kDay));

    store = Open(StorePolicy{60, 60});
    ASSERT_TRUE(test::WaitUntil(
        [&] { return raw.Text("SELECT last_sweep FROM meta") == std::to_string(kNow); }));
    EXPECT_EQ(raw.Keys(), "00 01 04");
    EXPECT_LT(pages() * 10, before);
    EXPECT_EQ(raw.Text("PRAGMA freelist_count"), "0");
    EXPECT_TRUE(reports.empty());
}

// A flush that finds the file locked by another writer waits for it, within bounds.
TEST_F(AnswerStoreTest, AFlushWaitsForAnotherWritersLongTransaction) {
    auto store = Open();
    for (std::uint32_t i = 0; i < 300; ++i) // a batch is written at once, the rest is held
        store->Remember({Key(i), "n" + std::to_string(i), false, kNow});
    Raw other(path);
    other.Text("BEGIN IMMEDIATE; INSERT INTO answers VALUES(zeroblob(16), 'x', 0, 0, 0)");
    std::thread release([&] {
        // Held until the flush has found it locked at least once.
        test::WaitUntil([&] { return store->Counts().BusyRetries > 0; });
        other.Text("COMMIT");
    });
    store->Flush();
    release.join();
    EXPECT_TRUE(store->Usable());
    EXPECT_EQ(store->Counts().Unwritten, 0u);
    EXPECT_EQ(other.Text("SELECT count(*) FROM answers"), "301");
    EXPECT_TRUE(reports.empty());
}

// Nobody else may read the store, whatever the umask; a store the user made readable to
// others in an earlier version is made private.
TEST_F(AnswerStoreTest, TheStoreIsReadableByTheUserAlone) {
    const auto mode = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    for (const mode_t umask : {mode_t{000}, mode_t{022}}) {
        SCOPED_TRACE(umask);
        const fs::path folder = dir / ("u" + std::to_string(umask)) / "hostmoor";
        const mode_t saved = ::umask(umask);
        path = folder / "answers.sqlite";
        auto store = Open();
        store->Remember({Key(0), "zero.example", false, kNow});
        store->Flush();
        ::umask(saved);
        EXPECT_EQ(mode(folder.parent_path()), 0700);
        EXPECT_EQ(mode(folder), 0700);
        for (const char* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(mode(path.string() + suffix), 0600) << suffix;
        store.reset();
        ::chmod(path.c_str(), 0644);
        store = Open();
        EXPECT_EQ(mode(path), 0600);
        EXPECT_TRUE(store->Usable());
    }
    EXPECT_TRUE(reports.empty());
}

// Nothing is made under a folder that is not trusted; and a folder all may write in, such as
// /tmp, is not one to close to them.
TEST_F(AnswerStoreTest, AStoreRefusedForItsFolderLeavesNothingThere) {
    fs::permissions(dir, fs::perms(0770));
    path = dir / "hostmoor" / "answers.sqlite";
    EXPECT_FALSE(Open()->Usable());
    EXPECT_FALSE(fs::exists(dir / "hostmoor"));
    ASSERT_EQ(reports.size(), 1u);
    fs::permissions(dir, fs::perms(01777));
    path = dir / "answers.sqlite";
    EXPECT_FALSE(Open()->Usable());
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].find("chmod"), std::string::npos) << reports[1];
}

// A sweep cut short gives its claim up: the next run goes on with it at once.
TEST_F(AnswerStoreTest, ASweepCutShortIsTakenUpAtOnce) {
    auto store = Open();
    for (std::uint32_t i = 0; i < 2000; ++i)
        store->Remember({Key(i), "old.example", false, kNow - 40 * kDay});
    store->Flush();
    store.reset();
    Raw(path).Text("UPDATE meta SET last_sweep = " + std::to_string(kNow - kDay));
    std::atomic<bool> stop{true};
    EXPECT_FALSE(store::SweepStore(path.string(), kNow, stop).Finished);
    stop = false;
    const store::SweepFigures next = store::SweepStore(path.string(), kNow + 1, stop);
    EXPECT_TRUE(next.Finished);
    EXPECT_GT(next.Removed, 0u);
}

// No answer to the forward lookup of a name is remembered as briefly as no answer to a lookup.
TEST_F(AnswerStoreTest, NoAnswerToTheCheckOfANameIsRememberedBriefly) {
    {
        auto store = Open();
        store->Remember({Key(0), "slow.example", false, kNow, false, Confirmation::NoAnswer});
        store->Flush();
        EXPECT_EQ(store->Find(Key(0), kNow + 60).Confirmed, Confirmation::NoAnswer);
        const StoreFind later = store->Find(Key(0), kNow + 10 * 60);
        EXPECT_EQ(later.Confirmed, Confirmation::Unchecked);
        EXPECT_EQ(later.Name, "slow.example");
    }
    fs::remove(path);
    test::ScriptedResolver resolver;
    resolver.Answer("10.0.0.2", test::ScriptedResolver::Record("slow.example", {"10.0.0.2"}));
    resolver.Fail("A slow.example", kErrTryAgain);
    // Two runs, the verdict outworn, two more: the name is looked up afresh once.
    for (int run = 0; run < 4; ++run) {
        if (run == 2)
            Raw(path).Text("UPDATE answers SET learned = learned - 600");
        EXPECT_EQ(RewriteThroughStore(resolver, "10.0.0.2\n", true), "10.0.0.2\r\n");
    }
    EXPECT_EQ(resolver.Calls("10.0.0.2"), 2);
    EXPECT_EQ(resolver.Calls("A slow.example"), 2);
}

struct Fault {
    const char* name;
    bool needsRoot; // in a mount namespace of its own
    std::function<void(AnswerStoreTest&)> prepare;
    std::function<void(AnswerStoreTest&)> whileOpen = {}; // trouble that starts after the open
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name;
}

class AnswerStoreFault : public AnswerStoreTest, public ::testing::WithParamInterface<Fault> {};

std::string Bytes(const fs::path& path) {
    return fs::exists(path) ? test::ReadFile(path) : "(absent)";
}

// Rewrites a log of 600 addresses (past two batches), half with a long name, through the
// store when one is given; gives the output, and whether the store was still in use.
std::pair<std::string, bool> RewriteThrough(std::unique_ptr<IAnswerStore> store,
                                            const fs::path& folder) {
    test::ScriptedResolver resolver;
    std::string log;
    for (std::uint32_t i = 0; i < 600; ++i) {
        const std::string address =
            "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        if (i % 2 == 0)
            resolver.Answer(address, test::ScriptedResolver::Record(
                                         std::string(200, 'n') + std::to_string(i), {address}));
        log += address + " x\n";
    }
    test::WriteFile(folder / "in.log", log);
    EngineRuntime engine(&resolver);
    engine.Resolver.ResolverStartup();
    if (store) {
        engine.UseAnswerStore(std::move(store));
        engine.RememberAnswers = true;
    }
    char lineBreak = 0;
    RewriteFile(engine, (folder / "in.log").string(), (folder / "in.rdns").string(), lineBreak,
                [] { return false; });
    return {test::ReadFile(folder / "in.rdns"), engine.AnswerStore() != nullptr};
}

// Whatever is wrong, the rewrite completes with the output it has without a store, one report
// names the file, and the store leaves the file as it found it.
TEST_P(AnswerStoreFault, ReportsOnceAndLeavesTheFileAlone) {
    const Fault& fault = GetParam();
    if (fault.needsRoot && (::geteuid() != 0 || !test::InTestDns()))
        GTEST_SKIP() << "needs root in a private mount namespace: run through "
                        "tests/testdns/run.sh as root";
    fault.prepare(*this);
    const std::string before = Bytes(path);
    auto store = Open();
    if (fault.whileOpen)
        fault.whileOpen(*this);
    const fs::path work =
        fs::temp_directory_path() / ("hostmoor-fault-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const auto [withStore, inUse] = RewriteThrough(std::move(store), work);
    EXPECT_EQ(withStore, RewriteThrough(nullptr, work).first);
    EXPECT_FALSE(inUse);
    fs::remove_all(work);
    ASSERT_EQ(reports.size(), 1u) << ::testing::PrintToString(reports);
    EXPECT_NE(reports[0].find(path.string()), std::string::npos) << reports[0];
    EXPECT_EQ(Bytes(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AnswerStoreFault,
    ::testing::Values(Fault{"NotADatabase", false,
                            [](AnswerStoreTest& t) {
                                test::WriteFile(t.path, std::string(8192, 'x'));
                            }},
                      Fault{"AnotherProgramsFile", false,
                            [](AnswerStoreTest& t) {
                                Raw(t.path).Text("PRAGMA application_id=1234; CREATE TABLE t(x)");
                            }},
                      Fault{"LaterLayout", false,
                            [](AnswerStoreTest& t) {
                                t.MakeStore();
                                Raw(t.path).Text("PRAGMA user_version=3");
                            }},
                      Fault{"OwnedByAnotherUser", true,
                            [](AnswerStoreTest& t) {
                                t.MakeStore();
                                EXPECT_EQ(::chown(t.path.c_str(), 65534, 65534), 0);
                            }},
                      Fault{"WritableByOthers", false,
                            [](AnswerStoreTest& t) {
                                t.MakeStore();
                                fs::permissions(t.path, fs::perms(0666));
                            }},
                      Fault{"InAFolderTheGroupMayWrite", false,
                            [](AnswerStoreTest& t) { fs::permissions(t.dir, fs::perms(0770)); }},
                      Fault{"UnderAFolderOthersMayWrite", false,
                            [](AnswerStoreTest& t) {
                                t.path = t.dir / "mine" / "answers.sqlite";
                                t.MakeStore();
                                fs::permissions(t.dir, fs::perms(0777));
                            }},
                      // Another member of a shared folder's group lays out a store for the user.
                      Fault{"PlantedInASharedFolder", true,
                            [](AnswerStoreTest& t) {
                                t.MakeStore();
                                EXPECT_EQ(::chown(t.path.c_str(), 65534, 65534), 0);
                                fs::permissions(t.dir, fs::perms(0775));
                            }},
                      Fault{"ReadOnlyFile", true,
                            [](AnswerStoreTest& t) {
                                t.Mount(0);
                                t.MakeStore();
                                t.Mount(MS_BIND | MS_RDONLY);
                            }},
                      Fault{"ReadOnlyFolder", true,
                            [](AnswerStoreTest& t) {
                                t.Mount(0);
                                t.Mount(MS_BIND | MS_RDONLY);
                            }},
                      Fault{"LockedByAnotherWriter", false,
                            [](AnswerStoreTest& t) {
                                t.MakeStore();
                                t.holder = std::make_unique<Raw>(t.path);
                                t.holder->Text("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                                               "DELETE FROM answers");
                            }},
                      Fault{"DiskFull", true,
                            [](AnswerStoreTest& t) {
                                t.Mount(0);
                                t.MakeStore();
                            },
                            [](AnswerStoreTest& t) {
                                const int fd =
                                    ::open((t.dir / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
                                const std::string block(65536, 'f');
                                while (::write(fd, block.data(), block.size()) > 0) {
                                }
                                ::close(fd);
                            }}),
    [](const auto& info) { return std::string(info.param.name); });

// What the rewriter hands the store: the name servers' verdicts only (not a failure of the
// network before any answer), no answer for a few minutes, nothing learned while answers were
// not to be remembered, and nothing from the store that is not a host name.
TEST_F(AnswerStoreTest, TheRewriterRemembersVerdictsAndUsesOnlyHostNames) {
    test::ScriptedResolver resolver;
    resolver.Fail("10.0.0.1", kErrTryAgain);    // before any answer: the network, maybe
    resolver.Fail("10.0.0.2", kErrNetworkDown); // never the address's own
    resolver.Answer("10.0.0.3", test::ScriptedResolver::Record("three.example", {"10.0.0.3"}));
    resolver.Fail("10.0.0.4", kErrTryAgain); // after one: a zone that does not answer
    resolver.Answer("10.0.0.5", test::ScriptedResolver::Record("five.example", {"10.0.0.5"}));
    EngineRuntime engine(&resolver);
    engine.Resolver.ResolverStartup();
    engine.LookupPool.SetLimit(0); // in the order of the lines
    engine.UseAnswerStore(Open());
    auto rewrite = [&](bool remember, const std::string& log) {
        engine.RememberAnswers = remember;
        return Rewrite(engine, log);
    };
    rewrite(true, "10.0.0.1\n10.0.0.2\n");
    rewrite(false, "10.0.0.5\n"); // not to be remembered
    rewrite(true, "10.0.0.3\n10.0.0.4\n10.0.0.5\n");
    Raw raw(path);
    EXPECT_EQ(raw.Keys(), "03 04");
    EXPECT_EQ(
        raw.Text("SELECT group_concat(failed) FROM (SELECT failed FROM answers ORDER BY addr)"),
        "0,2");

    // A name mended by hand into something that is not a host name is looked up again.
    raw.Text("UPDATE answers SET name = 'injected' || char(10) || 'line' WHERE failed = 0");
    EXPECT_EQ(RewriteThroughStore(resolver, "10.0.0.3\n"), "three.example\r\n");
    EXPECT_EQ(resolver.Calls("10.0.0.3"), 2);
    EXPECT_TRUE(reports.empty());
}

// An answer reaches the store before the run's cache: a writer that finds it recorded and ends
// the job, flushing, cannot leave it unwritten.
TEST(AnswerStoreOrder, AnAnswerIsHandedToTheStoreBeforeTheCacheHasIt) {
    struct Watching final : IAnswerStore {
        EngineRuntime* engine = nullptr;
        int remembered = 0;
        int early = 0; // answers the cache held before the store was given them
        StoreFind Find(const AddressKey&, std::int64_t) override { return {}; }
        void Remember(const StoredAnswer& answer) override {
            ++remembered;
            const HostAddress address(answer.Address);
            early += engine->DNSCache.Contains(address) || engine->IgnoreList.Contains(address);
        }
        void Flush() override {}
        bool Usable() const override { return true; }
        StoreCounts Counts() const override { return {}; }
    };
    test::ScriptedResolver resolver;
    resolver.Answer("10.0.0.1", test::ScriptedResolver::Record("one.example", {"10.0.0.1"}));
    EngineRuntime engine(&resolver);
    engine.Resolver.ResolverStartup();
    auto store = std::make_unique<Watching>();
    store->engine = &engine;
    Watching& watching = *store;
    engine.UseAnswerStore(std::move(store));
    engine.RememberAnswers = true;
    LookUpAndRecord(engine, TextToAddress("10.0.0.1"));
    LookUpAndRecord(engine, TextToAddress("10.0.0.2")); // not found: a verdict
    EXPECT_EQ(watching.remembered, 2);
    EXPECT_EQ(watching.early, 0);
}

// Two processes of two threads each: every answer is kept, whichever call wrote its batch.
TEST_F(AnswerStoreTest, TwoProcessesOfTwoThreadsKeepEveryAnswerAndTheNewest) {
    constexpr std::uint32_t kEach = 3000;
    constexpr std::uint32_t kShift = 1000;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    pid_t children[2];
    for (std::uint32_t c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            // Both wait at the gate, then race for the new file and for each batch.
            ::close(gate[1]);
            char byte;
            while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
            }
            std::atomic<int> failures{0};
            auto store = OpenAnswerStore(
                path, {}, [&](const std::string&) { ++failures; }, kNow);
            const auto remember = [&, c](std::uint32_t odd) {
                for (std::uint32_t n = c * kShift + odd; n < c * kShift + kEach; n += 2) {
                    store->Remember({Key(n), "p" + std::to_string(c), false, kNow + c});
                    store->Find(Key(n / 2), kNow);
                }
            };
            std::thread other(remember, 1);
            remember(0);
            other.join();
            store->Flush();
            const bool ok = store->Usable() && failures == 0;
            store.reset();
            ::_exit(ok ? 0 : 1);
        }
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Raw raw(path);
    EXPECT_EQ(raw.Text("PRAGMA quick_check"), "ok");
    // The second process's answers are newer, so it owns the overlap whoever wrote last; the
    // first, a moment behind on the clock, finds them expired but leaves them.
    EXPECT_EQ(raw.Text("SELECT group_concat(n) FROM (SELECT name || ':' || count(*) AS n FROM "
                       "answers GROUP BY name ORDER BY name)"),
              "p0:" + std::to_string(kShift) + ",p1:" + std::to_string(kEach));
}

TEST(ParseDuration, ReadsACountWithOneOptionalUnit) {
    const std::pair<const char*, std::int64_t> cases[] = {{"3600", 3600},
                                                          {"90m", 5400},
                                                          {"2d", 172800},
                                                          {"9223372036854775807", INT64_MAX},
                                                          {"", 0},
                                                          {"0h", 0},
                                                          {"-5m", 0},
                                                          {"5 m", 0},
                                                          {"5w", 0},
                                                          {"1.5h", 0},
                                                          {"106751991167301d", 0}}; // 0: refused
    for (const auto& [text, expected] : cases) {
        std::int64_t seconds = -7;
        EXPECT_EQ(ParseDuration(text, seconds), expected != 0) << text;
        EXPECT_EQ(seconds, expected != 0 ? expected : -7) << text;
    }
}

// A name remembered by a run that did not check it is checked before a run that checks names
// uses it, and the verdict is remembered beside it.
TEST_F(AnswerStoreTest, ANameRememberedUncheckedIsCheckedBeforeItIsUsed) {
    test::ScriptedResolver resolver;
    resolver.Answer("10.0.0.1", test::ScriptedResolver::Record("crawl.example", {"10.0.0.1"}));
    resolver.Answer("A crawl.example",
                    test::ScriptedResolver::Record("crawl.example", {"10.9.9.9"}));
    auto rewrite = [&](bool verify) { return RewriteThroughStore(resolver, "10.0.0.1\n", verify); };
    EXPECT_EQ(rewrite(false), "crawl.example\r\n");
    EXPECT_EQ(rewrite(true), "10.0.0.1\r\n"); // the name from the store, checked now
    EXPECT_EQ(resolver.Calls("10.0.0.1"), 1);
    EXPECT_EQ(resolver.Calls("A crawl.example"), 1);
    EXPECT_EQ(rewrite(true), "10.0.0.1\r\n"); // the verdict from the store
    EXPECT_EQ(rewrite(false), "crawl.example\r\n");
    EXPECT_EQ(resolver.Calls("A crawl.example"), 1);
    EXPECT_EQ(resolver.Calls("10.0.0.1"), 1);
}

// A store of the layout before (Hostmoor 1.2) is brought up to date and keeps its answers.
TEST_F(AnswerStoreTest, AStoreOfTheLayoutBeforeOpensWithItsAnswers) {
    Raw(path).Text("PRAGMA journal_mode=WAL;"
                   "CREATE TABLE answers(addr BLOB NOT NULL PRIMARY KEY CHECK (length(addr) = 16),"
                   " name TEXT NOT NULL, failed INTEGER NOT NULL, learned INTEGER NOT NULL)"
                   " WITHOUT ROWID;"
                   "CREATE TABLE meta(one INTEGER PRIMARY KEY CHECK (one = 1),"
                   " last_sweep INTEGER NOT NULL);"
                   "INSERT INTO meta VALUES(1, " +
                   std::to_string(kNow) +
                   ");"
                   "INSERT INTO answers VALUES(x'00000000000000000000ffff0a000000', 'old.example',"
                   " 0, " +
                   std::to_string(kNow) +
                   ");"
                   "PRAGMA application_id=1215119699; PRAGMA user_version=1;");
    auto store = Open();
    const StoreFind found = store->Find(Key(0), kNow);
    EXPECT_EQ(found.Result, StoreResult::Hit);
    EXPECT_EQ(found.Name, "old.example");
    EXPECT_EQ(found.Confirmed, Confirmation::Unchecked);
    store->Remember({Key(1), "new.example", false, kNow, false, Confirmation::Confirmed});
    store->Flush();
    EXPECT_EQ(store->Find(Key(1), kNow).Confirmed, Confirmation::Confirmed);
    EXPECT_EQ(Raw(path).Text("PRAGMA user_version"), "2");
    EXPECT_TRUE(reports.empty());
}
