// The base of every protocol module: the module id, the host's sender, and
// the framing of outgoing messages.
#ifndef CORVANE_ARCHIVE_MODULE_H
#define CORVANE_ARCHIVE_MODULE_H

#include "archive/Archive.h"

#include <corvane/KVServerApi.h>

#include <cstdint>
#include <string>

inline constexpr int32_t kModuleHeaderSize = 4;

// The header in front of every client message.
struct SModuleHeader {
    uint16_t moduleId;
    uint16_t cmd;
};

// Reads the header byte-wise; false when the message is shorter than it.
inline bool ReadModuleHeader(const uint8_t* data, int32_t length, SModuleHeader& header)
{
    if (data == nullptr || length < kModuleHeaderSize) {
        return false;
    }
    header.moduleId = archive_detail::LoadLE<uint16_t>(data);
    header.cmd = archive_detail::LoadLE<uint16_t>(data + 2);
    return true;
}

class CModule : public IModule {
public:
    CModule() = default;
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    IMessageSender* SetSender(IMessageSender* sender) override
    {
        IMessageSender* previous = m_sender;
        m_sender = sender;
        return previous;
    }
    uint16_t GetModuleId() override { return m_moduleId; }

    // Reserved for the host's use; nothing here reads it.
    uint32_t SetUserValue(uint32_t value)
    {
        const uint32_t previous = m_userValue;
        m_userValue = value;
        return previous;
    }

protected:
    ~CModule() = default;

    // Starts a server message: the module id and the message number.
    COutArchive& BeginFrame(COutArchive& ar, uint16_t cmd2) const { return ar << m_moduleId << cmd2; }

    // Hands a framed message to the sender; nothing without one.
    void SendPkg(const std::string& sendPkg) const
    {
        if (m_sender != nullptr) {
            m_sender->Send(sendPkg.data(), static_cast<uint32_t>(sendPkg.size()));
        }
    }

    IMessageSender* Sender() const { return m_sender; }

    // Routes a client message to the handler its command number selects.
    // Table entries are indexed from command 1; a command of 0, above the
    // table, or without an entry is not dispatched.
    template <class TModule, std::size_t N>
    static bool Dispatch(TModule& module, bool (TModule::*const (&table)[N])(const uint8_t*, int32_t),
                         const uint8_t* data, int32_t length)
    {
        SModuleHeader header{};
        if (!ReadModuleHeader(data, length, header)) {
            return false;
        }
        if (header.cmd == 0 || header.cmd > N) {
            return false;
        }
        const auto handler = table[header.cmd - 1];
        if (handler == nullptr) {
            return false;
        }
        return (module.*handler)(data + kModuleHeaderSize, length - kModuleHeaderSize);
    }

    uint16_t m_moduleId = 0;

private:
    IMessageSender* m_sender = nullptr;
    uint32_t m_userValue = 0;
};

#endif
