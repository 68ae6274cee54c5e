// HTTP requests through the host's request handling, without sockets: the
// input is what a client sends on one connection, parsed with the limits
// of the HTTP session, request after request while the client keeps the
// connection alive, and each request is answered by the host's router over a
// web root with links leading out of it. Every answer must serialize to a
// well-formed response with its length; only GET and HEAD may succeed.
#include "FuzzCheck.h"

#include "WebRoot.h"
#include "net/HttpRouter.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>

namespace http = boost::beast::http;

namespace {

std::unique_ptr<CHttpRouter> g_router;

void CheckAnswer(const CHttpResponse& answer, const CHttpRequest* req)
{
    std::visit(
        [&](const auto& res) {
            // The header only: a file body is streamed from disk, not printed.
            std::ostringstream out;
            out << res.base();
            FUZZ_CHECK(out.str().rfind("HTTP/1.", 0) == 0, "an answer that is not an HTTP response");
            FUZZ_CHECK(res.has_content_length(), "an answer without its length");
            const unsigned status = res.result_int();
            FUZZ_CHECK(status >= 200 && status < 600, "an answer with a strange status");
            if (req == nullptr) {
                FUZZ_CHECK(status == 400, "an unparsable request not answered 400");
                return;
            }
            if (status < 300) {
                FUZZ_CHECK(req->method() == http::verb::get || req->method() == http::verb::head,
                           "a method other than GET and HEAD succeeded");
            }
        },
        answer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_router = std::make_unique<CHttpRouter>(
        MakeFuzzWebRoot(), [] { return std::string(); }, [] { return std::string("corvane_users_online 0\n"); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(kHttpHeaderLimit);
        parser.body_limit(kHttpBodyLimit);
        parser.eager(true);
        boost::beast::error_code ec;
        while (!parser.is_done() && !ec) {
            const std::size_t used = parser.put(boost::asio::buffer(rest.data(), rest.size()), ec);
            rest.remove_prefix(used);
            if (ec == http::error::need_more) {
                ec = {};
            }
            if (!ec && used == 0) {
                return 0; // the client stopped in the middle of a request
            }
        }
        if (ec) {
            CheckAnswer(CHttpRouter::BadRequest(), nullptr);
            return 0;
        }
        const CHttpRequest req = parser.release();
        // A WebSocket upgrade at /ws leaves HTTP for the game connection.
        if (boost::beast::websocket::is_upgrade(req) && PathOf(req.target()) == "/ws") {
            return 0;
        }
        CheckAnswer(g_router->Route(req), &req);
        if (!req.keep_alive()) {
            return 0;
        }
    }
}
