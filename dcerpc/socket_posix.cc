// POSIX TCP sockets for the runtime. EINTR is retried everywhere; sends use
// MSG_NOSIGNAL so a closed peer is an error, not a signal.
#include "dcerpc/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "dcerpc/socket_addresses.h"
#include "platform/fault_injection.h"

namespace rpc {
namespace {

using socket_internal::bound_port;
using socket_internal::Clock;
using socket_internal::connect_each_address;
using socket_internal::listen_on_each_address;
using socket_internal::SystemErrors;

void set_stream_options(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  int idle = 10, interval = 5, count = 3;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  // Keepalive probes do not run while data is unacknowledged; this bound
  // does, and with keepalive on it also replaces the probe count.
  unsigned user_timeout = test_bound_ms("rpc.tcp_user_timeout", kTcpUserTimeoutMs);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Connects `fd` to `address` within `deadline`: 0, or the errno.
int connect_within(int fd, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  int error = 0;
  if (::connect(fd, address, length) != 0) error = errno;
  if (error == EINPROGRESS || error == EINTR) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
      const int ready = ::poll(&p, 1, milliseconds_until(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return errno;
      if (ready == 0) return ETIMEDOUT;
      break;
    }
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  }
  if (error != 0) return error;
  if (fcntl(fd, F_SETFL, flags) != 0) return errno;
  return 0;
}

// The failure of a blocking call on a socket whose stall bound ran out.
bool stalled(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

std::string resolve_failure(int rc) { return gai_strerror(rc); }

constexpr SystemErrors kErrors{ECONNREFUSED, ETIMEDOUT, EADDRNOTAVAIL, resolve_failure};

}  // namespace

std::string Socket::peer_name() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return "an unknown peer";
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return "an unknown peer";
}

NativeSocket Socket::release() {
  NativeSocket fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::set_stall_timeout(int milliseconds) {
  stall_timeout_ms_ = std::max(0, milliseconds);
  timeval bound{};
  bound.tv_sec = stall_timeout_ms_ / 1000;
  bound.tv_usec = (stall_timeout_ms_ % 1000) * 1000;
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

Status Socket::read_some(void* data, std::size_t capacity, std::size_t* received) {
  const MutableBuffer whole{data, capacity};
  return read_some(std::span<const MutableBuffer>(&whole, 1), received);
}

namespace {

// One recvmsg into up to 64 of `buffers`.
ssize_t receive_pieces(int fd, std::span<const MutableBuffer> buffers, int flags) {
  constexpr std::size_t kPiecesPerCall = 64;
  iovec iov[kPiecesPerCall];
  const std::size_t count = std::min(buffers.size(), kPiecesPerCall);
  for (std::size_t i = 0; i < count; ++i) iov[i] = {buffers[i].data, buffers[i].size};
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = count;
  return ::recvmsg(fd, &message, flags);
}

}  // namespace

Status Socket::read_some(std::span<const MutableBuffer> buffers, std::size_t* received) {
  for (;;) {
    const ssize_t n = receive_pieces(static_cast<int>(fd_), buffers, 0);
    if (n > 0) {
      *received = static_cast<std::size_t>(n);
      return Status::ok();
    }
    if (n == 0) return Status::closed_by_peer("connection closed by the peer");
    if (errno == EINTR) continue;
    if (stalled(errno) && stall_timeout_ms_ > 0) {
      return Status::failure(status::kCallCancelled,
                             "nothing received for " + std::to_string(stall_timeout_ms_) + " ms",
                             ETIMEDOUT);
    }
    return Status::failure(status::kCallFailed, "recvmsg", errno);
  }
}

Status Socket::receive_now(std::span<const MutableBuffer> buffers, std::size_t* received) {
  *received = 0;
  for (;;) {
    const ssize_t n = receive_pieces(static_cast<int>(fd_), buffers, MSG_DONTWAIT);
    if (n > 0) {
      *received = static_cast<std::size_t>(n);
      return Status::ok();
    }
    if (n == 0) return Status::closed_by_peer("connection closed by the peer");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Status::ok();
    return Status::failure(status::kCallFailed, "recvmsg", errno);
  }
}

Status Socket::write_all(std::span<const ConstBuffer> buffers) {
  // Up to 256 pieces a system call, from the stack: a 1 MiB request in
  // 5840-byte fragments is 362 pieces, so two calls and no allocation.
  // Empty pieces are harmless.
  constexpr std::size_t kPiecesPerCall = 256;
  iovec iov[kPiecesPerCall];
  std::size_t done_in_first = 0;  // bytes of buffers[first] already sent
  std::size_t first = 0;
  while (first < buffers.size()) {
    std::size_t count = 0;
    for (std::size_t next = first; next < buffers.size() && count < kPiecesPerCall; ++next) {
      const auto* base = static_cast<const std::uint8_t*>(buffers[next].data);
      std::size_t skip = next == first ? done_in_first : 0;
      iov[count++] = {const_cast<std::uint8_t*>(base) + skip, buffers[next].size - skip};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (stalled(errno) && stall_timeout_ms_ > 0) {
        return Status::failure(status::kCallCancelled,
                             "peer took nothing for " + std::to_string(stall_timeout_ms_) + " ms",
                             ETIMEDOUT);
      }
      return Status::failure(status::kCallFailed, "send", errno);
    }
    skip_sent(buffers, static_cast<std::size_t>(n), &first, &done_in_first);
  }
  return Status::ok();
}

Status Socket::send_now(const void* data, std::size_t size) {
  ssize_t sent;
  do {
    sent = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent == static_cast<ssize_t>(size)) return Status::ok();
  return Status::failure(status::kCallFailed, "send", sent < 0 ? errno : EAGAIN);
}

Status Socket::receive_now(void* data, std::size_t capacity, std::size_t* received) {
  *received = 0;
  for (;;) {
    const ssize_t got = ::recv(fd_, data, capacity, MSG_DONTWAIT);
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return Status::ok();
    }
    if (got == 0) return Status::closed_by_peer("connection closed by the peer");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Status::ok();
    return Status::failure(status::kCallFailed, "recv", errno);
  }
}

bool Socket::input_pending() const {
  std::uint8_t byte;
  const ssize_t got = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return !(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

Status Socket::wait_readable(int milliseconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  pollfd p{static_cast<int>(fd_), POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, milliseconds < 0 ? -1 : milliseconds_until(deadline));
    if (ready > 0) return Status::ok();
    if (ready == 0) {
      return Status::failure(status::kCallCancelled,
                           "nothing received for " + std::to_string(milliseconds) + " ms",
                           ETIMEDOUT);
    }
    if (errno != EINTR) return Status::failure(status::kCallFailed, "poll", errno);
  }
}

void Socket::shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Socket::shutdown_write() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Socket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Status connect_tcp(const std::string& host, std::uint16_t port, Socket* out) {
  const auto attempt = [&](const addrinfo& ai, Clock::time_point deadline) {
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0) return errno;
    // Set before the handshake, so that unanswered SYNs end by it as well.
    set_stream_options(fd);
    const int error = connect_within(fd, ai.ai_addr, ai.ai_addrlen, deadline);
    if (error == 0) {
      *out = Socket(fd);
    } else {
      ::close(fd);
    }
    return error;
  };
  return connect_each_address(host, port, kErrors, attempt);
}

Status Listener::listen(const std::string& address, std::uint16_t port, int backlog) {
  if (fd_ >= 0) return Status::failure(status::kInvalidArg, "already listening");
  const auto attempt = [&](const addrinfo& ai) {
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0) return errno;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai.ai_addr, ai.ai_addrlen) != 0 || ::listen(fd, backlog) != 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = bound_port(bound);
    fd_ = fd;
    return 0;
  };
  return listen_on_each_address(address, port, kErrors, attempt);
}

Status Listener::accept(Socket* out) {
  for (;;) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      set_stream_options(fd);
      *out = Socket(fd);
      return Status::ok();
    }
    // Transient conditions of the accepted connection or the process: keep
    // serving.
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    return Status::failure(status::kCallFailed, "accept", errno);
  }
}

void Listener::shutdown() {
  // On Linux shutting down a listening socket wakes accept() with EINVAL.
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Listener::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace rpc
