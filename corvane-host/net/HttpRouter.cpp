#include "net/HttpRouter.h"

#include "net/ServerContext.h"
#include "net/StaticFiles.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include <tuple>
#include <utility>

namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;

namespace {

template <class Response>
void Decorate(Response& res, const CHttpRequest& req, std::string_view type)
{
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, type);
    res.set(http::field::cache_control, "no-cache");
    res.set("X-Content-Type-Options", "nosniff");
    if (res.result() == http::status::method_not_allowed) {
        res.set(http::field::allow, "GET, HEAD");
    }
    res.keep_alive(req.keep_alive());
}

} // namespace

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

CHttpRouter::CHttpRouter(fs::path webRoot, std::function<std::string()> unready,
                         std::function<std::string()> metrics)
    : m_webRoot(std::move(webRoot)), m_unready(std::move(unready)), m_metrics(std::move(metrics))
{
}

CHttpResponse CHttpRouter::Route(const CHttpRequest& req) const
{
    if (beast::websocket::is_upgrade(req)) {
        return Reply(req, http::status::not_found, "not found\n");
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head) {
        return Reply(req, http::status::method_not_allowed, "method not allowed\n");
    }
    const std::string_view path = PathOf(req.target());
    if (path == "/metrics") {
        return Reply(req, http::status::ok, m_metrics(), "text/plain; version=0.0.4; charset=utf-8");
    }
    if (path == "/healthz") {
        const std::string unready = m_unready();
        return unready.empty() ? Reply(req, http::status::ok, "ok\n")
                               : Reply(req, http::status::service_unavailable, unready + "\n");
    }
    if (path == "/ws") {
        return Reply(req, http::status::upgrade_required, "open /ws as a WebSocket\n");
    }
    // The page asks every host for its fleet's worlds; a host on its own has
    // none, and says so without an error that the browser would log.
    if (path == "/worlds") {
        return Reply(req, http::status::no_content, "");
    }

    const CStaticFile found = LookUpStaticFile(m_webRoot, req.target());
    switch (found.result) {
    case EStaticLookup::Found:
        return ReplyFile(req, found.file);
    case EStaticLookup::NotFound:
        break;
    case EStaticLookup::Forbidden:
        return Reply(req, http::status::forbidden, "forbidden\n");
    case EStaticLookup::BadTarget:
        return Reply(req, http::status::bad_request, "bad request\n");
    }
    return Reply(req, http::status::not_found, "not found\n");
}

CHttpResponse CHttpRouter::BadRequest()
{
    http::response<http::string_body> res{http::status::bad_request, 11};
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.keep_alive(false);
    res.body() = "bad request\n";
    res.prepare_payload();
    return res;
}

CHttpResponse CHttpRouter::Reply(const CHttpRequest& req, http::status status, std::string body,
                                 std::string_view type) const
{
    if (req.method() == http::verb::head) {
        http::response<http::empty_body> res{status, req.version()};
        Decorate(res, req, type);
        res.content_length(body.size());
        return res;
    }
    http::response<http::string_body> res{status, req.version()};
    Decorate(res, req, type);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

CHttpResponse CHttpRouter::ReplyFile(const CHttpRequest& req, const fs::path& file) const
{
    http::file_body::value_type body;
    beast::error_code ec;
    body.open(file.string().c_str(), beast::file_mode::scan, ec);
    if (ec) {
        return Reply(req, http::status::not_found, "not found\n");
    }
    const auto size = body.size();
    const std::string_view type = ContentTypeFor(file);
    if (req.method() == http::verb::head) {
        http::response<http::empty_body> res{http::status::ok, req.version()};
        Decorate(res, req, type);
        res.content_length(size);
        return res;
    }
    http::response<http::file_body> res{std::piecewise_construct, std::make_tuple(std::move(body)),
                                        std::make_tuple(http::status::ok, req.version())};
    Decorate(res, req, type);
    res.content_length(size);
    return res;
}
