#include "fleet/FleetRoutes.h"

#include "net/ServerContext.h"

#include <utility>

namespace http = boost::beast::http;

EFleetRoute FleetRouteOf(const CHttpRequest& req)
{
    const std::string_view path = PathOf(req.target());
    if (path == "/matchmake") {
        return req.method() == http::verb::post ? EFleetRoute::Matchmake : EFleetRoute::WrongMethod;
    }
    if (path == "/worlds") {
        return req.method() == http::verb::get ? EFleetRoute::Worlds : EFleetRoute::WrongMethod;
    }
    return EFleetRoute::None;
}

CHttpResponse FleetResponse(const CHttpRequest& req, const CFleetReply& reply)
{
    http::response<http::string_body> res{static_cast<http::status>(reply.status), req.version()};
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, "application/json");
    // A seat is good once: no cache may keep one.
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    if (reply.retryAfter != 0) {
        res.set(http::field::retry_after, std::to_string(reply.retryAfter));
    }
    res.keep_alive(req.keep_alive());
    res.body() = reply.json + "\n";
    res.prepare_payload();
    return res;
}

CHttpResponse FleetWrongMethod(const CHttpRequest& req)
{
    CHttpResponse res = FleetResponse(req, {405, "{\"error\":\"method not allowed\"}"});
    std::get<0>(res).set(http::field::allow, PathOf(req.target()) == "/matchmake" ? "POST" : "GET");
    return res;
}

void CFleetGate::ConsumeSeat(std::string_view seat, std::function<void(bool)> done)
{
    m_fleet.ConsumeSeat(seat, std::move(done));
}

bool CFleetGate::Answer(const CHttpRequest& req, const boost::asio::ip::address& client,
                        std::function<void(CHttpResponse)> send)
{
    auto answer = [send, req](CFleetReply reply) { send(FleetResponse(req, reply)); };
    switch (FleetRouteOf(req)) {
    case EFleetRoute::Matchmake:
        m_fleet.Matchmake(req[http::field::authorization], client, std::move(answer));
        return true;
    case EFleetRoute::Worlds:
        m_fleet.ListWorlds(client, std::move(answer));
        return true;
    case EFleetRoute::WrongMethod:
        send(FleetWrongMethod(req));
        return true;
    case EFleetRoute::None:
        break;
    }
    return false;
}
