// The game connection's own rules: login, host messages, and every kind of
// bad input, against the real host process.
#include "HostFixture.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <zlib.h>

#include <fstream>
#include <thread>

namespace {

constexpr uint16_t kPolicyViolation = 1008;

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

// The server ends the connection with `code`.
void ExpectClosedWith(CGameClient& client, uint16_t code)
{
    ASSERT_TRUE(client.WaitClosed(5s));
    EXPECT_EQ(client.CloseCode(), code);
}

} // namespace

using HostSession = CHostFixture;

TEST_F(HostSession, LoginAssignsIdsInOrderAndPingIsEchoed)
{
    StartHost();
    auto first = LogIn();
    auto second = LogIn();
    EXPECT_EQ(first->UserId(), 1u);
    EXPECT_EQ(second->UserId(), 2u);

    const std::string body = Bytes({'a', 0, 'b', 0xFF});
    ASSERT_TRUE(second->Send(kHostModuleId, kCmdPing, body));
    const auto pong = second->WaitFor(kHostModuleId, kMsgPong, 3s);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->body, body);

    EXPECT_TRUE(WaitMetric("corvane_users_online", 2));
    EXPECT_EQ(Metric("corvane_logins_total{result=\"ok\"}"), 2);
    EXPECT_EQ(Metric("corvane_messages_received_total{module=\"0\"}"), 3);
}

TEST_F(HostSession, IdsAreNotReusedAfterLogout)
{
    StartHost();
    auto first = LogIn();
    first->Close();
    ASSERT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(LogIn()->UserId(), 2u);
}

TEST_F(HostSession, LogoutMessageClosesNormallyAndLogsOut)
{
    StartHost();
    auto client = LogIn();
    ASSERT_TRUE(client->Send(kHostModuleId, kCmdLogout));
    ExpectClosedWith(*client, 1000);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_TRUE(WaitMetric("corvane_connections_closed_total{reason=\"logout\"}", 1));
}

TEST_F(HostSession, TokenFileDecidesWhoMayLogIn)
{
    const auto tokens = m_host.Folder() / "tokens.txt";
    std::ofstream(tokens) << "alpha\n\nbeta\r\n";
    StartHost({"--token-file", tokens.string()});

    auto alpha = LogIn("alpha");
    auto beta = LogIn("beta");
    EXPECT_EQ(beta->UserId(), 2u);

    for (const char* bad : {"gamma", "alph", "alphaa", "", "beta\r"}) {
        SCOPED_TRACE(bad);
        auto client = Connect();
        const CLoginAck ack = client->Login(bad);
        EXPECT_EQ(ack.code, kLoginUnauthorized);
        EXPECT_EQ(ack.userId, 0u);
        ExpectClosedWith(*client, kPolicyViolation);
    }
    EXPECT_EQ(Metric("corvane_logins_total{result=\"unauthorized\"}"), 5);
    EXPECT_EQ(Metric("corvane_users_online"), 2);
}

TEST_F(HostSession, TrafficBeforeLoginIsRefused)
{
    StartHost();
    const std::vector<std::string> firstMessages{
        Frame(kHostModuleId, kCmdPing, "x"),
        Frame(kHostModuleId, kCmdLogout),
        Frame(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene),
        Bytes({0, 0}),
    };
    for (const std::string& message : firstMessages) {
        auto client = Connect();
        ASSERT_TRUE(client->SendBinary(message));
        ExpectClosedWith(*client, kPolicyViolation);
        EXPECT_FALSE(client->Receive(0ms)) << "nothing but the close may come back";
    }
    EXPECT_TRUE(WaitMetric("corvane_connections_closed_total{reason=\"not_logged_in\"}", 4));
    EXPECT_EQ(Metric("corvane_users_online"), 0);
}

TEST_F(HostSession, SecondLoginIsRefusedAndEndsTheSession)
{
    StartHost();
    auto client = LogIn();
    const CLoginAck again = client->Login("");
    EXPECT_EQ(again.code, kLoginAlreadyLoggedIn);
    ExpectClosedWith(*client, kPolicyViolation);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(Metric("corvane_logins_total{result=\"already_logged_in\"}"), 1);
}

TEST_F(HostSession, MalformedLoginIsRefused)
{
    StartHost();
    // The count byte promises more than follows; or there is no count byte.
    for (const std::string& body : {Bytes({5, 'a', 'b'}), std::string()}) {
        auto client = Connect();
        ASSERT_TRUE(client->SendBinary(Frame(kHostModuleId, kCmdLogin, body)));
        const auto ack = client->WaitFor(kHostModuleId, kMsgLoginAck, 3s);
        ASSERT_TRUE(ack);
        EXPECT_EQ(DecodeLoginAck(ack->body).code, kLoginMalformed);
        ExpectClosedWith(*client, kPolicyViolation);
    }
    EXPECT_EQ(Metric("corvane_logins_total{result=\"malformed\"}"), 2);
}

TEST_F(HostSession, TextFrameClosesWith1003)
{
    StartHost();
    auto client = LogIn();
    ASSERT_TRUE(client->SendText("hello"));
    ExpectClosedWith(*client, 1003);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"text_frame\"}"), 1);
}

TEST_F(HostSession, FrameOverTheLimitClosesWith1009)
{
    StartHost({"--max-frame", "4096"});
    auto client = LogIn();

    // Exactly at the limit is fine.
    const std::string largest(4096 - 4, 'p');
    ASSERT_TRUE(client->Send(kHostModuleId, kCmdPing, largest));
    const auto pong = client->WaitFor(kHostModuleId, kMsgPong, 3s);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->body.size(), largest.size());

    ASSERT_TRUE(client->Send(kHostModuleId, kCmdPing, largest + "!"));
    ExpectClosedWith(*client, 1009);
    EXPECT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"frame_too_big\"}"), 1);
}

TEST_F(HostSession, ShortAndUnaddressedMessagesAreDroppedAndCounted)
{
    StartHost();
    auto client = LogIn();
    ASSERT_TRUE(client->SendBinary(Bytes({99, 0})));               // 2 bytes: no header
    ASSERT_TRUE(client->Send(501, 1, Bytes({1, 2, 3})));           // FirstCity: never registered
    ASSERT_TRUE(client->Send(kHostModuleId, 9));                   // no such host command
    ASSERT_TRUE(client->Send(EasyDemo::kModuleId, 9));               // EasyDemo refuses it
    ASSERT_TRUE(client->Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, "x")); // body too short

    // The connection stays usable, and the answer to this Ping comes after
    // everything above was handled.
    ASSERT_TRUE(client->Send(kHostModuleId, kCmdPing, "still here"));
    const auto pong = client->WaitFor(kHostModuleId, kMsgPong, 3s);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->body, "still here");
    EXPECT_TRUE(client->IsOpen());

    EXPECT_EQ(Metric("corvane_messages_dropped_total{reason=\"short\"}"), 1);
    EXPECT_EQ(Metric("corvane_messages_dropped_total{reason=\"unknown_module\"}"), 1);
    EXPECT_EQ(Metric("corvane_messages_dropped_total{reason=\"unknown_command\"}"), 1);
    EXPECT_EQ(Metric("corvane_messages_received_total{module=\"99\"}"), 2);
    EXPECT_EQ(Metric("corvane_recv_failures_total{module=\"99\"}"), 2);
    EXPECT_EQ(Metric("corvane_users_online"), 1);
}

TEST_F(HostSession, FloodOverTheRateLimitIsCutOff)
{
    StartHost({"--rate", "10", "--burst", "20"});
    auto calm = LogIn();
    auto flooder = LogIn();

    // 21 messages at once exceed a burst of 20 (the Login took one more).
    for (int i = 0; i < 40 && flooder->IsOpen(); ++i) {
        if (!flooder->Send(kHostModuleId, kCmdPing, "f")) {
            break;
        }
    }
    ExpectClosedWith(*flooder, kPolicyViolation);
    EXPECT_TRUE(WaitMetric("corvane_connections_closed_total{reason=\"rate_limited\"}", 1));

    // Within the budget nothing happens to the other user.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(calm->Send(kHostModuleId, kCmdPing, "c"));
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(calm->WaitFor(kHostModuleId, kMsgPong, 3s));
    }
    EXPECT_TRUE(WaitMetric("corvane_users_online", 1));
}

TEST_F(HostSession, FullServerRefusesTheNextLogin)
{
    StartHost();
    std::vector<std::unique_ptr<CGameClient>> users;
    for (int i = 0; i < 155; ++i) {
        users.push_back(LogIn());
    }
    EXPECT_EQ(users.back()->UserId(), 155u);

    auto extra = Connect();
    const CLoginAck ack = extra->Login("");
    EXPECT_EQ(ack.code, kLoginServerFull);
    EXPECT_EQ(ack.userId, 0u);
    ExpectClosedWith(*extra, 1013);
    EXPECT_EQ(Metric("corvane_logins_total{result=\"server_full\"}"), 1);

    // A freed place is taken again, under a new id: the refusal used none.
    users.front()->Close();
    ASSERT_TRUE(WaitMetric("corvane_users_online", 154));
    EXPECT_EQ(LogIn()->UserId(), 156u);
}

TEST_F(HostSession, MaxUsersFlagSetsTheCap)
{
    StartHost({"--max-users", "2"});
    auto a = LogIn();
    auto b = LogIn();
    auto c = Connect();
    EXPECT_EQ(c->Login("").code, kLoginServerFull);
}

// A crowd of idle connections does not lock out a fresh login: the oldest
// pending one makes way, and logged-in ones are never counted.
TEST_F(HostSession, NewConnectionPastMaxPendingClosesTheOldestPendingOne)
{
    StartHost({"--max-pending", "3"});
    auto player = LogIn();
    std::vector<std::unique_ptr<CGameClient>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(Connect());
    }
    EXPECT_TRUE(WaitMetric("corvane_connections_pending", 3));
    for (int round = 0; round < 2; ++round) {
        auto fresh = Connect();
        EXPECT_EQ(fresh->Login("").code, kLoginOk) << round;
        ExpectClosedWith(*idle[round], 1013);
        idle.push_back(Connect());
    }
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"pending_evicted\"}"), 2);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"too_many_pending\"}"), 0);
    EXPECT_EQ(Metric("corvane_connections_pending"), 3);
    EXPECT_TRUE(idle[2]->IsOpen());
    EXPECT_TRUE(player->IsOpen());
}

namespace {

const std::string kUpgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\n"
                             "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

// One masked client frame with a short payload; `first` holds FIN and the opcode.
std::string MaskedFrame(int first, const std::string& payload)
{
    const std::string mask = Bytes({0x11, 0x22, 0x33, 0x44});
    std::string frame = Bytes({first, 0x80 | static_cast<int>(payload.size())}) + mask;
    for (std::size_t i = 0; i < payload.size(); ++i) {
        frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    }
    return frame;
}

// Everything the server sends after the upgrade answer, until it has sent
// `want` bytes of frames, closes, or 5 s pass; the answer's status line is
// checked on the way, and the answer is left in `head` if given.
std::string ReadFrames(boost::asio::ip::tcp::socket& socket, std::size_t want, std::string* head = nullptr)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    socket.non_blocking(true);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t end = received.find("\r\n\r\n");
        if (end != std::string::npos && received.size() >= end + 4 + want) {
            break;
        }
        char chunk[512];
        boost::system::error_code ec;
        const std::size_t n = socket.read_some(boost::asio::buffer(chunk), ec);
        if (ec == boost::asio::error::would_block) {
            std::this_thread::sleep_for(10ms);
            continue;
        }
        if (ec) {
            break;
        }
        received.append(chunk, n);
    }
    EXPECT_EQ(received.rfind("HTTP/1.1 101", 0), 0u) << received;
    const std::size_t end = received.find("\r\n\r\n");
    if (head != nullptr) {
        *head = received.substr(0, end);
    }
    return end == std::string::npos ? std::string() : received.substr(end + 4);
}

const std::string kLogin = Bytes({0, 0, 1, 0, 0}); // Login with an empty token
const std::string kLoginAck = Bytes({0x82, 12, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0});
// The ResumeToken that follows every LoginAck 0: a frame of 23 bytes.
const std::string kTokenFrameHead = Bytes({0x82, 21, 0, 0, 3, 0, 16});
constexpr std::size_t kTokenFrame = 23;

// `frames` without their ResumeToken frames, whose tokens are random.
std::string WithoutTokens(const std::string& frames)
{
    std::string out;
    std::size_t at = 0;
    while (at + 2 <= frames.size()) {
        std::size_t size = static_cast<uint8_t>(frames[at + 1]) & 0x7F;
        std::size_t head = 2;
        if (size == 126 && at + 4 <= frames.size()) {
            size = static_cast<std::size_t>(static_cast<uint8_t>(frames[at + 2]) << 8 | static_cast<uint8_t>(frames[at + 3]));
            head = 4;
        }
        const std::size_t end = std::min(frames.size(), at + head + size);
        if (frames.compare(at, kTokenFrameHead.size(), kTokenFrameHead) != 0 || end - at != kTokenFrame) {
            out.append(frames, at, end - at);
        }
        at = end;
    }
    out.append(frames, std::min(at, frames.size()));
    return out;
}

// A game connection from a loopback address of its own choosing, upgraded
// but not logged in.
std::unique_ptr<boost::asio::ip::tcp::socket> UpgradeFrom(boost::asio::io_context& ioc, const char* address,
                                                          uint16_t port)
{
    namespace ip = boost::asio::ip;
    auto socket = std::make_unique<ip::tcp::socket>(ioc, ip::tcp::v4());
    socket->bind({ip::make_address(address), 0});
    socket->connect({ip::make_address("127.0.0.1"), port});
    boost::asio::write(*socket, boost::asio::buffer(kUpgrade));
    return socket;
}

} // namespace

// One address may hold a few pending connections only: its newest pushes
// out its own oldest, never another address's.
TEST_F(HostSession, PendingConnectionsAreCappedPerAddress)
{
    StartHost({"--max-pending", "10", "--max-pending-per-address", "2"});
    boost::asio::io_context ioc;
    auto other = UpgradeFrom(ioc, "127.0.0.2", m_host.Port());
    EXPECT_EQ(ReadFrames(*other, 0), "");
    std::vector<std::unique_ptr<CGameClient>> crowd;
    for (int i = 0; i < 5; ++i) {
        crowd.push_back(Connect());
    }
    for (int i = 0; i < 3; ++i) {
        ExpectClosedWith(*crowd[i], 1013);
    }
    EXPECT_TRUE(WaitMetric("corvane_connections_pending", 3));
    EXPECT_TRUE(crowd[3]->IsOpen());
    EXPECT_TRUE(crowd[4]->IsOpen());
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"pending_evicted\"}"), 3);

    // The connection from the other address is still there and logs in.
    boost::asio::write(*other, boost::asio::buffer(MaskedFrame(0x82, kLogin)));
    std::string ack(kLoginAck.size(), '\0');
    other->non_blocking(false);
    boost::asio::read(*other, boost::asio::buffer(ack));
    EXPECT_EQ(ack, kLoginAck);
}

// A client that sends its first message in the same write as the upgrade
// request, ahead of the answer.
TEST_F(HostSession, BytesSentWithTheUpgradeAreNotLost)
{
    StartHost();
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
    boost::asio::write(socket, boost::asio::buffer(kUpgrade + MaskedFrame(0x82, kLogin)));
    const std::string frames = ReadFrames(socket, kLoginAck.size() + kTokenFrame);
    EXPECT_EQ(frames.substr(kLoginAck.size(), kTokenFrameHead.size()), kTokenFrameHead);
    EXPECT_EQ(WithoutTokens(frames), kLoginAck);
}

// A ping is answered in turn with the messages, a message may come in
// fragments with a ping between them, and a close is answered with the
// same code after what was queued before it; then the server hangs up.
TEST_F(HostSession, ControlFramesAndFragmentsFollowTheProtocol)
{
    StartHost();
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
    const std::string frames = MaskedFrame(0x02, kLogin.substr(0, 2)) + MaskedFrame(0x89, "abc") +
                               MaskedFrame(0x80, kLogin.substr(2)) + MaskedFrame(0x88, Bytes({0x03, 0xE8}));
    boost::asio::write(socket, boost::asio::buffer(kUpgrade + frames));

    const std::string pong = Bytes({0x8A, 3}) + "abc";
    const std::string close = Bytes({0x88, 2, 0x03, 0xE8});
    const std::string expected = pong + kLoginAck + close;
    EXPECT_EQ(WithoutTokens(ReadFrames(socket, expected.size() + kTokenFrame + 1)), expected);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"client_closed\"}"), 1);
}

namespace {

const std::string kDeflateUpgrade = kUpgrade.substr(0, kUpgrade.size() - 2) +
                                    "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n\r\n";

// A message as a permessage-deflate client sends it: raw deflate, flushed,
// without the final 00 00 ff ff.
std::string Deflated(const std::string& message)
{
    z_stream s{};
    deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&s, message.size()) + 16, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
    s.avail_in = static_cast<uInt>(message.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_SYNC_FLUSH);
    out.resize(out.size() - s.avail_out - 4);
    deflateEnd(&s);
    return out;
}

std::string CloseFrame(int code) { return Bytes({0x88, 2, code >> 8, code & 0xFF}); }

std::string LoginAckFor(int userId) { return Bytes({0x82, 12, 0, 0, 1, 0, 0, 0, 0, 0, userId, 0, 0, 0}); }

// Logs in on a fresh connection, sends `frame`, and returns what came back.
std::string SendAfterLogin(uint16_t port, const std::string& upgrade, const std::string& frame, std::size_t want)
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::write(socket, boost::asio::buffer(upgrade + MaskedFrame(0x82, kLogin) + frame));
    return WithoutTokens(ReadFrames(socket, want + kTokenFrame));
}

} // namespace

// The answer names what was agreed, and compressed client messages (RSV1)
// are inflated before anything else looks at them.
TEST_F(HostSession, CompressionIsAgreedAndClientMessagesInflated)
{
    StartHost();
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
    const std::string ping = Bytes({0, 0, 3, 0}) + "hello";
    boost::asio::write(socket, boost::asio::buffer(kDeflateUpgrade + MaskedFrame(0xC2, Deflated(kLogin)) +
                                                   MaskedFrame(0xC2, Deflated(ping))));
    std::string head;
    const std::string pong = Bytes({0x82, static_cast<int>(ping.size())}) + Bytes({0, 0, 2, 0}) + "hello";
    EXPECT_EQ(WithoutTokens(ReadFrames(socket, kLoginAck.size() + kTokenFrame + pong.size(), &head)), kLoginAck + pong);
    EXPECT_NE((head + "\r\n").find("\r\nSec-WebSocket-Extensions: permessage-deflate; client_no_context_takeover; "
                                   "client_max_window_bits=9\r\n"),
              std::string::npos)
        << head;
}

TEST_F(HostSession, BadCompressedInputClosesWithItsCode)
{
    StartHost({"--max-frame", "4096"});
    const uint16_t port = m_host.Port();
    // Each case logs in a user of its own (ids 1 to 5) and ends with the code.
    int user = 0;
    const auto expect = [&user](int code) { return LoginAckFor(++user) + CloseFrame(code); };
    const std::size_t want = expect(0).size();
    user = 0;
    // RSV1 where it has no meaning.
    EXPECT_EQ(SendAfterLogin(port, kUpgrade, MaskedFrame(0xC2, Deflated(kLogin)), want), expect(1002));
    EXPECT_EQ(SendAfterLogin(port, kDeflateUpgrade, MaskedFrame(0xC9, "x"), want), expect(1002));
    EXPECT_EQ(SendAfterLogin(port, kDeflateUpgrade, MaskedFrame(0x42, Deflated("ab")) + MaskedFrame(0xC0, "c"), want),
              expect(1002));

    EXPECT_EQ(SendAfterLogin(port, kDeflateUpgrade, MaskedFrame(0xC2, Bytes({0xFF, 0xFF, 0xFF})), want),
              expect(1007));
    // 20,000 bytes in a few dozen: inflating stops at --max-frame.
    const std::string bomb = Deflated(Bytes({0, 0, 3, 0}) + std::string(20000, 'b'));
    ASSERT_LT(bomb.size(), 126u);
    EXPECT_EQ(SendAfterLogin(port, kDeflateUpgrade, MaskedFrame(0xC2, bomb), want), expect(1009));

    EXPECT_TRUE(WaitMetric("corvane_inflate_failures_total", 2));
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"bad_deflate\"}"), 1);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"frame_too_big\"}"), 1);
    EXPECT_EQ(Metric("corvane_messages_received_total{module=\"0\"}"), 5) << "only the logins got through";
}

TEST_F(HostSession, CompressionOffAgreesToNothing)
{
    StartHost({"--compression", "off"});
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
    boost::asio::write(socket,
                       boost::asio::buffer(kDeflateUpgrade + MaskedFrame(0x82, kLogin) + MaskedFrame(0xC2, kLogin)));
    std::string head;
    EXPECT_EQ(WithoutTokens(ReadFrames(socket, kLoginAck.size() + kTokenFrame + 4, &head)), kLoginAck + CloseFrame(1002));
    EXPECT_EQ(head.find("Sec-WebSocket-Extensions"), std::string::npos) << head;
}

// A close frame must be empty or carry a code a peer may send: a single
// byte, or a code kept for local use or unassigned, is answered with 1002
// rather than echoed.
TEST_F(HostSession, MalformedCloseFramesAreAnsweredWith1002)
{
    StartHost();
    const std::string protocolError = Bytes({0x88, 2, 0x03, 0xEA});
    const std::pair<const char*, std::string> bodies[] = {
        {"one byte", Bytes({0x03})},           {"0", Bytes({0x00, 0x00})},
        {"999", Bytes({0x03, 0xE7})},          {"1004", Bytes({0x03, 0xEC})},
        {"1005", Bytes({0x03, 0xED})},         {"1006", Bytes({0x03, 0xEE})},
        {"1015", Bytes({0x03, 0xF7})},         {"2999", Bytes({0x0B, 0xB7})},
    };
    for (const auto& [what, body] : bodies) {
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::socket socket(ioc);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
        boost::asio::write(socket, boost::asio::buffer(kUpgrade + MaskedFrame(0x88, body)));
        EXPECT_EQ(ReadFrames(socket, protocolError.size() + 1), protocolError) << what;
    }
    // A valid code with a reason is still echoed.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), m_host.Port()});
    boost::asio::write(socket, boost::asio::buffer(kUpgrade + MaskedFrame(0x88, Bytes({0x0F, 0xA0}) + "done")));
    EXPECT_EQ(ReadFrames(socket, 5), Bytes({0x88, 2, 0x0F, 0xA0}));
}
