// The platform thread during an unload, with the loader lock really held (by
// a library whose attach notice waits): a thread that has not started yet is
// stopped before it runs any of our code, and one that has finished its work
// is let go as soon as it has left our code, although it cannot exit.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/handles.h"
#include "platform/platform.h"
#include "support/wait.h"

namespace corvanlet {
namespace {

using platform::Teardown;

// Holds the loader lock from another thread until destroyed.
class LoaderLockHeld {
  public:
    LoaderLockHeld()
        : entered_(CreateEventA(nullptr, TRUE, FALSE, "CorvanletLoaderLockEntered")),
          release_(CreateEventA(nullptr, TRUE, FALSE, "CorvanletLoaderLockRelease")),
          loader_([] { library_.Reset(LoadLibraryA("corvanlet_loader_lock_holder.dll")); }) {
        held_ = WaitForSingleObject(entered_.Get(), 10000) == WAIT_OBJECT_0;
    }
    ~LoaderLockHeld() {
        SetEvent(release_.Get());
        loader_.join();
        library_.Reset();
    }
    bool Held() const { return held_; }

  private:
    platform::UniqueHandle entered_;
    platform::UniqueHandle release_;
    static inline platform::UniqueLibrary library_;
    std::thread loader_;
    bool held_ = false;
};

class UnloadTest : public ::testing::Test {};

std::atomic<bool> ranOurCode{false};

void MarkRan(void*) {
    ranOurCode = true;
}

TEST_F(UnloadTest, AThreadWaitingToStartIsStoppedBeforeItRunsOurCode) {
    platform::Thread thread;
    {
        LoaderLockHeld lock;
        ASSERT_TRUE(lock.Held());
        ranOurCode = false;
        ASSERT_TRUE(thread.Start(&MarkRan, &thread));
        Sleep(200);  // it waits for the loader lock to start
        EXPECT_TRUE(thread.CancelIfNotStarted(Teardown::kUnload));
        EXPECT_FALSE(ranOurCode.load());
    }
    Sleep(100);
    EXPECT_FALSE(ranOurCode.load());  // and never will
}

TEST_F(UnloadTest, AFinishedThreadIsLetGoOnceItHasLeftOurCode) {
    platform::Thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    struct Work {
        platform::Thread* thread;
        std::atomic<bool>* running;
        std::atomic<bool>* go;
        std::atomic<bool>* done;
    } work{&thread, &running, &go, &done};
    ASSERT_TRUE(thread.Start(
        [](void* raw) {
            auto* w = static_cast<Work*>(raw);
            w->running->store(true);
            // Not told to go: `done` stays false, which the test checks.
            if (!testing::WaitFor([w] { return w->go->load(); }, 20000)) return;
            w->done->store(true);
        },
        &work));
    // Threads cannot start while the loader lock is held: this one runs our
    // code first (on a busy machine its first step may take a while).
    ASSERT_TRUE(testing::WaitFor([&] { return running.load(); })) << "the thread did not start";
    std::atomic<bool> finish{false};
    std::atomic<bool> finished{false};
    std::thread finisher([&] {
        // Not told to finish: `finished` stays false, which the test checks.
        if (!testing::WaitFor([&] { return finish.load(); }, 20000)) return;
        thread.Finish(Teardown::kUnload);
        finished = true;
    });
    {
        LoaderLockHeld lock;
        ASSERT_TRUE(lock.Held());
        EXPECT_FALSE(
            thread.CancelIfNotStarted(Teardown::kUnload));  // it runs: it does its own work
        go = true;
        // Not ASSERT: the finisher must be told to finish before it is joined.
        EXPECT_TRUE(testing::WaitFor([&] { return done.load(); })) << "the thread did not run";
        // It cannot exit while the loader lock is held; Finish must not wait
        // for that. A Finish that did would never return while the lock is
        // held, so the bound is generous: a loaded machine is no failure.
        finish = true;
        for (int i = 0; i < 6000 && !finished.load(); ++i) Sleep(10);
        EXPECT_TRUE(finished.load());
    }
    finisher.join();
}

// A thread given up on inside a call comes out and says it is done, but
// stays in our code past the unload's bound: the unload does not take it
// for gone, it stops it there.
TEST_F(UnloadTest, AThreadStillInOurCodePastTheBoundIsStopped) {
    struct Work {
        platform::CallWatch watch;
        std::atomic<bool> entered{false}, givenUp{false}, out{false};
        std::atomic<std::uint32_t> spins{0};
    };
    static Work work;  // outlives the thread, which never ends
    platform::Thread thread;
    ASSERT_TRUE(thread.Start(
        [](void*) {
            work.watch.Enter();
            work.entered = true;
            (void)testing::WaitFor([] { return work.givenUp.load(); }, 20000);
            (void)work.watch.Leave();
            platform::CallWatch::Gone(work.watch.GiveUpRecord());
            work.out = true;
            // Still in our code, calling nothing: a few seconds of counting.
            while (work.spins.fetch_add(1, std::memory_order_relaxed) < 4000000000u) {
            }
        },
        nullptr));
    ASSERT_TRUE(testing::WaitFor([] { return work.entered.load(); }));
    work.watch.GiveUp(thread);
    work.givenUp = true;
    ASSERT_TRUE(testing::WaitFor([] { return work.out.load(); }));
    EXPECT_EQ(platform::StopGivenUpThreads(), 1u);
    const std::uint32_t spins = work.spins.load();
    Sleep(200);
    EXPECT_EQ(work.spins.load(), spins) << "the thread still runs our code";
    thread.Forget();
}

}  // namespace
}  // namespace corvanlet
