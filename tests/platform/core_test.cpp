// Time, seams, lock and threads: the parts of the platform layer that every implementation has.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/platform.h"
#include "platform/seams.h"

namespace {

// Waits up to timeoutMs for condition(), checking every millisecond.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::atomic<uint32_t> g_sleepAsked{0};
std::atomic<uint32_t> g_sleepCalls{0};

uint32_t RecordAndSkipSleep(uint32_t ms) {
    g_sleepAsked.store(ms, std::memory_order_relaxed);
    g_sleepCalls.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int AnswerKeyY() {
    return 'y';
}

// Seconds since 1970 of a UtcTime, so that it can be compared with the C library's clock.
time_t ToEpochSeconds(const UtcTime& t) {
    std::tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    return timegm(&fields);
}

}  // namespace

TEST(PlatformTime, TickCountsMillisecondsOfRealSleeps) {
    const uint32_t before = Platform_TickMs();
    Platform_SleepMs(30);
    const uint32_t elapsed = Platform_TickMs() - before;  // unsigned difference survives a wrap
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(PlatformTime, UtcNowMatchesTheSystemClockInUtc) {
    const time_t before = std::time(nullptr);
    const UtcTime now = Platform_UtcNow();
    const time_t after = std::time(nullptr);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LT(now.hour, 24);
    EXPECT_LT(now.minute, 60);
    EXPECT_LT(now.second, 60);
    EXPECT_LT(now.millisecond, 1000);
    const time_t seconds = ToEpochSeconds(now);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
}

TEST(PlatformSeams, FixedUtcIsReturnedUntilCleared) {
    UtcTime fixed{2001, 2, 3, 4, 5, 6, 789};
    PlatformSeam_SetFixedUtc(&fixed);
    fixed.year = 1999;  // the seam keeps the value it was given
    const UtcTime got = Platform_UtcNow();
    PlatformSeam_SetFixedUtc(nullptr);
    EXPECT_EQ(got.year, 2001);
    EXPECT_EQ(got.month, 2);
    EXPECT_EQ(got.day, 3);
    EXPECT_EQ(got.hour, 4);
    EXPECT_EQ(got.minute, 5);
    EXPECT_EQ(got.second, 6);
    EXPECT_EQ(got.millisecond, 789);
    EXPECT_GT(Platform_UtcNow().year, 2020);
}

TEST(PlatformSeams, SleepHookSeesEveryRequestFromAnyThread) {
    g_sleepCalls.store(0);
    PlatformSeam_SetSleepHook(&RecordAndSkipSleep);
    const auto start = std::chrono::steady_clock::now();
    Platform_SleepMs(600000);
    EXPECT_EQ(g_sleepAsked.load(), 600000u);
    std::thread other([] { Platform_SleepMs(123456); });
    other.join();
    const auto took = std::chrono::steady_clock::now() - start;
    PlatformSeam_SetSleepHook(nullptr);
    EXPECT_EQ(g_sleepAsked.load(), 123456u);
    EXPECT_EQ(g_sleepCalls.load(), 2u);
    EXPECT_LT(took, std::chrono::seconds(5));

    Platform_SleepMs(1);  // real sleeps again: the hook is no longer asked
    EXPECT_EQ(g_sleepCalls.load(), 2u);
}

TEST(PlatformSeams, KeyHookAnswersThePrompt) {
    PlatformSeam_SetKeyHook(&AnswerKeyY);
    EXPECT_EQ(Platform_ReadKey(), 'y');
    PlatformSeam_SetKeyHook(nullptr);
}

TEST(PlatformThreads, StartPassesTheArgumentAndJoinWaitsForTheBody) {
    struct Work {
        std::atomic<int> seen{0};
        std::atomic<bool> release{false};
    } work;
    PlatformThread* thread = Platform_ThreadStart(
        [](void* arg) {
            auto* w = static_cast<Work*>(arg);
            while (!w->release.load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            w->seen.store(42, std::memory_order_release);
        },
        &work);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(work.seen.load(), 0);
    work.release.store(true, std::memory_order_release);
    Platform_ThreadJoin(thread);
    EXPECT_EQ(work.seen.load(std::memory_order_acquire), 42);
}

TEST(PlatformSeams, FailNextThreadStartFailsExactlyOnce) {
    std::atomic<int> runs{0};
    auto body = [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); };
    PlatformSeam_FailNextThreadStart();
    EXPECT_EQ(Platform_ThreadStart(body, &runs), nullptr);
    PlatformThread* second = Platform_ThreadStart(body, &runs);
    ASSERT_NE(second, nullptr);
    Platform_ThreadJoin(second);
    EXPECT_EQ(runs.load(), 1);  // the failed start ran nothing
}

TEST(PlatformLock, IsRecursiveAndHeldUntilTheLastLeave) {
    PlatformLock* lock = Platform_LockCreate();
    ASSERT_NE(lock, nullptr);
    Platform_LockEnter(lock);
    Platform_LockEnter(lock);  // a second enter on the same thread must not deadlock
    Platform_LockLeave(lock);

    std::atomic<bool> entered{false};
    std::thread other([&] {
        Platform_LockEnter(lock);
        entered.store(true);
        Platform_LockLeave(lock);
    });
    // Still held once: the other thread must not get in within this time.
    EXPECT_FALSE(WaitFor([&] { return entered.load(); }, 100));
    Platform_LockLeave(lock);
    EXPECT_TRUE(WaitFor([&] { return entered.load(); }));
    other.join();
    Platform_LockDelete(lock);
}
