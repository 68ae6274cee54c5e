// The fleet's HTTP routes, answered asynchronously by CFleet:
// POST /matchmake and GET /worlds.
#ifndef CORVANE_HOST_FLEETROUTES_H
#define CORVANE_HOST_FLEETROUTES_H

#include "Fleet.h"
#include "HttpRouter.h"

enum class EFleetRoute { None, Matchmake, Worlds, WrongMethod };

// Which fleet route a request is for; None for every other path.
EFleetRoute FleetRouteOf(const CHttpRequest& req);

// The HTTP response carrying a fleet answer (or 405 for WrongMethod).
CHttpResponse FleetResponse(const CHttpRequest& req, const CFleetReply& reply);
CHttpResponse FleetWrongMethod(const CHttpRequest& req);

#endif
