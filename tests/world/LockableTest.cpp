#include "world/Lockable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(CriticalSection, IsRecursiveForItsOwner)
{
    CCriticalSection cs;
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.TryLock());
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(cs.Unlock());
}

TEST(CriticalSection, TryLockFromAnotherThreadNeverWaits)
{
    CCriticalSection cs;
    cs.Lock();
    std::atomic<int> taken{-1};
    std::thread([&] { taken = cs.TryLock() ? 1 : 0; }).join();
    EXPECT_EQ(taken, 0);
    cs.Unlock();
    std::thread([&] {
        taken = cs.TryLock() ? 1 : 0;
        if (taken == 1) {
            cs.Unlock();
        }
    }).join();
    EXPECT_EQ(taken, 1);
}

TEST(CriticalSection, ExcludesOtherThreads)
{
    CCriticalSection cs;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CAutoLock lock(&cs);
            ++counter;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(AutoLock, UnlocksOnceAndToleratesNull)
{
    CCriticalSection cs;
    {
        CAutoLock lock(&cs);
        EXPECT_TRUE(lock.Unlock());
        EXPECT_FALSE(lock.Unlock()) << "the pointer is forgotten after the first unlock";
        std::atomic<bool> free{false};
        std::thread([&] {
            free = cs.TryLock();
            if (free) {
                cs.Unlock();
            }
        }).join();
        EXPECT_TRUE(free);
    }
    CAutoLock none(nullptr);
    EXPECT_FALSE(none.Unlock());
}

} // namespace
