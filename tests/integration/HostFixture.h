// A test with its own corvane-host process and helpers to talk to it.
// Helpers throw std::runtime_error when the host does not behave, which
// fails the test with that message.
#ifndef CORVANE_TESTS_INTEGRATION_HOSTFIXTURE_H
#define CORVANE_TESTS_INTEGRATION_HOSTFIXTURE_H

#include "GameClient.h"
#include "HostProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace CorvaneClient;

class CHostFixture : public ::testing::Test {
protected:
    // A failed test shows what the host wrote.
    void TearDown() override;

    void StartHost(const std::vector<std::string>& extraArgs = {}, int stdoutFd = -1)
    {
        m_host.Start(extraArgs, stdoutFd);
    }

    std::unique_ptr<CGameClient> Connect(int receiveBuffer = 0);
    // Connected and logged in (LoginAck code 0).
    std::unique_ptr<CGameClient> LogIn(const std::string& token = "");
    // Logged in and entered the scene (EnterSceneAck received).
    std::unique_ptr<CGameClient> EnterScene(const std::string& token = "");

    CHttpReply Get(const std::string& target) { return HttpGet("127.0.0.1", m_host.Port(), target); }
    // The value of one series of /metrics, e.g. `corvane_users_online` or
    // `corvane_logins_total{result="ok"}`; nothing if it is missing.
    std::optional<double> Metric(const std::string& series);
    // Polls /metrics until the series has the value; the host updates it
    // a moment after the client has seen its own side.
    bool WaitMetric(const std::string& series, double value, std::chrono::milliseconds timeout = 5s);

    CHostProcess m_host;
};

// The next PoseList, ObjInfoList, ... of EasyDemo, decoded.
std::vector<ObjPos> NextPoseList(CGameClient& client, std::chrono::milliseconds timeout = 3s);
std::vector<ObjInfo> NextObjInfoList(CGameClient& client, std::chrono::milliseconds timeout = 3s);

// Moves to `to` and waits for the PoseList that shows the move; returns the
// round trip in seconds. Throws when none arrives in time.
double MoveRoundTrip(CGameClient& client, Pos to, std::chrono::milliseconds timeout = 5s);

// The median and the largest of `samples`, which must not be empty.
double Median(std::vector<double> samples);
double Largest(const std::vector<double>& samples);

const ObjPos* FindPose(const std::vector<ObjPos>& poses, uint32_t id, uint8_t kind);
int CountKind(const std::vector<ObjPos>& poses, uint8_t kind);

#endif
