#include "HostFixture.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

void CHostFixture::TearDown()
{
    if (HasFailure()) {
        std::cerr << "---- corvane-host stderr:\n"
                  << m_host.Stderr() << "---- corvane-host stdout:\n"
                  << m_host.Stdout() << "----\n";
    }
}

std::unique_ptr<CGameClient> CHostFixture::Connect(int receiveBuffer)
{
    auto client = std::make_unique<CGameClient>();
    CConnectOptions options;
    options.port = m_host.Port();
    options.receiveBuffer = receiveBuffer;
    client->Connect(options);
    return client;
}

std::unique_ptr<CGameClient> CHostFixture::LogIn(const std::string& token)
{
    auto client = Connect();
    const CLoginAck ack = client->Login(token);
    if (ack.code != kLoginOk) {
        throw std::runtime_error("login refused with code " + std::to_string(ack.code));
    }
    return client;
}

std::unique_ptr<CGameClient> CHostFixture::EnterScene(const std::string& token)
{
    auto client = LogIn(token);
    if (!client->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene)) {
        throw std::runtime_error("cannot send EnterScene");
    }
    if (!client->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 3s)) {
        throw std::runtime_error("no EnterSceneAck");
    }
    return client;
}

std::optional<double> CHostFixture::Metric(const std::string& series)
{
    const CHttpReply reply = Get("/metrics");
    std::istringstream in(reply.body);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ') {
            return std::stod(line.substr(series.size() + 1));
        }
    }
    return std::nullopt;
}

bool CHostFixture::WaitMetric(const std::string& series, double value, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Metric(series) == value) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<ObjPos> NextPoseList(CGameClient& client, std::chrono::milliseconds timeout)
{
    const auto message = client.WaitFor(EasyDemo::kModuleId, EasyDemo::kPoseList, timeout);
    if (!message) {
        throw std::runtime_error("no PoseList arrived");
    }
    return DecodePoseList(message->body);
}

std::vector<ObjInfo> NextObjInfoList(CGameClient& client, std::chrono::milliseconds timeout)
{
    const auto message = client.WaitFor(EasyDemo::kModuleId, EasyDemo::kObjInfoList, timeout);
    if (!message) {
        throw std::runtime_error("no ObjInfoList arrived");
    }
    return DecodeObjInfoList(message->body);
}

double MoveRoundTrip(CGameClient& client, Pos to, std::chrono::milliseconds timeout)
{
    const auto start = std::chrono::steady_clock::now();
    if (!client.Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, EncodeMoveTo(to))) {
        throw std::runtime_error("cannot send MoveTo");
    }
    const uint32_t me = client.UserId();
    const auto shows = [&](const CServerMessage& m) {
        if (m.moduleId != EasyDemo::kModuleId || m.cmd != EasyDemo::kPoseList) {
            return false;
        }
        const std::vector<ObjPos> poses = DecodePoseList(m.body);
        const ObjPos* mine = FindPose(poses, me, 0);
        return mine != nullptr && mine->x == to.x && mine->y == to.y;
    };
    if (!client.WaitUntil(shows, timeout)) {
        throw std::runtime_error("the move was not answered in time");
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> samples)
{
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

double Largest(const std::vector<double>& samples) { return *std::max_element(samples.begin(), samples.end()); }

const ObjPos* FindPose(const std::vector<ObjPos>& poses, uint32_t id, uint8_t kind)
{
    const auto it =
        std::find_if(poses.begin(), poses.end(), [&](const ObjPos& p) { return p.id == id && p.kind == kind; });
    return it == poses.end() ? nullptr : &*it;
}

int CountKind(const std::vector<ObjPos>& poses, uint8_t kind)
{
    return static_cast<int>(std::count_if(poses.begin(), poses.end(), [&](const ObjPos& p) { return p.kind == kind; }));
}
