// CFleet where the host is built without a Redis client (Windows): a host
// asked to join a fleet stops at start-up with one line, and nothing else
// of the fleet is ever reached.
#include "fleet/Fleet.h"

#include "ops/StartupError.h"

struct CFleet::CImpl {};

CFleet::CFleet(boost::asio::io_context&, CFleetSettings, std::function<std::size_t()>)
{
    throw CStartupError("--redis: this build of corvane-host has no fleet support (no Redis client on Windows); "
                        "run the fleet's hosts on Linux");
}

CFleet::~CFleet() = default;

void CFleet::Start() {}
void CFleet::Stop() {}
void CFleet::Drain() {}
void CFleet::Join() {}
void CFleet::Matchmake(std::string_view, const boost::asio::ip::address&, std::function<void(CFleetReply)>) {}
void CFleet::ListWorlds(const boost::asio::ip::address&, std::function<void(CFleetReply)>) {}
void CFleet::ConsumeSeat(std::string_view, std::function<void(bool)> done) { done(false); }
bool CFleet::HoldsName() const { return false; }
std::string CFleet::RenderMetrics() const { return {}; }
