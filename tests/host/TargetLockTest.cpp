#include "host/TargetLock.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

namespace {

TEST(TargetLock, ReplacesAndRestoresTheList)
{
    CFakeHost host;
    const uint32_t outer[] = {4, 5};
    host.LockTargets(0);
    host.SetTargets(outer, 2);
    host.UnlockTargets();
    {
        const uint32_t ids[] = {1, 2, 3};
        CTargetLock lock(&host, ids, 3, 0);
        EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{1, 2, 3}));
        EXPECT_TRUE(host.TargetsLocked());
    }
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{4, 5}));
    EXPECT_FALSE(host.TargetsLocked());
    const std::vector<std::string> calls = host.Calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.end()),
              (std::vector<std::string>{"LockTargets 0", "GetTargets", "SetTargets 3", "SetTargets 2",
                                        "UnlockTargets"}));
}

TEST(TargetLock, CountZeroStillSetsAnEmptyList)
{
    CFakeHost host;
    {
        CTargetLock lock(&host, nullptr, 0, 0);
        host.SetCurrentUser(9);
        host.Send("x", 1);
        host.SetCurrentUser(0);
    }
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"LockTargets 0", "GetTargets", "SetTargets 0", "Send",
                                                      "SetTargets 0", "UnlockTargets"}));
    EXPECT_TRUE(host.Sent().at(0).recipients.empty()) << "an empty list reaches nobody, not the current user";
}

TEST(TargetLock, RefusedOrContextlessLockDoesNothing)
{
    CFakeHost host;
    const uint32_t outer[] = {4, 5};
    host.SetTargets(outer, 2);
    host.grantTargetLock = false;
    const uint32_t ids[] = {1};
    {
        CTargetLock lock(&host, ids, 1, 0);
        EXPECT_EQ(host.Calls(), (std::vector<std::string>{"SetTargets 2", "LockTargets 0"}));
        EXPECT_FALSE(host.TargetsLocked());
    }
    {
        CTargetLock none(nullptr, ids, 1, 0);
    }
    EXPECT_EQ(host.Calls(), (std::vector<std::string>{"SetTargets 2", "LockTargets 0"}))
        << "nothing at the refused lock's end, nothing at all without a context";
    EXPECT_EQ(host.Targets(), (std::vector<uint32_t>{4, 5}));
    EXPECT_FALSE(host.TargetsLocked());
}

} // namespace
