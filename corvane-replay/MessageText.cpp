#include "MessageText.h"

#include "easydemo/EasyDemo.h"
#include "game/HostProtocol.h"

#include <cstdio>
#include <stdexcept>

namespace {

// Reads little-endian fields in order; throws when the body ends first.
class CFieldReader {
public:
    explicit CFieldReader(std::string_view bytes) : m_bytes(bytes) {}

    uint64_t Unsigned(std::size_t width)
    {
        if (m_bytes.size() - m_pos < width) {
            throw std::out_of_range("short");
        }
        uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= uint64_t{static_cast<uint8_t>(m_bytes[m_pos + i])} << (8 * i);
        }
        m_pos += width;
        return value;
    }
    int64_t Signed(std::size_t width)
    {
        const uint64_t raw = Unsigned(width);
        const uint64_t sign = uint64_t{1} << (8 * width - 1);
        return static_cast<int64_t>(raw ^ sign) - static_cast<int64_t>(sign);
    }
    std::string_view Take(std::size_t n)
    {
        if (m_bytes.size() - m_pos < n) {
            throw std::out_of_range("short");
        }
        const std::string_view out = m_bytes.substr(m_pos, n);
        m_pos += n;
        return out;
    }
    std::size_t Left() const { return m_bytes.size() - m_pos; }

private:
    std::string_view m_bytes;
    std::size_t m_pos = 0;
};

std::string Field(const char* name, int64_t value) { return std::string("  ") + name + " " + std::to_string(value); }

std::string ObjPosText(CFieldReader& in)
{
    const auto id = in.Unsigned(4);
    const auto kind = in.Unsigned(1);
    const auto x = in.Signed(2);
    const auto y = in.Signed(2);
    return "id " + std::to_string(id) + " kind " + std::to_string(kind) + " x " + std::to_string(x) + " y " +
           std::to_string(y);
}

std::string AttackResultText(CFieldReader& in)
{
    const auto id = in.Unsigned(4);
    const auto kind = in.Unsigned(1);
    const auto reserved = in.Unsigned(1);
    const auto hp = in.Signed(2);
    return "id " + std::to_string(id) + " kind " + std::to_string(kind) + " reserved " + std::to_string(reserved) +
           " hp " + std::to_string(hp);
}

std::string ObjInfoText(CFieldReader& in)
{
    std::string out = "id " + std::to_string(in.Unsigned(4));
    out += " kind " + std::to_string(in.Unsigned(1));
    for (const char* name : {"attr1", "hp", "attr2", "attr3", "range"}) {
        out += std::string(" ") + name + " " + std::to_string(in.Signed(2));
    }
    return out;
}

template <class Entry>
void List(std::vector<std::string>& out, CFieldReader& in, const char* name, Entry entry)
{
    const auto count = in.Unsigned(1);
    out.push_back(std::string("  ") + name + ": " + std::to_string(count) + " entries");
    for (uint64_t i = 0; i < count; ++i) {
        out.push_back("    [" + std::to_string(i) + "] " + entry(in));
    }
}

void DescribeEasyDemo(std::vector<std::string>& out, uint16_t msg, CFieldReader& in)
{
    switch (msg) {
    case EasyDemo::kEnterSceneAck:
        out.push_back("EnterSceneAck");
        out.push_back(Field("code", in.Signed(4)));
        out.push_back(Field("pos.x", in.Signed(2)));
        out.push_back(Field("pos.y", in.Signed(2)));
        return;
    case EasyDemo::kPoseList:
        out.push_back("PoseList");
        List(out, in, "poses", ObjPosText);
        return;
    case EasyDemo::kAttackNotify:
        out.push_back("AttackNotify");
        out.push_back(Field("attacker id", static_cast<int64_t>(in.Unsigned(4))));
        out.push_back(Field("attacker kind", static_cast<int64_t>(in.Unsigned(1))));
        out.push_back(Field("attackType", in.Signed(4)));
        List(out, in, "result", AttackResultText);
        return;
    case EasyDemo::kObjInfoList:
        out.push_back("ObjInfoList");
        List(out, in, "infos", ObjInfoText);
        return;
    case EasyDemo::kTalkNotify: {
        out.push_back("TalkNotify");
        out.push_back(Field("id", in.Signed(4)));
        const auto length = in.Unsigned(1);
        out.push_back("  msg \"" + std::string(in.Take(length)) + "\"");
        return;
    }
    default:
        throw std::out_of_range("unknown message");
    }
}

void DescribeHost(std::vector<std::string>& out, uint16_t msg, CFieldReader& in)
{
    switch (msg) {
    case kMsgLoginAck:
        out.push_back("LoginAck");
        out.push_back(Field("code", in.Signed(4)));
        out.push_back(Field("userId", static_cast<int64_t>(in.Unsigned(4))));
        return;
    case kMsgPong:
        out.push_back("Pong");
        out.push_back("  body " + HexBytes(in.Take(in.Left())));
        return;
    default:
        throw std::out_of_range("unknown message");
    }
}

} // namespace

std::string HexBytes(std::string_view bytes, std::size_t limit)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(static_cast<uint8_t>(bytes[i])));
        if (i != 0) {
            out += ' ';
        }
        out += hex;
    }
    if (bytes.size() > limit) {
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

std::string JoinIds(const std::vector<uint32_t>& ids)
{
    std::string out = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        out += (i == 0 ? "" : ", ") + std::to_string(ids[i]);
    }
    return out + "]";
}

std::vector<std::string> DescribeMessage(std::string_view bytes)
{
    std::vector<std::string> out;
    CFieldReader in(bytes);
    try {
        const auto moduleId = static_cast<uint16_t>(in.Unsigned(2));
        const auto msg = static_cast<uint16_t>(in.Unsigned(2));
        const std::string frame = " (module " + std::to_string(moduleId) + ", message " + std::to_string(msg) + ", " +
                                  std::to_string(bytes.size()) + " bytes)";
        if (moduleId == EasyDemo::kModuleId) {
            DescribeEasyDemo(out, msg, in);
        } else if (moduleId == kHostModuleId) {
            DescribeHost(out, msg, in);
        } else {
            throw std::out_of_range("unknown module");
        }
        out.front() += frame;
        if (in.Left() != 0) {
            out.push_back("  trailing bytes " + HexBytes(in.Take(in.Left())));
        }
    } catch (const std::out_of_range&) {
        out.assign(1, std::to_string(bytes.size()) + " bytes: " + HexBytes(bytes, 256));
    }
    return out;
}
