#include "Clock.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "Worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace hostmoor;
using namespace hostmoor::test;
using namespace std::chrono_literals;

namespace {

// A worker whose body waits until released.
class GateWorker final : public TWorker {
public:
    GateWorker(bool fileJob, std::atomic<bool>& release, std::atomic<int>& ran)
        : fFileJob(fileJob), fRelease(release), fRan(ran) {
        ThreadManager->AddThread(this);
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
    GateWorker* StartWorker(bool fileJob) {
        auto* w = new GateWorker(fileJob, release, ran);
        w->OnTerminate = [this](TWorker* worker) {
            handlerThread = std::this_thread::get_id();
            bodyThread = static_cast<GateWorker*>(worker)->BodyThread;
            ThreadDone(worker);
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
    EXPECT_EQ(ThreadManager->ThreadCount(), 1);
    release = true;
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_NE(bodyThread, std::this_thread::get_id());
    EXPECT_NE(bodyThread, std::thread::id());
}

TEST_F(WorkersTest, AllFilesFinishedNoticeOnlyWhenTheLastFileJobEnds) {
    int notices = 0;
    ThreadManager->OnAllFileJobsFinished = [&] { ++notices; };
    StartWorker(true);
    StartWorker(true);
    StartWorker(false);
    EXPECT_EQ(ThreadManager->FileJobCount(), 2);
    EXPECT_EQ(ThreadManager->ThreadCount(), 3);
    release = true;
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(ThreadManager->FileJobCount(), 0);

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
    ThreadManager->StopAll();
    EXPECT_EQ(ThreadManager->ThreadCount(), 2); // still listed until their handlers run
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(ran.load(), 2);
}

TEST_F(WorkersTest, WaitForAllReturnsAtOnceOnAnEmptyRegistry) {
    CountingSleep sleeps;
    ThreadManager->WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 0);
}

TEST_F(WorkersTest, WaitForAllGivesUpAfter31PausesWhileAWorkerIsBlocked) {
    CountingSleep sleeps;
    StartWorker(false);
    ThreadManager->WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 31);
    EXPECT_EQ(ThreadManager->ThreadCount(), 1);
    release = true;
}

TEST_F(WorkersTest, WaitForAllLastsAbout3Point1SecondsInRealTime) {
    StartWorker(false);
    const auto start = std::chrono::steady_clock::now();
    ThreadManager->WaitForAll();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 3000ms);
    EXPECT_LT(elapsed, 10s);
    release = true;
}

TEST_F(WorkersTest, HandlersCannotRunWhileTheMainThreadWaits) {
    CountingSleep sleeps;
    StartWorker(false);
    release = true;
    // The body ends at once, but its handler waits for the main thread.
    while (mainThread.Pending() == 0)
        std::this_thread::sleep_for(1ms);
    ThreadManager->WaitForAll();
    EXPECT_EQ(sleeps.Count(100), 31);
    EXPECT_EQ(ThreadManager->ThreadCount(), 1);
    EXPECT_EQ(mainThread.Pending(), 1);
}

TEST_F(WorkersTest, DestroyingTheRegistryStopsAndDropsWorkers) {
    auto* manager = new TThreadManager;
    std::swap(manager, ThreadManager);
    GateWorker* w = StartWorker(false);
    std::swap(manager, ThreadManager);
    EXPECT_EQ(manager->ThreadCount(), 1);
    manager->DropAll();
    EXPECT_EQ(manager->ThreadCount(), 0);
    // The worker was asked to stop: its body ends without being released.
    ASSERT_TRUE(mainThread.DrainUntil([&] { return ran.load() == 1; }));
    mainThread.DrainUntil([] { return false; }, 50ms);
    delete manager;
    (void)w;
}

TEST(MainThreadHook, WithoutAHookTheHandlerRunsOnTheWorkersThread) {
    SetMainThreadHook(nullptr);
    std::atomic<bool> release{true};
    std::atomic<int> ran{0};
    TThreadManager manager;
    ThreadManager = &manager;
    std::atomic<bool> done{false};
    std::thread::id handler;
    auto* w = new GateWorker(false, release, ran);
    w->OnTerminate = [&](TWorker* worker) {
        handler = std::this_thread::get_id();
        manager.RemoveThread(worker);
        done = true;
    };
    w->Start();
    while (!done)
        std::this_thread::sleep_for(1ms);
    EXPECT_NE(handler, std::this_thread::get_id());
    ThreadManager = nullptr;
}
