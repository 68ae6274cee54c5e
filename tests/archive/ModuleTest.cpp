#include "archive/Module.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

namespace {

// A module with three commands, the second without a handler.
class CProbeModule final : public CModule {
public:
    CProbeModule() { m_moduleId = 7; }

    bool OnRecv(const uint8_t* data, int32_t length) override { return Dispatch(*this, s_table, data, length); }

    bool _DoRecv_One(const uint8_t*, int32_t length)
    {
        calls.push_back("one " + std::to_string(length));
        return true;
    }
    bool _DoRecv_Three(const uint8_t* data, int32_t length)
    {
        calls.push_back("three " + std::to_string(length) + " " + std::to_string(length > 0 ? data[0] : -1));
        return false;
    }

    void SendRaw(uint16_t cmd2)
    {
        std::string sendPkg;
        COutArchive ar(sendPkg);
        BeginFrame(ar, cmd2) << uint8_t{0xAB};
        SendPkg(sendPkg);
    }

    std::vector<std::string> calls;

private:
    using Handler = bool (CProbeModule::*)(const uint8_t*, int32_t);
    static const Handler s_table[3];
};

const CProbeModule::Handler CProbeModule::s_table[3] = {&CProbeModule::_DoRecv_One, nullptr,
                                                        &CProbeModule::_DoRecv_Three};

TEST(ModuleDispatch, RoutesByCommandNumberOnly)
{
    struct Case {
        std::vector<uint8_t> msg;
        int32_t length; // -1: the message's own size
        bool result;
        const char* call; // "" when no handler may run
    };
    const Case cases[] = {
        {Message(7, 1), -1, true, "one 0"},
        {Message(501, 1, Bytes({1, 2})), -1, true, "one 2"}, // module id is not checked
        {Message(7, 3, Bytes({9})), -1, false, "three 1 9"}, // handler's result passes through
        {Message(7, 0), -1, false, ""},
        {Message(7, 2), -1, false, ""}, // empty table entry
        {Message(7, 4), -1, false, ""},
        {Message(7, 65535), -1, false, ""},
        {Bytes({7, 0, 1}), -1, false, ""}, // shorter than the header
        {Bytes({}), -1, false, ""},
        {Message(7, 1), -5, false, ""},
        {Message(7, 1, Bytes({1, 2, 3})), 4, true, "one 0"}, // the host's length rules
    };
    for (const Case& c : cases) {
        CProbeModule module;
        const int32_t length = c.length == -1 ? static_cast<int32_t>(c.msg.size()) : c.length;
        EXPECT_EQ(module.OnRecv(c.msg.data(), length), c.result) << Hex(std::string(c.msg.begin(), c.msg.end()));
        const std::vector<std::string> expected = *c.call ? std::vector<std::string>{c.call} : std::vector<std::string>{};
        EXPECT_EQ(module.calls, expected);
    }
    CProbeModule module;
    EXPECT_FALSE(module.OnRecv(nullptr, 8));
}

TEST(ModuleDispatch, ReadsAnUnalignedHeader)
{
    std::vector<uint8_t> buffer = {0xEE};
    const std::vector<uint8_t> msg = Message(7, 3, Bytes({5}));
    buffer.insert(buffer.end(), msg.begin(), msg.end());
    CProbeModule module;
    module.OnRecv(buffer.data() + 1, static_cast<int32_t>(msg.size()));
    EXPECT_EQ(module.calls, std::vector<std::string>{"three 1 5"});
}

TEST(ModuleSender, SetSenderAndFraming)
{
    CProbeModule module;
    CFakeHost host;
    CFakeHost other;
    EXPECT_EQ(module.GetModuleId(), 7);
    module.SendRaw(2); // no sender yet: nothing happens
    EXPECT_EQ(module.SetSender(&host), nullptr);
    module.SendRaw(2);
    EXPECT_EQ(module.SetSender(&other), &host);
    EXPECT_EQ(module.SetSender(nullptr), &other);
    module.SendRaw(3);
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0].bytes), "07 00 02 00 AB");
    EXPECT_TRUE(other.Sent().empty());
    EXPECT_EQ(module.SetUserValue(5), 0u);
    EXPECT_EQ(module.SetUserValue(6), 5u);
}

} // namespace
