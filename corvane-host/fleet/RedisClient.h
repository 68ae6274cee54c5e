// One blocking connection to Redis over Debian's libhiredis, with connect
// and command timeouts. Used only from the fleet's own thread.
#ifndef CORVANE_HOST_REDISCLIENT_H
#define CORVANE_HOST_REDISCLIENT_H

#include "fleet/FleetOptions.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct redisContext;

// The connection failed (refused, timed out, closed); it is unusable now.
class CRedisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A reply, converted out of hiredis's structure.
struct CRedisReply {
    enum class EType { Nil, Integer, String, Array, Status, Error };
    EType type = EType::Nil;
    long long integer = 0;
    std::string text; // String, Status and Error
    std::vector<CRedisReply> elements;

    bool IsError() const { return type == EType::Error; }
};

class CRedisClient {
public:
    // Connects, authenticates and selects the database. Throws CRedisError.
    CRedisClient(const CRedisAddress& address, std::chrono::milliseconds connectTimeout,
                 std::chrono::milliseconds commandTimeout);
    ~CRedisClient();

    CRedisClient(const CRedisClient&) = delete;
    CRedisClient& operator=(const CRedisClient&) = delete;

    // Sends one command and waits for its reply. An error reply is returned
    // as such; a broken connection throws CRedisError.
    CRedisReply Command(const std::vector<std::string>& args);
    // Sends every command, then reads their replies in order: one round
    // trip for all. Throws CRedisError like Command.
    std::vector<CRedisReply> Pipeline(const std::vector<std::vector<std::string>>& commands);

private:
    // Queues one command; sends nothing until a reply is read.
    void Append(const std::vector<std::string>& args);
    // Sends what is queued if need be, then reads the next reply.
    CRedisReply Receive();
    CRedisError Failure() const;

    redisContext* m_context = nullptr;
};

#endif
