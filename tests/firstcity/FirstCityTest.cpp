#include "firstcity/FirstCity.h"
#include "firstcity/FirstCityDrv.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// The protocol class with callbacks that record what they were given.
class CRecordingCity final : public FirstCity::CFirstCity {
public:
    void OnRecv_PreEnter() override { Note("pre-enter"); }
    void OnRecv_NotifyLeave(const uint32_t& type) override { Note("leave " + std::to_string(type)); }
    void OnRecv_InitPosition(const int16_t& x, const int16_t& y) override
    {
        Note("init " + std::to_string(x) + " " + std::to_string(y));
    }
    void OnRecv_MoveTo(const int16_t& x, const int16_t& y) override
    {
        Note("move " + std::to_string(x) + " " + std::to_string(y));
    }
    void OnRecv_SaveMyPos(const uint32_t& tokenData) override { Note("save " + std::to_string(tokenData)); }

    bool OnRecv(const std::vector<uint8_t>& msg)
    {
        return CFirstCity::OnRecv(msg.data(), static_cast<int32_t>(msg.size()));
    }

    bool throwInCallback = false;
    std::vector<std::string> calls;

private:
    void Note(std::string call)
    {
        if (throwInCallback) {
            throw std::runtime_error("callback failed");
        }
        calls.push_back(std::move(call));
    }
};

TEST(FirstCityProtocol, DecodesEachCommand)
{
    struct Case {
        uint16_t cmd;
        std::vector<uint8_t> body;
        bool result;
        const char* call;
    };
    const Case cases[] = {
        {1, {}, true, "pre-enter"},
        {1, Bytes({1, 2, 3}), true, "pre-enter"},
        {2, Bytes({1, 2, 3, 4}), true, "leave 67305985"},
        {2, Bytes({1, 2, 3}), false, ""},
        {2, {}, false, ""},
        {3, Bytes({0x0A, 0, 0xFF, 0xFF}), true, "init 10 -1"},
        {3, Bytes({0x0A, 0}), false, ""},
        {4, Bytes({0x0A, 0, 0xFF, 0xFF}), true, "move 10 -1"},
        {4, Bytes({0x0A, 0, 0xFF, 0xFF, 9, 9}), true, "move 10 -1"},
        {4, Bytes({0x0A, 0}), false, ""},
        {4, Bytes({0x0A, 0, 0xFF}), false, ""},
        {5, Bytes({0x78, 0x56, 0x34, 0x12}), true, "save 305419896"},
        {5, {}, false, ""},
        {0, {}, false, ""},
        {6, Bytes({0, 0, 0, 0}), false, ""},
        {65535, {}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cmd " << c.cmd << " body " << c.body.size() << " bytes");
        CRecordingCity city;
        EXPECT_EQ(city.OnRecv(Message(501, c.cmd, c.body)), c.result);
        if (c.result) {
            EXPECT_EQ(city.calls, std::vector<std::string>{c.call});
        } else {
            EXPECT_TRUE(city.calls.empty());
        }
    }
}

TEST(FirstCityProtocol, IgnoresTheHeadersModuleIdAndShortMessages)
{
    CRecordingCity city;
    EXPECT_TRUE(city.OnRecv(Message(99, 4, Bytes({3, 0, 4, 0}))));
    EXPECT_EQ(city.calls, std::vector<std::string>{"move 3 4"});

    city.calls.clear();
    EXPECT_FALSE(city.OnRecv(Bytes({0xF5, 0x01, 0x01})));
    EXPECT_FALSE(city.OnRecv({}));
    EXPECT_TRUE(city.calls.empty());
}

TEST(FirstCityProtocol, ContainsExceptionsFromCallbacks)
{
    const std::pair<uint16_t, const char*> handlers[] = {
        {1, "_DoRecv_PreEnter"}, {2, "_DoRecv_NotifyLeave"}, {3, "_DoRecv_InitPosition"},
        {4, "_DoRecv_MoveTo"},   {5, "_DoRecv_SaveMyPos"},
    };
    for (const auto& [cmd, name] : handlers) {
        CRecordingCity city;
        city.throwInCallback = true;
        testing::internal::CaptureStdout();
        bool result = true;
        EXPECT_NO_THROW(result = city.OnRecv(Message(501, cmd, Bytes({1, 0, 2, 0}))));
        EXPECT_FALSE(result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("Exception at: FirstCity::CFirstCity::") + name + "\n");
    }
}

TEST(FirstCityProtocol, FramesEachServerMessage)
{
    CRecordingCity city;
    EXPECT_EQ(Hex(city.Pack_MoveToAck(888, 999)), "F5 01 03 00 78 03 E7 03");
    EXPECT_EQ(Hex(city.Pack_MoveToAck(-1, 0)), "F5 01 03 00 FF FF 00 00");
    EXPECT_EQ(Hex(city.Pack_FirstResult(7)), "F5 01 01 00 07");
    EXPECT_EQ(Hex(city.Pack_PosList({})), "F5 01 02 00 00");
    EXPECT_EQ(Hex(city.Pack_PosList({PlayerPos{0x01020304, 2, -1}})),
              "F5 01 02 00 01 04 03 02 01 02 00 FF FF");
}

TEST(FirstCityProtocol, PosListIsLimitedTo255Entries)
{
    CRecordingCity city;
    CFakeHost host;
    city.SetSender(&host);

    const std::vector<PlayerPos> full(255);
    EXPECT_EQ(city.Pack_PosList(full).size(), 4u + 1u + 255u * 8u);

    const std::vector<PlayerPos> over(256);
    try {
        city.Send_PosList(over);
        ADD_FAILURE() << "no length error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), kLengthTooLongText);
    }
    EXPECT_TRUE(host.Sent().empty());
}

TEST(FirstCityProtocol, SendsWhatItPacksOnlyWithASender)
{
    CRecordingCity city;
    EXPECT_EQ(city.GetModuleId(), 501);
    city.Send_MoveToAck(1, 2);
    city.Send_FirstResult(1);
    city.Send_PosList(std::vector<PlayerPos>(256));

    CFakeHost host;
    EXPECT_EQ(city.SetSender(&host), nullptr);
    city.Send_MoveToAck(1, 2);
    city.Send_FirstResult(3);
    city.Send_PosList({PlayerPos{9, 8, 7}});
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, city.Pack_MoveToAck(1, 2));
    EXPECT_EQ(sent[1].bytes, city.Pack_FirstResult(3));
    EXPECT_EQ(sent[2].bytes, city.Pack_PosList({PlayerPos{9, 8, 7}}));

    EXPECT_EQ(city.SetSender(nullptr), &host);
    city.Send_MoveToAck(1, 2);
    EXPECT_EQ(host.Sent().size(), 3u);
}

// The driver, reached directly: the library never registers it.
class FirstCityDrv : public testing::Test {
protected:
    bool Deliver(uint16_t cmd, const std::vector<uint8_t>& body)
    {
        CFakeHost::SetCurrentUser(42);
        const std::vector<uint8_t> msg = Message(501, cmd, body);
        const bool ok = drv.OnRecv(msg.data(), static_cast<int32_t>(msg.size()));
        CFakeHost::SetCurrentUser(0);
        return ok;
    }

    CFirstCityDrv drv;
    CFakeHost host;
};

TEST_F(FirstCityDrv, AnswersEveryMoveWithTheFixedCell)
{
    drv.SetSender(&host);
    EXPECT_TRUE(Deliver(4, Bytes({3, 0, 4, 0})));
    EXPECT_TRUE(Deliver(4, Bytes({0xFB, 0xFF, 200, 0})));
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 2u);
    for (const SSent& s : sent) {
        EXPECT_EQ(Hex(s.bytes), "F5 01 03 00 78 03 E7 03");
        EXPECT_EQ(s.recipients, std::vector<uint32_t>{42});
    }
    EXPECT_FALSE(Deliver(4, Bytes({3, 0})));
    EXPECT_EQ(host.Sent().size(), 2u);
}

TEST_F(FirstCityDrv, OtherCommandsSendNothing)
{
    drv.SetSender(&host);
    EXPECT_TRUE(Deliver(1, {}));
    EXPECT_TRUE(Deliver(2, Bytes({1, 0, 0, 0})));
    EXPECT_TRUE(Deliver(3, Bytes({5, 0, 6, 0})));
    EXPECT_TRUE(Deliver(5, Bytes({1, 2, 3, 4})));
    EXPECT_TRUE(host.Sent().empty());
    EXPECT_TRUE(host.Calls().empty());
}

TEST_F(FirstCityDrv, MovesWithoutASenderSucceedQuietly)
{
    EXPECT_EQ(drv.GetModuleId(), 501);
    EXPECT_TRUE(Deliver(4, Bytes({3, 0, 4, 0})));
}

} // namespace
