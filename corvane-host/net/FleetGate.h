// What the sessions ask of a fleet of worlds when the host is part of one:
// the seat a login uses up, and the fleet's own HTTP routes. Declared on the
// network's side so that the network knows no fleet; fleet/FleetRoutes.h
// implements it. Called on the event loop thread, which the answers come
// back on too.
#ifndef CORVANE_HOST_FLEETGATE_H
#define CORVANE_HOST_FLEETGATE_H

#include "net/HttpRouter.h"

#include <boost/asio/ip/address.hpp>

#include <functional>
#include <string_view>

class IFleetGate {
public:
    // Uses up the seat a login's token names; done(false) when there is none.
    virtual void ConsumeSeat(std::string_view seat, std::function<void(bool)> done) = 0;
    // Whether `req`, from `client`, is one of the fleet's routes; if so, its
    // answer goes to `send`, now or later.
    virtual bool Answer(const CHttpRequest& req, const boost::asio::ip::address& client,
                        std::function<void(CHttpResponse)> send) = 0;

protected:
    ~IFleetGate() = default;
};

#endif
