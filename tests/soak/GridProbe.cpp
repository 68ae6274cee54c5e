// grid_probe: enters the scene of a running host as one more player and
// prints what the next tick shows: "server_objects N users M", the probe
// itself among the users. Used by scripts/soak after the load has left.
// Exit code 0, or 1 with one line when the host does not answer.
#include "GameClient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace CorvaneClient;
using namespace std::chrono_literals;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: grid_probe PORT\n");
        return 2;
    }
    try {
        CGameClient client;
        CConnectOptions options;
        options.port = static_cast<uint16_t>(std::atoi(argv[1]));
        client.Connect(options);
        if (client.Login("").code != kLoginOk || !client.Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene)
            || !client.WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 5s)) {
            std::fprintf(stderr, "grid_probe: could not enter the scene\n");
            return 1;
        }
        const auto poses = client.WaitFor(EasyDemo::kModuleId, EasyDemo::kPoseList, 5s);
        if (!poses) {
            std::fprintf(stderr, "grid_probe: no tick arrived\n");
            return 1;
        }
        const std::vector<ObjPos> list = DecodePoseList(poses->body);
        const auto users = std::count_if(list.begin(), list.end(), [](const ObjPos& p) { return p.kind == 0; });
        std::printf("server_objects %zu users %zu\n", list.size() - static_cast<std::size_t>(users),
                    static_cast<std::size_t>(users));
        client.Close();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "grid_probe: %s\n", e.what());
        return 1;
    }
}
