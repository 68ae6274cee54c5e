#include "host/TimerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A queue of its own per test, so that each test starts and ends one.
class CTestQueue : public CTimerQueue {
public:
    CTestQueue() = default;
    explicit CTestQueue(std::nullptr_t) : CTimerQueue(nullptr) {}
};

// What a timer's callback saw; the callback may block until released.
struct SProbe {
    std::atomic<int> fired{0};
    std::atomic<bool> allFired{true};
    std::atomic<bool> running{false};
    std::atomic<bool> release{true};
    std::atomic<int> finished{0};
};

void CORVANE_TIMER_CALLBACK OnTimer(void* param, TimerFired timerOrWaitFired)
{
    auto* probe = static_cast<SProbe*>(param);
    if (!timerOrWaitFired) {
        probe->allFired = false;
    }
    probe->running = true;
    ++probe->fired;
    while (!probe->release) {
        std::this_thread::sleep_for(1ms);
    }
    probe->running = false;
    ++probe->finished;
}

// Polls for up to five seconds; timer threads get no guarantee beyond that.
template <class Pred>
bool Eventually(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// ERROR_IO_PENDING on Windows; the same "still running" as an errno value.
#if defined(_WIN32)
constexpr int kPendingCode = 997;
#else
constexpr int kPendingCode = EINPROGRESS;
#endif

TEST(TimerQueue, InstanceIsOneWorkingQueue)
{
    CTimerQueue& queue = CTimerQueue::Instance();
    EXPECT_EQ(&queue, &CTimerQueue::Instance());
    SProbe probe;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 0, 0, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(Eventually([&] { return probe.finished == 1; }));
    EXPECT_TRUE(queue.DeleteTimer(timer, kWaitForCallbacks));
}

TEST(TimerQueue, OneShotFiresOnceWithItsParameter)
{
    CTestQueue queue;
    SProbe probe;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 0, 10, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(Eventually([&] { return probe.finished == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe.fired, 1);
    EXPECT_TRUE(probe.allFired);
    EXPECT_TRUE(queue.DeleteTimer(timer, kWaitForCallbacks));
}

TEST(TimerQueue, PeriodicFiresUntilDeleted)
{
    CTestQueue queue;
    SProbe probe;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 10, 0, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(Eventually([&] { return probe.finished >= 3; }));
    EXPECT_TRUE(queue.DeleteTimer(timer, kWaitForCallbacks));
    const int fired = probe.fired;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe.fired, fired);
    EXPECT_TRUE(probe.allFired);
}

// The period comes before the due time: a long period with no delay fires
// at once, and only once in the meantime.
TEST(TimerQueue, TakesThePeriodBeforeTheDueTime)
{
    CTestQueue queue;
    SProbe probe;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 60000, 0, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(Eventually([&] { return probe.finished == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(probe.fired, 1);
    EXPECT_TRUE(queue.DeleteTimer(timer, kWaitForCallbacks));
}

TEST(TimerQueue, DeletingWithWaitReturnsOnceTheCallbackHas)
{
    CTestQueue queue;
    SProbe probe;
    probe.release = false;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 0, 0, 0);
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(Eventually([&] { return probe.running.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        probe.release = true;
    });
    EXPECT_TRUE(queue.DeleteTimer(timer, kWaitForCallbacks));
    EXPECT_EQ(probe.finished, 1);
    releaser.join();
}

// Without waiting the timer still goes, but the call reports the running
// callback as a failure.
TEST(TimerQueue, DeletingWithoutWaitFailsWhileTheCallbackRuns)
{
    CTestQueue queue;
    SProbe probe;
    probe.release = false;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 0, 0, 0);
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(Eventually([&] { return probe.running.load(); }));
    EXPECT_FALSE(queue.DeleteTimer(timer, nullptr));
    probe.release = true;
    EXPECT_TRUE(Eventually([&] { return probe.finished == 1; }));
}

TEST(TimerQueue, DeletingTheQueueDoesNotWaitForARunningCallback)
{
    auto probe = std::make_shared<SProbe>();
    probe->release = false;
    testing::internal::CaptureStdout();
    {
        CTestQueue queue;
        ASSERT_NE(queue.CreateTimer(&OnTimer, probe.get(), 0, 0, 0), nullptr);
        ASSERT_TRUE(Eventually([&] { return probe->running.load(); }));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DeleteTimerQueue failed (" + std::to_string(kPendingCode) + ")\n");
    probe->release = true;
    EXPECT_TRUE(Eventually([&] { return probe->finished == 1; }));
}

TEST(TimerQueue, DeletingTheQueueCancelsItsTimers)
{
    SProbe probe;
    testing::internal::CaptureStdout();
    {
        CTestQueue queue;
        ASSERT_NE(queue.CreateTimer(&OnTimer, &probe, 0, 200, 0), nullptr);
    }
    const std::string out = testing::internal::GetCapturedStdout();
#if defined(_WIN32)
    // The system may report any deletion that does not wait as pending.
    EXPECT_TRUE(out.empty() || out == "DeleteTimerQueue failed (" + std::to_string(kPendingCode) + ")\n") << out;
#else
    EXPECT_EQ(out, "");
#endif
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(probe.fired, 0);
}

TEST(TimerQueue, WithoutAQueueCreatesNothingAndSaysNothing)
{
    CTestQueue queue(nullptr);
    SProbe probe;
    testing::internal::CaptureStdout();
    EXPECT_EQ(queue.CreateTimer(&OnTimer, &probe, 10, 0, 0), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(probe.fired, 0);
}

#if !defined(_WIN32)
TEST(TimerQueue, ReportsFailuresWithErrno)
{
    CTestQueue queue;
    testing::internal::CaptureStdout();
    EXPECT_EQ(queue.CreateTimer(nullptr, nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CreateTimerQueueTimer failed (" + std::to_string(EINVAL) + ")\n");

    SProbe probe;
    TimerHandle timer = queue.CreateTimer(&OnTimer, &probe, 0, 60000, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(queue.DeleteTimer(timer, nullptr));
    EXPECT_FALSE(queue.DeleteTimer(timer, nullptr));
    EXPECT_EQ(errno, EINVAL);
}

struct SSelfDelete {
    CTimerQueue* queue;
    std::atomic<TimerHandle> timer{nullptr};
    std::atomic<int> result{-1};
    std::atomic<int> error{0};
};

void OnTimerDeletingItself(void* param, TimerFired)
{
    auto* self = static_cast<SSelfDelete*>(param);
    while (self->timer == nullptr) {
        std::this_thread::sleep_for(1ms);
    }
    const bool ok = self->queue->DeleteTimer(self->timer, kWaitForCallbacks);
    self->error = errno;
    self->result = ok ? 1 : 0;
}

// Waiting for itself would hang for ever; the queue refuses instead.
TEST(TimerQueue, ACallbackCannotWaitForItself)
{
    CTestQueue queue;
    SSelfDelete self{&queue};
    self.timer = queue.CreateTimer(&OnTimerDeletingItself, &self, 0, 0, 0);
    ASSERT_NE(self.timer.load(), nullptr);
    ASSERT_TRUE(Eventually([&] { return self.result != -1; }));
    EXPECT_EQ(self.result, 0);
    EXPECT_EQ(self.error, EDEADLK);
}
#endif

} // namespace
