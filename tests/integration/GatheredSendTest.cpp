// The gathered write on a real loopback connection: buffers leave in order
// in one call, a full socket answers at once instead of blocking, and a
// peer that has gone away is a failure with a reason, not a signal.
#include "net/GatheredSend.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

struct CLoopbackPair {
    CLoopbackPair()
    {
        tcp::acceptor acceptor(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        client.connect(acceptor.local_endpoint());
        acceptor.accept(server);
        server.non_blocking(true);
    }

    asio::io_context ioc;
    tcp::socket server{ioc};
    tcp::socket client{ioc};
};

} // namespace

TEST(GatheredSend, WritesTheBuffersInOrderInOneCall)
{
    CLoopbackPair pair;
    const std::string parts[] = {"\x82\x05", "hello", "", "\x82\x03", "abc"};
    std::vector<CSendBuffer> buffers;
    for (const std::string& part : parts) {
        buffers.push_back({part.data(), part.size()});
    }
    const CSendResult sent = SendGathered(pair.server, buffers);
    ASSERT_EQ(sent.status, CSendResult::EStatus::kSent);
    ASSERT_EQ(sent.bytes, 12u);
    std::string got(12, '\0');
    asio::read(pair.client, asio::buffer(got));
    EXPECT_EQ(got, "\x82\x05hello\x82\x03" "abc");
}

TEST(GatheredSend, AFullSocketAnswersWouldBlockAndAGonePeerFails)
{
    CLoopbackPair pair;
    const std::string chunk(64 * 1024, 'x');
    const std::vector<CSendBuffer> buffers(8, CSendBuffer{chunk.data(), chunk.size()});
    // Nobody reads: the socket's buffers fill within a few megabytes.
    CSendResult sent;
    std::size_t total = 0;
    for (int i = 0; i < 1000 && sent.status == CSendResult::EStatus::kSent; ++i) {
        sent = SendGathered(pair.server, buffers);
        total += sent.bytes;
    }
    ASSERT_EQ(sent.status, CSendResult::EStatus::kWouldBlock) << "after " << total << " bytes";
    EXPECT_EQ(sent.bytes, 0u);

    // Closed with unread data, the peer resets the connection; the next
    // sends fail (and the test process lives on: no SIGPIPE).
    pair.client.close();
    for (int i = 0; i < 100 && sent.status != CSendResult::EStatus::kFailed; ++i) {
        sent = SendGathered(pair.server, buffers);
    }
    ASSERT_EQ(sent.status, CSendResult::EStatus::kFailed);
    EXPECT_FALSE(sent.error.empty());
}
