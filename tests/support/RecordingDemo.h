// The EasyDemo protocol class with callbacks that record what they were
// given, for tests of decoding and dispatch.
#ifndef CORVANE_TESTS_RECORDINGDEMO_H
#define CORVANE_TESTS_RECORDINGDEMO_H

#include "easydemo/EasyDemo.h"

#include <stdexcept>
#include <string>
#include <vector>

class CRecordingDemo final : public EasyDemo::CEasyDemo {
public:
    void OnRecv_EnterScene() override { calls.push_back("enter"); }
    void OnRecv_MoveTo(const Pos& pos) override
    {
        calls.push_back("move " + std::to_string(pos.x) + " " + std::to_string(pos.y));
    }
    void OnRecv_Attack(const uint32_t& toID, const uint8_t& playerType, const int32_t& attackType) override
    {
        calls.push_back("attack " + std::to_string(toID) + " " + std::to_string(playerType) + " "
                        + std::to_string(attackType));
    }
    void OnRecv_Talk(const vecChar& msg) override
    {
        if (throwOnTalk) {
            throw std::runtime_error("callback failed");
        }
        calls.push_back("talk '" + std::string(msg.begin(), msg.end()) + "'");
    }

    bool throwOnTalk = false;
    std::vector<std::string> calls;
};

#endif
