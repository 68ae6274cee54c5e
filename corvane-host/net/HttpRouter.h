// The answers to plain HTTP requests: health, metrics, static files and
// errors. It sees a parsed request and returns the response, without any
// socket, so that every answer can be checked on its own.
#ifndef CORVANE_HOST_HTTPROUTER_H
#define CORVANE_HOST_HTTPROUTER_H

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

using CHttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
// HEAD answers carry only the headers; files are streamed from disk.
using CHttpResponse = std::variant<boost::beast::http::response<boost::beast::http::string_body>,
                                   boost::beast::http::response<boost::beast::http::empty_body>,
                                   boost::beast::http::response<boost::beast::http::file_body>>;

// What an HTTP session reads of one request at most.
inline constexpr std::size_t kHttpHeaderLimit = 8 * 1024;
inline constexpr std::size_t kHttpBodyLimit = 16 * 1024;

// The target without its query.
std::string_view PathOf(std::string_view target);

class CHttpRouter {
public:
    // `webRoot` must be canonical, or empty when there is no folder to serve.
    // `unready` tells what keeps the host from taking players (empty when
    // nothing does: /healthz answers 200); `metrics` renders /metrics.
    CHttpRouter(std::filesystem::path webRoot, std::function<std::string()> unready,
                std::function<std::string()> metrics);

    // Every request but a WebSocket upgrade at /ws, which the HTTP session
    // hands over before asking; an upgrade elsewhere is not found.
    CHttpResponse Route(const CHttpRequest& req) const;

    // The answer to a request that could not be parsed; the connection ends.
    static CHttpResponse BadRequest();

private:
    CHttpResponse Reply(const CHttpRequest& req, boost::beast::http::status status, std::string body,
                        std::string_view type = "text/plain; charset=utf-8") const;
    CHttpResponse ReplyFile(const CHttpRequest& req, const std::filesystem::path& file) const;

    std::filesystem::path m_webRoot;
    std::function<std::string()> m_unready;
    std::function<std::string()> m_metrics;
};

#endif
