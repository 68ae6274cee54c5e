// sdk_probe: a player for the SDK stage's shell script, which checks
// installed hosts and modules from outside.
//   sdk_probe healthz PORT                       GET /healthz answers 200
//   sdk_probe exchange PORT MODULE CMD BODY TEXT logs in, sends the message
//     (BODY: hex bytes, may be empty) and waits for a reply from MODULE
//     whose body contains TEXT
// Exit codes: 0 as expected, 1 not, 2 usage.
#include "GameClient.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

using namespace CorvaneClient;
using namespace std::chrono_literals;

namespace {

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    std::istringstream in(hex);
    unsigned byte = 0;
    while (in >> std::hex >> byte) {
        bytes += static_cast<char>(byte);
    }
    return bytes;
}

int Exchange(uint16_t port, uint16_t moduleId, uint16_t cmd, const std::string& body, const std::string& text)
{
    CGameClient client;
    client.Connect({.host = "127.0.0.1", .port = port});
    const CLoginAck ack = client.Login("");
    if (ack.code != 0) {
        std::fprintf(stderr, "sdk_probe: login refused with code %d\n", ack.code);
        return 1;
    }
    client.Send(moduleId, cmd, body);
    const auto reply = client.WaitUntil(
        [&](const CServerMessage& m) { return m.moduleId == moduleId && m.body.find(text) != std::string::npos; }, 5s);
    client.Close();
    if (!reply) {
        std::fprintf(stderr, "sdk_probe: no reply from module %u containing '%s'\n", moduleId, text.c_str());
        return 1;
    }
    std::printf("module %u message %u: %s\n", reply->moduleId, reply->cmd, reply->body.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "healthz" && argc == 3) {
            const CHttpReply reply = HttpGet("127.0.0.1", static_cast<uint16_t>(std::stoi(argv[2])), "/healthz", 5s);
            std::printf("/healthz: %d %s", reply.status, reply.body.c_str());
            return reply.status == 200 ? 0 : 1;
        }
        if (mode == "exchange" && argc == 7) {
            return Exchange(static_cast<uint16_t>(std::stoi(argv[2])), static_cast<uint16_t>(std::stoi(argv[3])),
                            static_cast<uint16_t>(std::stoi(argv[4])), FromHex(argv[5]), argv[6]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sdk_probe: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: sdk_probe healthz PORT | sdk_probe exchange PORT MODULE CMD BODY-HEX TEXT\n");
    return 2;
}
