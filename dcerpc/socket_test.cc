// TCP helpers: gathered writes beyond IOV_MAX and across partial sends,
// exact reads, EOF, and the statuses of connection failures.
#include "dcerpc/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <climits>
#include <thread>
#include <vector>

#include "platform/fault_injection.h"

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
  std::thread reader([&] { ASSERT_TRUE(b_.read_exact(received.data(), received.size()).is_ok()); });
  ASSERT_TRUE(a_.write_all(pieces).is_ok());
  reader.join();
  EXPECT_TRUE(received == source);
}

TEST_F(SocketPairTest, EofIsReportedAsPeerClosed) {
  const std::uint8_t bytes[3] = {1, 2, 3};
  ASSERT_TRUE(a_.write_all(bytes, 3).is_ok());
  a_.close();
  std::uint8_t buffer[8];
  Status s = b_.read_exact(buffer, sizeof buffer);
  EXPECT_FALSE(s.is_ok());
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
  EXPECT_FALSE(result.is_ok());
}

// A bounded socket ends a wait on a silent peer instead of waiting for ever,
// on both directions, and says so with kCallCancelled.
TEST_F(SocketPairTest, StallBoundEndsReadsAndWritesThatMakeNoProgress) {
  a_.set_stall_timeout(200);
  std::uint8_t byte;
  Status s = a_.read_exact(&byte, 1);
  EXPECT_EQ(s.code(), status::kCallCancelled) << s.to_string();
  EXPECT_EQ(s.sys_error(), ETIMEDOUT);

  // b_ never reads: the write fills the buffers and then stalls.
  std::vector<std::uint8_t> data(16 << 20);
  s = a_.write_all(data.data(), data.size());
  EXPECT_EQ(s.code(), status::kCallCancelled) << s.to_string();
}

TEST_F(SocketPairTest, StallBoundLetsATrickleThrough) {
  a_.set_stall_timeout(300);
  std::thread writer([&] {
    for (std::uint8_t i = 0; i < 6; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ASSERT_TRUE(b_.write_all(&i, 1).is_ok());
    }
  });
  std::uint8_t bytes[6];
  EXPECT_TRUE(a_.read_exact(bytes, 6).is_ok());  // 600 ms in all, never 300 without a byte
  writer.join();
}

TEST_F(SocketPairTest, WaitReadableReportsDataOrTheTimeOut) {
  EXPECT_EQ(a_.wait_readable(50).code(), status::kCallCancelled);
  ASSERT_TRUE(b_.write_all("x", 1).is_ok());
  EXPECT_TRUE(a_.wait_readable(50).is_ok());
  b_.close();
  char c[2];
  ASSERT_TRUE(a_.read_exact(c, 1).is_ok());
  EXPECT_TRUE(a_.wait_readable(-1).is_ok());  // EOF is readable; the read tells
}

TEST(ConnectTest, SetsTheUserTimeoutOnEveryConnection) {
  Listener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).is_ok());
  Socket client, server;
  ASSERT_TRUE(connect_tcp("127.0.0.1", listener.port(), &client).is_ok());
  ASSERT_TRUE(listener.accept(&server).is_ok());
  EXPECT_EQ(server.peer_address(), "127.0.0.1");
  EXPECT_EQ(server.peer_name().rfind("127.0.0.1:", 0), 0u) << server.peer_name();
  for (const Socket* socket : {&client, &server}) {
    unsigned value = 0;
    socklen_t size = sizeof value;
    ASSERT_EQ(getsockopt(socket->fd(), IPPROTO_TCP, TCP_USER_TIMEOUT, &value, &size), 0);
    EXPECT_EQ(value, static_cast<unsigned>(kTcpUserTimeoutMs));
  }
}

// A listener whose accept queue is full drops new SYNs, as a server that
// stopped accepting does: the connect ends at its bound.
TEST(ConnectTest, UnansweredHandshakeEndsAtTheConnectBound) {
  set_test_bound("rpc.connect", 500);
  Listener listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0, 0).is_ok());
  std::vector<Socket> queued;
  Status s;
  for (int i = 0; i < 8; ++i) {
    Socket socket;
    s = connect_tcp("127.0.0.1", listener.port(), &socket);
    if (!s.is_ok()) break;
    queued.push_back(std::move(socket));
  }
  set_test_bound("rpc.connect", kConnectTimeoutMs);
  EXPECT_EQ(s.code(), status::kServerUnavailable) << s.to_string();
  EXPECT_EQ(s.sys_error(), ETIMEDOUT);
}

TEST(ConnectTest, RefusedPortIsServerUnavailable) {
  // Take a free port and close it again: nothing listens there.
  std::uint16_t port;
  {
    Listener listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0).is_ok());
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
  ASSERT_TRUE(listener.listen("127.0.0.1", 0).is_ok());
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Socket client, server;
    Status s = connect_tcp(host, listener.port(), &client);
    if (!s.is_ok() && std::string(host) == "localhost") continue;  // resolves to ::1 only
    ASSERT_TRUE(s.is_ok()) << host << ": " << s.to_string();
    ASSERT_TRUE(listener.accept(&server).is_ok());
    ASSERT_TRUE(client.write_all("ping", 4).is_ok());
    char text[4];
    ASSERT_TRUE(server.read_exact(text, 4).is_ok());
    EXPECT_EQ(std::string(text, 4), "ping");
  }
}

TEST(ListenerTest, ShutdownWakesAccept) {
  Listener listener;
  ASSERT_TRUE(listener.listen("", 0).is_ok());
  EXPECT_NE(listener.port(), 0);
  Status result;
  std::thread acceptor([&] {
    Socket socket;
    result = listener.accept(&socket);
  });
  listener.shutdown();
  acceptor.join();
  EXPECT_FALSE(result.is_ok());
}

TEST(ListenerTest, BadAddressFails) {
  Listener listener;
  EXPECT_FALSE(listener.listen("203.0.113.77", 0).is_ok());  // not ours
  EXPECT_FALSE(listener.listen("not an address", 0).is_ok());
}

}  // namespace
}  // namespace rpc
