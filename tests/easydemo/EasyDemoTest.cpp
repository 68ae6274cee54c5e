#include "support/FakeHost.h"
#include "support/RecordingDemo.h"

#include <gtest/gtest.h>

namespace {

TEST(EasyDemoProtocol, DecodesEachCommand)
{
    struct Case {
        uint16_t cmd;
        std::vector<uint8_t> body;
        bool result;
        const char* call;
    };
    const Case cases[] = {
        {1, {}, true, "enter"},
        {1, std::vector<uint8_t>(10, 0xFF), true, "enter"},
        {2, Bytes({5, 0, 7, 0}), true, "move 5 7"},
        {2, Bytes({5, 0, 7, 0, 1, 1}), true, "move 5 7"},
        {2, Bytes({0xFF, 0xFF, 0x2C, 0x01}), true, "move -1 300"},
        {2, Bytes({5, 0, 7}), false, ""},
        {2, {}, false, ""},
        {3, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), true, "attack 67305985 5 151521030"},
        {3, Bytes({7, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), true, "attack 7 0 -1"},
        {3, Bytes({1, 2, 3, 4, 5, 6, 7, 8}), false, ""},
        {4, Bytes({0}), true, "talk ''"},
        {4, Bytes({2, 'h', 'i'}), true, "talk 'hi'"},
        {4, Bytes({3, 0x41, 0x42}), false, ""},
        {4, {}, false, ""},
        {5, {}, false, ""},
        {0, {}, false, ""},
        {65535, {}, false, ""},
    };
    for (const Case& c : cases) {
        CRecordingDemo demo;
        const std::vector<uint8_t> msg = Message(EasyDemo::kModuleId, c.cmd, c.body);
        EXPECT_EQ(demo.OnRecv(msg.data(), static_cast<int32_t>(msg.size())), c.result) << "cmd " << c.cmd;
        const std::vector<std::string> expected = *c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{};
        EXPECT_EQ(demo.calls, expected) << "cmd " << c.cmd;
    }
}

TEST(EasyDemoProtocol, TheExampleMoveMessage)
{
    CRecordingDemo demo;
    const std::vector<uint8_t> msg = Bytes({0x63, 0x00, 0x02, 0x00, 0x05, 0x00, 0x07, 0x00});
    EXPECT_TRUE(demo.OnRecv(msg.data(), 8));
    EXPECT_EQ(demo.calls, std::vector<std::string>{"move 5 7"});
}

TEST(EasyDemoProtocol, ThrowingCallbackReportsFalse)
{
    CRecordingDemo demo;
    demo.throwOnTalk = true;
    const std::vector<uint8_t> msg = Message(EasyDemo::kModuleId, 4, Bytes({0}));
    bool result = true;
    EXPECT_NO_THROW(result = demo.OnRecv(msg.data(), static_cast<int32_t>(msg.size())));
    EXPECT_FALSE(result);
}

TEST(EasyDemoProtocol, FramesEachServerMessage)
{
    CRecordingDemo demo;
    EXPECT_EQ(demo.GetModuleId(), 99);
    struct Case {
        const char* name;
        std::string bytes;
        const char* hex;
    };
    const Case cases[] = {
        {"EnterSceneAck", demo.Pack_EnterSceneAck(0, Pos{20, 20}), "63 00 01 00 00 00 00 00 14 00 14 00"},
        {"empty PoseList", demo.Pack_PoseList({}), "63 00 02 00 00"},
        {"PoseList", demo.Pack_PoseList({{7, 1, 3, 4}}), "63 00 02 00 01 07 00 00 00 01 03 00 04 00"},
        {"AttackNotify", demo.Pack_AttackNotify(1, 0, 1, {{2, 0, 0, 90}}),
         "63 00 03 00 01 00 00 00 00 01 00 00 00 01 02 00 00 00 00 00 5A 00"},
        {"ObjInfoList", demo.Pack_ObjInfoList({{3, 1, 5, 100, 10, 10, 8}}),
         "63 00 04 00 01 03 00 00 00 01 05 00 64 00 0A 00 0A 00 08 00"},
        {"TalkNotify", demo.Pack_TalkNotify(-1, {'o', 'k'}), "63 00 05 00 FF FF FF FF 02 6F 6B"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(c.bytes), c.hex) << c.name;
    }
}

TEST(EasyDemoProtocol, SendsGoThroughTheSenderOnlyWhenSet)
{
    CRecordingDemo demo;
    CFakeHost host;
    demo.Send_EnterSceneAck(0, Pos{1, 2});
    demo.Send_PoseList({});
    demo.Send_AttackNotify(1, 0, 0, {});
    demo.Send_ObjInfoList({});
    demo.Send_TalkNotify(1, {});
    demo.SetSender(&host);
    demo.Send_EnterSceneAck(0, Pos{1, 2});
    demo.Send_PoseList({});
    demo.Send_AttackNotify(1, 0, 0, {});
    demo.Send_ObjInfoList({});
    demo.Send_TalkNotify(1, {});
    std::vector<std::string> heads;
    for (const SSent& sent : host.Sent()) {
        heads.push_back(Hex(sent.bytes.substr(0, 4)));
    }
    EXPECT_EQ(heads, (std::vector<std::string>{"63 00 01 00", "63 00 02 00", "63 00 03 00", "63 00 04 00",
                                               "63 00 05 00"}));
}

TEST(EasyDemoProtocol, PoseListLimit)
{
    CRecordingDemo demo;
    CFakeHost host;
    demo.SetSender(&host);
    demo.Send_PoseList(std::vector<ObjPos>(255));
    ASSERT_EQ(host.Sent().size(), 1u);
    EXPECT_EQ(host.Sent()[0].bytes.size(), 2300u);
    EXPECT_THROW(demo.Send_PoseList(std::vector<ObjPos>(256)), CArchiveException);
    EXPECT_EQ(host.Sent().size(), 1u) << "an oversized list sends nothing";
}

} // namespace
