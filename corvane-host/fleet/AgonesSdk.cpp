#include "fleet/AgonesSdk.h"

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <spdlog/spdlog.h>

#include <charconv>
#include <functional>
#include <regex>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kHealthInterval = 2s;
constexpr auto kRequestTimeout = 1500ms;

// One request on a fresh connection: a POST with an empty JSON body, or a
// GET; `done` gets the HTTP status (0 when there was none) and the body.
class CSdkCall : public std::enable_shared_from_this<CSdkCall> {
public:
    CSdkCall(asio::io_context& ioc, uint16_t port, std::string_view method, std::string_view path,
             std::function<void(int, std::string)> done)
        : m_socket(ioc), m_deadline(ioc), m_port(port), m_done(std::move(done))
    {
        const bool post = method == "POST";
        m_request = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: localhost:" +
                    std::to_string(port) + "\r\n" +
                    (post ? "Content-Type: application/json\r\nContent-Length: 2\r\n" : "") +
                    "Connection: close\r\n\r\n" + (post ? "{}" : "");
    }

    void Run()
    {
        m_deadline.expires_after(kRequestTimeout);
        m_deadline.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (!ec) {
                boost::system::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
        const tcp::endpoint sidecar(asio::ip::make_address("127.0.0.1"), m_port);
        m_socket.async_connect(sidecar, [self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec) {
                self->Finish(0, {});
                return;
            }
            asio::async_write(self->m_socket, asio::buffer(self->m_request),
                              [self](const boost::system::error_code& writeEc, std::size_t) {
                                  if (writeEc) {
                                      self->Finish(0, {});
                                      return;
                                  }
                                  self->ReadAll();
                              });
        });
    }

private:
    void ReadAll()
    {
        asio::async_read(m_socket, m_response, [self = shared_from_this()](const boost::system::error_code&, std::size_t) {
            // The connection ends at EOF (or the deadline).
            const std::string all(asio::buffers_begin(self->m_response.data()),
                                  asio::buffers_end(self->m_response.data()));
            int status = 0;
            if (all.starts_with("HTTP/1.") && all.size() >= 12) {
                std::from_chars(all.data() + 9, all.data() + 12, status);
            }
            const std::size_t body = all.find("\r\n\r\n");
            self->Finish(status, body == std::string::npos ? std::string() : all.substr(body + 4));
        });
    }

    void Finish(int status, std::string body)
    {
        m_deadline.cancel();
        boost::system::error_code ignored;
        m_socket.close(ignored);
        if (auto done = std::move(m_done)) {
            done(status, std::move(body));
        }
    }

    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    uint16_t m_port;
    std::string m_request;
    asio::streambuf m_response;
    std::function<void(int, std::string)> m_done;
};

} // namespace

struct CAgonesSdk::CImpl : std::enable_shared_from_this<CAgonesSdk::CImpl> {
    CImpl(asio::io_context& context, uint16_t sdkPort) : ioc(context), port(sdkPort), timer(context) {}

    void Call(std::string_view path)
    {
        auto self = shared_from_this();
        const std::string what(path);
        std::make_shared<CSdkCall>(ioc, port, "POST", path,
                                   [self, what](int status, const std::string&) { self->OnAnswer(what, status); })
            ->Run();
    }

    void OnAnswer(const std::string& path, int status)
    {
        if (stopped) {
            return;
        }
        const bool ok = status >= 200 && status < 300;
        if (path == "/ready") {
            if (ok) {
                ready = true;
                spdlog::info("reported ready to the Agones SDK on port {}", port);
            } else {
                spdlog::warn("the Agones SDK on port {} did not accept /ready (status {}); trying again", port, status);
            }
        } else if (!ok && healthOk) {
            spdlog::warn("the Agones SDK on port {} did not accept /health (status {})", port, status);
        }
        if (path == "/health") {
            healthOk = ok;
        }
    }

    void Tick()
    {
        timer.expires_after(kHealthInterval);
        timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->stopped) {
                return;
            }
            self->Call(self->ready ? "/health" : "/ready");
            self->Tick();
        });
    }

    asio::io_context& ioc;
    uint16_t port;
    asio::steady_timer timer;
    bool ready = false;
    bool healthOk = true;
    bool stopped = false;
};

std::optional<uint16_t> CAgonesSdk::PortFromEnvironment()
{
    const char* value = std::getenv("AGONES_SDK_HTTP_PORT");
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    const std::string_view text(value);
    unsigned port = 0;
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc{} || next != text.data() + text.size() || port == 0 || port > 65535) {
        throw std::invalid_argument("AGONES_SDK_HTTP_PORT='" + std::string(text) + "' is not a port");
    }
    return static_cast<uint16_t>(port);
}

std::optional<std::string> CAgonesSdk::PublicUrl(uint16_t sdkPort)
{
    asio::io_context ioc{1};
    int status = 0;
    std::string body;
    std::make_shared<CSdkCall>(ioc, sdkPort, "GET", "/gameserver", [&](int s, std::string b) {
        status = s;
        body = std::move(b);
    })->Run();
    ioc.run();
    if (status != 200) {
        return std::nullopt;
    }
    // {"object_meta":{...},"status":{"state":"Scheduled","address":"10.0.0.7","ports":[{"name":"game","port":7123}]}}
    std::smatch address;
    std::smatch port;
    const std::size_t statusAt = body.find("\"status\"");
    if (statusAt == std::string::npos) {
        return std::nullopt;
    }
    const std::string statusPart = body.substr(statusAt);
    if (!std::regex_search(statusPart, address, std::regex(R"re("address"\s*:\s*"([^"\\]+)")re")) ||
        !std::regex_search(statusPart, port, std::regex(R"re("port"\s*:\s*([0-9]{1,5}))re"))) {
        return std::nullopt;
    }
    const std::string host = address[1];
    return "ws://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port[1].str() + "/ws";
}

CAgonesSdk::CAgonesSdk(asio::io_context& ioc, uint16_t port) : m_impl(std::make_shared<CImpl>(ioc, port)) {}

CAgonesSdk::~CAgonesSdk() { Stop(); }

void CAgonesSdk::Start()
{
    m_impl->Call("/ready");
    m_impl->Tick();
}

void CAgonesSdk::Stop()
{
    m_impl->stopped = true;
    m_impl->timer.cancel();
}

void CAgonesSdk::Shutdown()
{
    if (m_impl->stopped) {
        return;
    }
    Stop();
    const uint16_t port = m_impl->port;
    std::make_shared<CSdkCall>(m_impl->ioc, port, "POST", "/shutdown", [port](int status, const std::string&) {
        if (status >= 200 && status < 300) {
            spdlog::info("asked the Agones SDK on port {} to shut this game server down", port);
        } else {
            spdlog::warn("the Agones SDK on port {} did not accept /shutdown (status {})", port, status);
        }
    })->Run();
}
