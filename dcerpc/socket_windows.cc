// Winsock 2 sockets for the runtime on Windows, started once by the first
// socket made. The same contracts as on Linux (socket.h), with these
// differences, all forced by Winsock:
// - There is no TCP_USER_TIMEOUT: TCP_MAXRT (whole seconds) bounds the
//   retransmissions of sent bytes instead, where the system offers it.
//   Keepalive probes are set with SIO_KEEPALIVE_VALS.
// - Connected sockets are non-blocking throughout, and every wait is a
//   WSAPoll bounded by the stall bound: SO_RCVTIMEO and SO_SNDTIMEO leave a
//   socket in an undefined state when they expire, and Wine 8.0 does not
//   end a blocking recv or send by them at all.
// - A listening socket cannot be shut down to wake accept(): shutdown()
//   closes it, which ends an accept() under way.
#include "dcerpc/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "dcerpc/socket_addresses.h"
#include "platform/fault_injection.h"

namespace rpc {
namespace {

using socket_internal::bound_port;
using socket_internal::Clock;
using socket_internal::connect_each_address;
using socket_internal::listen_on_each_address;
using socket_internal::SystemErrors;

constexpr NativeSocket kNoSocket = -1;
// TCP_MAXRT of <ws2ipdef.h>, which mingw-w64's headers lack.
constexpr int kTcpMaxRetransmitSeconds = 5;

SOCKET native(NativeSocket socket) { return static_cast<SOCKET>(socket); }

// WSAStartup once per process; never undone (threads may use sockets until
// the process ends).
int start_winsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  return result;
}

void set_stream_options(SOCKET s) {
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
  tcp_keepalive keepalive{};
  keepalive.onoff = 1;
  keepalive.keepalivetime = 10000;
  keepalive.keepaliveinterval = 5000;
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr,
           nullptr);
  const DWORD bound_ms = test_bound_ms("rpc.tcp_user_timeout", kTcpUserTimeoutMs);
  const DWORD seconds = std::max<DWORD>(1, (bound_ms + 999) / 1000);
  setsockopt(s, IPPROTO_TCP, kTcpMaxRetransmitSeconds, reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

bool set_blocking(SOCKET s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

// Connects `s` to `address` within `deadline`: 0, or the Winsock error.
// select() rather than WSAPoll, which older systems never tell of a refused
// connection.
int connect_within(SOCKET s, const sockaddr* address, int length, Clock::time_point deadline) {
  if (!set_blocking(s, false)) return WSAGetLastError();
  if (::connect(s, address, length) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int left = milliseconds_until(deadline);
    timeval bound{left / 1000, (left % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, &bound);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    if (FD_ISSET(s, &failed)) {
      int so_error = 0;
      int size = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &size);
      return so_error != 0 ? so_error : WSAECONNREFUSED;
    }
  }
  return 0;
}

// Whether `s` is ready for `events` (or has ended or failed), waiting up to
// `milliseconds` (negative: no bound): 1, 0, or SOCKET_ERROR.
int poll_for(SOCKET s, SHORT events, int milliseconds) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = events;
  return WSAPoll(&p, 1, milliseconds);
}

int poll_readable(SOCKET s, int milliseconds) { return poll_for(s, POLLRDNORM, milliseconds); }

std::string resolve_failure(int rc) { return "Winsock error " + std::to_string(rc); }

constexpr SystemErrors kErrors{WSAECONNREFUSED, WSAETIMEDOUT, WSAEADDRNOTAVAIL, resolve_failure};

}  // namespace

std::string Socket::peer_name() const {
  sockaddr_storage address{};
  int length = sizeof address;
  if (::getpeername(native(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return "an unknown peer";
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return "an unknown peer";
}

NativeSocket Socket::release() {
  NativeSocket fd = fd_;
  fd_ = kNoSocket;
  return fd;
}

void Socket::set_stall_timeout(int milliseconds) {
  // Kept for the waits of read_some and write_all.
  stall_timeout_ms_ = std::max(0, milliseconds);
}

Status Socket::read_some(void* data, std::size_t capacity, std::size_t* received) {
  const int length = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
  for (;;) {
    const int n = ::recv(native(fd_), static_cast<char*>(data), length, 0);
    if (n > 0) {
      *received = static_cast<std::size_t>(n);
      return Status::ok();
    }
    if (n == 0) return Status::closed_by_peer("connection closed by the peer");
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return Status::failure(status::kCallFailed, "recv", error);
    const int ready = poll_readable(native(fd_), stall_timeout_ms_ > 0 ? stall_timeout_ms_ : -1);
    if (ready == 0) {
      return Status::failure(status::kCallCancelled,
                             "nothing received for " + std::to_string(stall_timeout_ms_) + " ms",
                             WSAETIMEDOUT);
    }
    if (ready == SOCKET_ERROR) return Status::failure(status::kCallFailed, "WSAPoll", WSAGetLastError());
  }
}

Status Socket::write_all(std::span<const ConstBuffer> buffers) {
  // As on Linux: up to 256 pieces a call, from the stack.
  constexpr std::size_t kPiecesPerCall = 256;
  WSABUF pieces[kPiecesPerCall];
  std::size_t done_in_first = 0;  // bytes of buffers[first] already sent
  std::size_t first = 0;
  while (first < buffers.size()) {
    DWORD count = 0;
    for (std::size_t next = first; next < buffers.size() && count < kPiecesPerCall; ++next) {
      const auto* base = static_cast<const std::uint8_t*>(buffers[next].data);
      const std::size_t skip = next == first ? done_in_first : 0;
      pieces[count].buf = reinterpret_cast<char*>(const_cast<std::uint8_t*>(base) + skip);
      pieces[count].len = static_cast<ULONG>(buffers[next].size - skip);
      ++count;
    }
    DWORD sent_now = 0;
    if (WSASend(native(fd_), pieces, count, &sent_now, 0, nullptr, nullptr) != 0) {
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) return Status::failure(status::kCallFailed, "send", error);
      const int ready =
          poll_for(native(fd_), POLLWRNORM, stall_timeout_ms_ > 0 ? stall_timeout_ms_ : -1);
      if (ready == 0) {
        return Status::failure(status::kCallCancelled,
                               "peer took nothing for " + std::to_string(stall_timeout_ms_) +
                                   " ms",
                               WSAETIMEDOUT);
      }
      if (ready == SOCKET_ERROR) {
        return Status::failure(status::kCallFailed, "WSAPoll", WSAGetLastError());
      }
      continue;
    }
    skip_sent(buffers, sent_now, &first, &done_in_first);
  }
  return Status::ok();
}

Status Socket::send_now(const void* data, std::size_t size) {
  const int sent = ::send(native(fd_), static_cast<const char*>(data), static_cast<int>(size), 0);
  if (sent == static_cast<int>(size)) return Status::ok();
  return Status::failure(status::kCallFailed, "send",
                         sent == SOCKET_ERROR ? WSAGetLastError() : WSAEWOULDBLOCK);
}

Status Socket::receive_now(void* data, std::size_t capacity, std::size_t* received) {
  *received = 0;
  const int length = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
  const int got = ::recv(native(fd_), static_cast<char*>(data), length, 0);
  if (got > 0) {
    *received = static_cast<std::size_t>(got);
    return Status::ok();
  }
  if (got == 0) return Status::closed_by_peer("connection closed by the peer");
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return Status::ok();
  return Status::failure(status::kCallFailed, "recv", error);
}

bool Socket::input_pending() const { return poll_readable(native(fd_), 0) != 0; }

Status Socket::wait_readable(int milliseconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const int ready = poll_readable(native(fd_), milliseconds < 0 ? -1 : milliseconds_until(deadline));
  if (ready > 0) return Status::ok();
  if (ready == 0) {
    return Status::failure(status::kCallCancelled,
                           "nothing received for " + std::to_string(milliseconds) + " ms",
                           WSAETIMEDOUT);
  }
  return Status::failure(status::kCallFailed, "WSAPoll", WSAGetLastError());
}

void Socket::shutdown() {
  if (fd_ != kNoSocket) ::shutdown(native(fd_), SD_BOTH);
}

void Socket::shutdown_write() {
  if (fd_ != kNoSocket) ::shutdown(native(fd_), SD_SEND);
}

void Socket::close() {
  if (fd_ != kNoSocket) {
    ::closesocket(native(fd_));
    fd_ = kNoSocket;
  }
}

Status connect_tcp(const std::string& host, std::uint16_t port, Socket* out) {
  if (const int error = start_winsock(); error != 0) {
    return Status::failure(status::kServerUnavailable, "WSAStartup", error);
  }
  const auto attempt = [&](const addrinfo& ai, Clock::time_point deadline) {
    const SOCKET s = WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    // Set before the handshake, so that unanswered SYNs end by it as well.
    set_stream_options(s);
    const int error = connect_within(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen), deadline);
    if (error == 0) {
      *out = Socket(static_cast<NativeSocket>(s));
    } else {
      ::closesocket(s);
    }
    return error;
  };
  return connect_each_address(host, port, kErrors, attempt);
}

Status Listener::listen(const std::string& address, std::uint16_t port, int backlog) {
  if (fd_ != kNoSocket) return Status::failure(status::kInvalidArg, "already listening");
  if (const int error = start_winsock(); error != 0) {
    return Status::failure(status::kServerUnavailable, "WSAStartup", error);
  }
  const auto attempt = [&](const addrinfo& ai) {
    const SOCKET s = WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    // SO_REUSEADDR would let another program take the port on Windows; the
    // exclusive use is what Linux gives by default.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) != 0 || ::listen(s, backlog) != 0) {
      const int error = WSAGetLastError();
      ::closesocket(s);
      return error;
    }
    sockaddr_storage bound{};
    int length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = bound_port(bound);
    fd_ = static_cast<NativeSocket>(s);
    return 0;
  };
  return listen_on_each_address(address, port, kErrors, attempt);
}

Status Listener::accept(Socket* out) {
  const NativeSocket listening = fd_;
  if (listening == kNoSocket) return Status::failure(status::kCallFailed, "accept", WSAENOTSOCK);
  for (;;) {
    const SOCKET s = ::accept(native(listening), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      set_stream_options(s);
      if (!set_blocking(s, false)) {
        const int error = WSAGetLastError();
        ::closesocket(s);
        return Status::failure(status::kCallFailed, "accept", error);
      }
      *out = Socket(static_cast<NativeSocket>(s));
      return Status::ok();
    }
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET) continue;  // the peer left before we took it
    return Status::failure(status::kCallFailed, "accept", error);
  }
}

void Listener::shutdown() { close(); }

void Listener::close() {
  if (fd_ != kNoSocket) {
    ::closesocket(native(fd_));
    fd_ = kNoSocket;
  }
}

}  // namespace rpc
