#include "fleet/RedisClient.h"

#include <hiredis/hiredis.h>

#include <memory>

namespace {

timeval ToTimeval(std::chrono::milliseconds ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ms.count() / 1000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((ms.count() % 1000) * 1000);
    return tv;
}

CRedisReply Convert(const redisReply& reply)
{
    CRedisReply out;
    switch (reply.type) {
    case REDIS_REPLY_INTEGER:
        out.type = CRedisReply::EType::Integer;
        out.integer = reply.integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        out.type = reply.type == REDIS_REPLY_STRING   ? CRedisReply::EType::String
                   : reply.type == REDIS_REPLY_STATUS ? CRedisReply::EType::Status
                                                      : CRedisReply::EType::Error;
        out.text.assign(reply.str, reply.len);
        break;
    case REDIS_REPLY_ARRAY:
        out.type = CRedisReply::EType::Array;
        out.elements.reserve(reply.elements);
        for (std::size_t i = 0; i < reply.elements; ++i) {
            out.elements.push_back(Convert(*reply.element[i]));
        }
        break;
    default:
        break;
    }
    return out;
}

} // namespace

CRedisClient::CRedisClient(const CRedisAddress& address, std::chrono::milliseconds connectTimeout,
                           std::chrono::milliseconds commandTimeout)
{
    m_context = redisConnectWithTimeout(address.host.c_str(), address.port, ToTimeval(connectTimeout));
    if (m_context == nullptr) {
        throw CRedisError("out of memory");
    }
    if (m_context->err != 0) {
        const std::string why = m_context->errstr;
        redisFree(m_context);
        m_context = nullptr;
        throw CRedisError(why);
    }
    redisSetTimeout(m_context, ToTimeval(commandTimeout));
    redisEnableKeepAlive(m_context);

    const auto expectOk = [this](const std::vector<std::string>& args) {
        const CRedisReply reply = Command(args);
        if (reply.IsError()) {
            throw CRedisError(args[0] + ": " + reply.text);
        }
    };
    try {
        if (!address.password.empty()) {
            if (address.user.empty()) {
                expectOk({"AUTH", address.password});
            } else {
                expectOk({"AUTH", address.user, address.password});
            }
        }
        if (address.db != 0) {
            expectOk({"SELECT", std::to_string(address.db)});
        }
    } catch (...) {
        redisFree(m_context);
        m_context = nullptr;
        throw;
    }
}

CRedisClient::~CRedisClient()
{
    if (m_context != nullptr) {
        redisFree(m_context);
    }
}

CRedisReply CRedisClient::Command(const std::vector<std::string>& args)
{
    Append(args);
    return Receive();
}

std::vector<CRedisReply> CRedisClient::Pipeline(const std::vector<std::vector<std::string>>& commands)
{
    for (const std::vector<std::string>& args : commands) {
        Append(args);
    }
    std::vector<CRedisReply> replies;
    replies.reserve(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        replies.push_back(Receive());
    }
    return replies;
}

void CRedisClient::Append(const std::vector<std::string>& args)
{
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(args.size());
    lengths.reserve(args.size());
    for (const std::string& arg : args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    if (redisAppendCommandArgv(m_context, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
        throw Failure();
    }
}

CRedisReply CRedisClient::Receive()
{
    void* raw = nullptr;
    const int status = redisGetReply(m_context, &raw);
    const std::unique_ptr<redisReply, void (*)(void*)> reply(static_cast<redisReply*>(raw), freeReplyObject);
    if (status != REDIS_OK || !reply) {
        throw Failure();
    }
    return Convert(*reply);
}

CRedisError CRedisClient::Failure() const
{
    return CRedisError(m_context->errstr[0] != '\0' ? m_context->errstr : "connection lost");
}
