#include "support/GameFixture.h"
#include "world/SceneGrid.h"
#include "world/UserManager.h"

#include <gtest/gtest.h>

namespace {

class UserNotify : public GameFixture {};

TEST_F(UserNotify, LoginRegistersOnceWithoutPlacing)
{
    testing::internal::CaptureStdout();
    host.Login(5);
    CSceneObject* r = CUserManager::Instance().Find(ObjID(5, 0));
    ASSERT_NE(r, nullptr);
    r->hp = 50;
    host.Login(5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CSvrUserNotifyHandler::OnUserLogin\nCSvrUserNotifyHandler::OnUserLogin\n");
    EXPECT_EQ(CUserManager::Instance().Count(), 1u);
    EXPECT_EQ(CUserManager::Instance().Find(ObjID(5, 0))->hp, 50) << "a second login resets nothing";
    EXPECT_EQ(r->x, -1);
    std::vector<ObjPos> poses;
    CSceneGrid::Instance().GetAllPoses(poses);
    EXPECT_TRUE(poses.empty());
}

TEST_F(UserNotify, LogoutTakesTheUserOffTheGridAndTheNextTick)
{
    Enter(5);
    Enter(6);
    testing::internal::CaptureStdout();
    host.Logout(5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CSvrUserNotifyHandler::OnUserLogout\n");
    EXPECT_EQ(CUserManager::Instance().Find(ObjID(5, 0)), nullptr);
    host.TakeSent();
    host.FireTimers();
    std::vector<ObjPos> poses;
    DecodeBody(host.Sent().at(0).bytes, 2, poses);
    for (const ObjPos& pos : poses) {
        EXPECT_FALSE(pos.id == 5 && pos.kind == 0);
    }
    EXPECT_EQ(host.Sent().at(0).recipients, std::vector<uint32_t>{6});
}

TEST_F(UserNotify, LogoutOfAnUnknownIdChangesNothing)
{
    Enter(1);
    testing::internal::CaptureStdout();
    host.Logout(99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CSvrUserNotifyHandler::OnUserLogout\n");
    EXPECT_EQ(CUserManager::Instance().Count(), 1u);
    std::vector<ObjPos> poses;
    CSceneGrid::Instance().GetAllPoses(poses);
    EXPECT_EQ(poses, (std::vector<ObjPos>{{1, 0, 20, 20}}));
}

} // namespace
