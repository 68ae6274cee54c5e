// The wire examples that the browser client's tests use too: the library
// must produce and accept exactly these bytes.
#include "support/FakeHost.h"
#include "support/RecordingDemo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace {

std::map<std::string, std::string> LoadVectors()
{
    std::ifstream in(CORVANE_VECTORS_PATH);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    const std::regex entry(R"re("name": "([^"]+)".*?"hex": "([0-9a-f]*)")re");
    std::map<std::string, std::string> vectors;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), entry); it != std::sregex_iterator(); ++it) {
        std::string bytes;
        const std::string hex = (*it)[2];
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        vectors[(*it)[1]] = bytes;
    }
    return vectors;
}

class WireVectors : public ::testing::Test {
protected:
    const std::string& At(const std::string& name)
    {
        EXPECT_TRUE(vectors.count(name)) << name;
        return vectors[name];
    }
    std::map<std::string, std::string> vectors = LoadVectors();
    CRecordingDemo demo;
};

TEST_F(WireVectors, ServerMessagesAreProducedByteForByte)
{
    EXPECT_EQ(demo.Pack_EnterSceneAck(0, Pos{20, 20}), At("EnterSceneAck.at_20_20"));
    EXPECT_EQ(demo.Pack_PoseList({}), At("PoseList.empty"));
    EXPECT_EQ(demo.Pack_PoseList({{7, 1, 3, 4}}), At("PoseList.one_object"));
    EXPECT_EQ(demo.Pack_PoseList({{1, 1, 1, 0}, {2, 0, 20, 20}}), At("PoseList.user_and_object"));
    EXPECT_EQ(demo.Pack_AttackNotify(1, 0, 0, {{2, 0, 0, 90}}), At("AttackNotify.single"));
    EXPECT_EQ(demo.Pack_AttackNotify(2, 0, 1, {}), At("AttackNotify.area_no_hits"));
    EXPECT_EQ(demo.Pack_TalkNotify(3, {'h', 'i'}), At("TalkNotify.hi"));
    EXPECT_EQ(demo.Pack_ObjInfoList({{1, 0, 5, 100, 10, 10, 8}, {7, 1, 5, 0, 10, 10, 8}}),
              At("ObjInfoList.user_and_object"));
}

TEST_F(WireVectors, ClientMessagesAreDecoded)
{
    for (const char* name : {"EnterScene", "MoveTo.5_7", "Attack.single_object7", "Attack.area"}) {
        const std::string& msg = At(name);
        EXPECT_TRUE(demo.OnRecv(reinterpret_cast<const uint8_t*>(msg.data()), static_cast<int32_t>(msg.size())))
            << name;
    }
    EXPECT_EQ(demo.calls, (std::vector<std::string>{"enter", "move 5 7", "attack 7 1 0", "attack 4 0 1"}));
}

TEST_F(WireVectors, MalformedServerMessagesFailToDecode)
{
    auto decodes = [](const std::string& bytes, auto... fields) {
        CInArchive ar(bytes.data(), static_cast<int32_t>(bytes.size()));
        uint16_t cmd1 = 0;
        uint16_t cmd2 = 0;
        try {
            ar >> cmd1 >> cmd2;
            ((ar >> fields), ...);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    };
    EXPECT_FALSE(decodes(At("malformed.frame_two_bytes")));
    EXPECT_FALSE(decodes(At("malformed.EnterSceneAck_no_y"), int32_t{}, Pos{}));
    EXPECT_FALSE(decodes(At("malformed.PoseList_count_beyond_data"), std::vector<ObjPos>{}));
    EXPECT_FALSE(decodes(At("malformed.PoseList_no_count"), std::vector<ObjPos>{}));
    EXPECT_FALSE(decodes(At("malformed.AttackNotify_short_result"), uint32_t{}, uint8_t{}, int32_t{},
                         std::vector<AttackResult>{}));
    EXPECT_FALSE(decodes(At("malformed.ObjInfoList_count_no_records"), std::vector<ObjInfo>{}));
    EXPECT_FALSE(decodes(At("malformed.TalkNotify_count_beyond_data"), int32_t{}, vecChar{}));
    EXPECT_TRUE(decodes(At("EnterSceneAck.at_20_20"), int32_t{}, Pos{}));
}

} // namespace
