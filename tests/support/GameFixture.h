// A started library on a fake host, for tests of the game and the tick.
#ifndef CORVANE_TESTS_GAMEFIXTURE_H
#define CORVANE_TESTS_GAMEFIXTURE_H

#include "archive/Archive.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

class GameFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(host.Start(&KVServerStart), 0); }

    // Logs a user in and enters the scene; returns the user's cell.
    void Enter(uint32_t userId)
    {
        host.Login(userId);
        ASSERT_TRUE(host.Deliver(userId, Message(99, 1)));
    }
    bool MoveTo(uint32_t userId, int16_t x, int16_t y)
    {
        std::string body;
        COutArchive ar(body);
        ar << Pos{x, y};
        return host.Deliver(userId, Message(99, 2, std::vector<uint8_t>(body.begin(), body.end())));
    }
    bool Attack(uint32_t userId, uint32_t toID, uint8_t playerType, int32_t attackType)
    {
        std::string body;
        COutArchive ar(body);
        ar << toID << playerType << attackType;
        return host.Deliver(userId, Message(99, 3, std::vector<uint8_t>(body.begin(), body.end())));
    }

    CFakeHost host;
};

// Decodes a server message's body after checking its frame.
template <class... T>
void DecodeBody(const std::string& bytes, uint16_t cmd2, T&... fields)
{
    CInArchive ar(bytes.data(), static_cast<int32_t>(bytes.size()));
    uint16_t cmd1 = 0;
    uint16_t number = 0;
    ar >> cmd1 >> number;
    ASSERT_EQ(cmd1, 99);
    ASSERT_EQ(number, cmd2);
    (ar >> ... >> fields);
}

#endif
