// The fleet's HTTP routes, answered asynchronously by CFleet:
// POST /matchmake and GET /worlds; CFleetGate offers them and the seat check
// to the sessions.
#ifndef CORVANE_HOST_FLEETROUTES_H
#define CORVANE_HOST_FLEETROUTES_H

#include "fleet/Fleet.h"
#include "net/FleetGate.h"
#include "net/HttpRouter.h"

enum class EFleetRoute { None, Matchmake, Worlds, WrongMethod };

// Which fleet route a request is for; None for every other path.
EFleetRoute FleetRouteOf(const CHttpRequest& req);

// The HTTP response carrying a fleet answer (or 405 for WrongMethod).
CHttpResponse FleetResponse(const CHttpRequest& req, const CFleetReply& reply);
CHttpResponse FleetWrongMethod(const CHttpRequest& req);

class CFleetGate final : public IFleetGate {
public:
    explicit CFleetGate(CFleet& fleet) : m_fleet(fleet) {}

    void ConsumeSeat(std::string_view seat, std::function<void(bool)> done) override;
    bool Answer(const CHttpRequest& req, const boost::asio::ip::address& client,
                std::function<void(CHttpResponse)> send) override;

private:
    CFleet& m_fleet;
};

#endif
