#include "TestSupport.h"
#include "ThreadManager.h"
#include "Worker.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace hostmoor;
using namespace hostmoor::test;
using namespace std::chrono_literals;

namespace {

// A worker whose body waits until released.
class GateWorker final : public TWorker {
public:
    GateWorker(EngineRuntime& engine, bool fileJob, std::atomic<bool>& release,
               std::atomic<int>& ran)
        : TWorker(engine), fFileJob(fileJob), fRelease(release), fRan(ran) {
        Engine.ThreadManager.AddThread(this);
    }
    bool IsFileJob() const override { return fFileJob; }
    std::thread::id BodyThread;

protected:
    void Execute() override {
        FreeOnTerminate = true;
        BodyThread = std::this_thread::get_id();
        while (!fRelease.load() && !ShouldStop())
            std::this_thread::sleep_for(1ms);
        ++fRan;
    }

private:
    const bool fFileJob;
    std::atomic<bool>& fRelease;
    std::atomic<int>& fRan;
};

class WorkersTest : public EngineFixture {
protected:
    GateWorker* StartWorker(bool fileJob, EngineRuntime* in = nullptr) {
        EngineRuntime& e = in ? *in : engine;
        auto* w = new GateWorker(e, fileJob, release, ran);
        w->OnTerminate = [this, &e](TWorker* worker) {
            handlerThread = std::this_thread::get_id();
            bodyThread = static_cast<GateWorker*>(worker)->BodyThread;
            e.ThreadManager.ThreadDone(worker);
        };
        w->Start();
        return w;
    }
    std::atomic<bool> release{false};
    std::atomic<int> ran{0};
    std::thread::id handlerThread;
    std::thread::id bodyThread;
};

} // namespace

TEST_F(WorkersTest, HandlerRunsOnTheMainThreadAfterTheBodyAndDeregisters) {
    StartWorker(false);
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 1);
    release = true;
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_NE(bodyThread, std::this_thread::get_id());
    EXPECT_NE(bodyThread, std::thread::id());
}

TEST_F(WorkersTest, AllFilesFinishedNoticeOnlyWhenTheLastFileJobEnds) {
    int notices = 0;
    engine.ThreadManager.OnAllFileJobsFinished = [&] { ++notices; };
    StartWorker(true);
    StartWorker(true);
    StartWorker(false);
    EXPECT_EQ(engine.ThreadManager.FileJobCount(), 2);
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 3);
    release = true;
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(engine.ThreadManager.FileJobCount(), 0);

    // A later batch gives its own notice.
    release = false;
    StartWorker(true);
    release = true;
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(notices, 2);
}

TEST_F(WorkersTest, StopAllAsksButNeitherWaitsNorDeregisters) {
    StartWorker(false);
    StartWorker(true);
    engine.ThreadManager.StopAll();
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 2); // still listed until their handlers run
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(ran.load(), 2);
}

TEST_F(WorkersTest, WaitForAllReturnsAtOnceOnAnEmptyRegistry) {
    CountingSleep sleeps(engine);
    engine.ThreadManager.WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 0);
}

TEST_F(WorkersTest, WaitForAllGivesUpAfter31PausesWhileAWorkerIsBlocked) {
    CountingSleep sleeps(engine);
    StartWorker(false);
    engine.ThreadManager.WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 31);
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 1);
    release = true;
}

TEST_F(WorkersTest, WaitForAllLastsAbout3Point1SecondsInRealTime) {
    StartWorker(false);
    const auto start = std::chrono::steady_clock::now();
    engine.ThreadManager.WaitForAll();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 3000ms);
    EXPECT_LT(elapsed, 10s);
    release = true;
}

TEST_F(WorkersTest, HandlersCannotRunWhileTheMainThreadWaits) {
    CountingSleep sleeps(engine);
    StartWorker(false);
    release = true;
    // The body ends at once, but its handler waits for the main thread.
    ASSERT_TRUE(WaitUntil([this] { return mainThread.Pending() > 0; }));
    engine.ThreadManager.WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 31);
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 1);
    EXPECT_EQ(mainThread.Pending(), 1);
}

TEST_F(WorkersTest, DestroyingTheRegistryStopsAndDropsWorkers) {
    // A second engine beside the fixture's, its handlers on the same main-thread queue.
    auto other = std::make_unique<EngineRuntime>(&resolver);
    MainThreadQueue otherMain(*other);
    StartWorker(false, other.get());
    EXPECT_EQ(other->ThreadManager.ThreadCount(), 1);
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 0);
    other->ThreadManager.DropAll();
    EXPECT_EQ(other->ThreadManager.ThreadCount(), 0);
    // The worker was asked to stop: its body ends and its handler finds it no longer listed.
    ASSERT_TRUE(otherMain.DrainUntil([&] { return ran.load() == 1; }));
    ASSERT_TRUE(otherMain.DrainUntil([&] { return handlerThread == std::this_thread::get_id(); }));
    EXPECT_EQ(other->ThreadManager.ThreadCount(), 0);
}

TEST(MainThreadHook, WithoutAHookTheHandlerRunsOnTheWorkersThread) {
    std::atomic<bool> release{true};
    std::atomic<int> ran{0};
    EngineRuntime engine;
    std::atomic<bool> done{false};
    std::thread::id handler;
    auto* w = new GateWorker(engine, false, release, ran);
    w->OnTerminate = [&](TWorker* worker) {
        handler = std::this_thread::get_id();
        engine.ThreadManager.RemoveThread(worker);
        done = true;
    };
    w->Start();
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    EXPECT_NE(handler, std::this_thread::get_id());
    EXPECT_EQ(engine.ThreadManager.ThreadCount(), 0);
}
