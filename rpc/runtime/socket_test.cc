// TCP helpers: gathered writes beyond IOV_MAX and across partial sends,
// exact reads, EOF, and the statuses of connection failures.
#include "rpc/runtime/socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <climits>
#include <thread>
#include <vector>

namespace rpc {
namespace {

class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    a_ = Socket(fds[0]);
    b_ = Socket(fds[1]);
  }
  Socket a_, b_;
};

// Thousands of pieces of odd sizes, more than IOV_MAX and more than the
// socket buffer holds, arrive whole and in order.
TEST_F(SocketPairTest, GatheredWriteBeyondIovMaxAndPartialSends) {
  std::vector<std::uint8_t> source(3 << 20);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<ConstBuffer> pieces;
  std::size_t at = 0;
  for (std::size_t n = 0; at < source.size(); ++n) {
    const std::size_t size =
        std::min<std::size_t>({n % 7 == 0 ? 0 : n % 3001 + 1, source.size() - at});
    pieces.push_back({source.data() + at, size});
    at += size;
  }
  ASSERT_GT(pieces.size(), static_cast<std::size_t>(IOV_MAX));
  std::vector<std::uint8_t> received(source.size());
  std::thread reader([&] { ASSERT_TRUE(b_.read_exact(received.data(), received.size()).ok()); });
  ASSERT_TRUE(a_.write_all(pieces).ok());
  reader.join();
  EXPECT_TRUE(received == source);
}

TEST_F(SocketPairTest, EofIsReportedAsPeerClosed) {
  const std::uint8_t bytes[3] = {1, 2, 3};
  ASSERT_TRUE(a_.write_all(bytes, 3).ok());
  a_.close();
  std::uint8_t buffer[8];
  Status s = b_.read_exact(buffer, sizeof buffer);
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(s.peer_closed());
  EXPECT_EQ(s.code(), status::kCallFailed);
}

TEST_F(SocketPairTest, WriteToAClosedPeerFailsWithoutASignal) {
  b_.close();
  std::vector<std::uint8_t> data(1 << 20);
  Status s = a_.write_all(data.data(), data.size());
  EXPECT_EQ(s.code(), status::kCallFailed);
  EXPECT_EQ(s.sys_error(), EPIPE);
}

TEST_F(SocketPairTest, ShutdownWakesABlockedReader) {
  Status result;
  std::thread reader([&] {
    std::uint8_t byte;
    result = b_.read_exact(&byte, 1);
  });
  b_.shutdown();
  reader.join();
  EXPECT_FALSE(result.ok());
}

TEST(ConnectTest, RefusedPortIsServerUnavailable) {
  // Take a free port and close it again: nothing listens there.
  std::uint16_t port;
  {
    Listener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
    port = listener.port();
  }
  Socket socket;
  Status s = connect_tcp("127.0.0.1", port, &socket);
  EXPECT_EQ(s.code(), status::kServerUnavailable);
  EXPECT_EQ(s.sys_error(), ECONNREFUSED);
  EXPECT_FALSE(socket.valid());
}

TEST(ConnectTest, UnresolvableNameIsServerUnavailable) {
  Socket socket;
  EXPECT_EQ(connect_tcp("no-such-host.invalid", 4747, &socket).code(), status::kServerUnavailable);
}

TEST(ConnectTest, ConnectsByNameAndByLiteral) {
  Listener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).ok());
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Socket client, server;
    Status s = connect_tcp(host, listener.port(), &client);
    if (!s.ok() && std::string(host) == "localhost") continue;  // resolves to ::1 only
    ASSERT_TRUE(s.ok()) << host << ": " << s.to_string();
    ASSERT_TRUE(listener.accept(&server).ok());
    ASSERT_TRUE(client.write_all("ping", 4).ok());
    char text[4];
    ASSERT_TRUE(server.read_exact(text, 4).ok());
    EXPECT_EQ(std::string(text, 4), "ping");
  }
}

TEST(ListenerTest, ShutdownWakesAccept) {
  Listener listener;
  ASSERT_TRUE(listener.listen("", 0).ok());
  EXPECT_NE(listener.port(), 0);
  Status result;
  std::thread acceptor([&] {
    Socket socket;
    result = listener.accept(&socket);
  });
  listener.shutdown();
  acceptor.join();
  EXPECT_FALSE(result.ok());
}

TEST(ListenerTest, BadAddressFails) {
  Listener listener;
  EXPECT_FALSE(listener.listen("203.0.113.77", 0).ok());  // not ours
  EXPECT_FALSE(listener.listen("not an address", 0).ok());
}

}  // namespace
}  // namespace rpc
