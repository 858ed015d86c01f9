// What connect_tcp and Listener::listen do the same on every system: resolve
// the name, then try each address in the resolver's order until one
// connects (or binds and listens), keeping the error of the last attempt.
// Only the socket calls of an attempt are the system's: socket_posix.cc and
// socket_windows.cc pass them in, with their system's error codes. Both
// include this header after their system's resolver header (<netdb.h>,
// <ws2tcpip.h>), which declares addrinfo and getaddrinfo. Internal to the
// sockets; no shared state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "dcerpc/rpc_status.h"
#include "dcerpc/socket.h"
#include "platform/fault_injection.h"

namespace rpc::socket_internal {

using Clock = std::chrono::steady_clock;

// The port a bound socket got, from what getsockname wrote.
inline std::uint16_t bound_port(const sockaddr_storage& bound) {
  const std::uint16_t network = bound.ss_family == AF_INET6
                                    ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                    : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port;
  return ntohs(network);
}

// The system's codes for what the loop itself concludes, and its wording of
// a resolver failure.
struct SystemErrors {
  int refused;                             // connecting, when there was no address to try
  int timed_out;                           // connecting, when the bound ran out before an address
  int unavailable;                         // listening, when there was no address to try
  std::string (*resolve_failure)(int rc);  // getaddrinfo's code as text
};

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) freeaddrinfo(head);
  }
};

// "[::1]" -> "::1"; anything else unchanged.
inline std::string strip_brackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// Connects to `host`:`port`: `attempt(const addrinfo&, Clock::time_point
// deadline)` makes the socket, connects it within the deadline and keeps it,
// returning 0, or closes it and returns the system's error. All addresses
// together get kConnectTimeoutMs.
template <typename Attempt>
Status connect_each_address(const std::string& host, std::uint16_t port, const SystemErrors& errors,
                            Attempt attempt) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  const std::string name = strip_brackets(host);
  const char* node = name.empty() ? nullptr : name.c_str();
  const std::string service = std::to_string(port);
  AddrInfoList list;
  int rc = getaddrinfo(node, service.c_str(), &hints, &list.head);
  if (rc != 0) {
    // Loopback-only hosts have no configured address; retry without the filter.
    hints.ai_flags = 0;
    rc = getaddrinfo(node, service.c_str(), &hints, &list.head);
  }
  if (rc != 0) {
    return Status::failure(status::kServerUnavailable,
                           "resolve " + host + ": " + errors.resolve_failure(rc));
  }
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(test_bound_ms("rpc.connect", kConnectTimeoutMs));
  int last_error = errors.refused;
  for (const addrinfo* ai = list.head; ai; ai = ai->ai_next) {
    if (Clock::now() >= deadline) {
      last_error = errors.timed_out;
      break;
    }
    last_error = attempt(*ai, deadline);
    if (last_error == 0) return Status::ok();
  }
  return Status::failure(status::kServerUnavailable, "connect " + host + ":" + std::to_string(port),
                         last_error);
}

// Listens on `address`:`port` (127.0.0.1 when `address` is empty; port 0: a
// free one): `attempt(const addrinfo&)` makes the socket, binds it, listens
// and keeps it, returning 0, or closes it and returns the system's error.
template <typename Attempt>
Status listen_on_each_address(const std::string& address, std::uint16_t port,
                              const SystemErrors& errors, Attempt attempt) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  const std::string name = address.empty() ? "127.0.0.1" : strip_brackets(address);
  const std::string service = std::to_string(port);
  AddrInfoList list;
  const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list.head);
  if (rc != 0) {
    return Status::failure(status::kServerUnavailable,
                           "resolve " + address + ": " + errors.resolve_failure(rc));
  }
  int last_error = errors.unavailable;
  for (const addrinfo* ai = list.head; ai; ai = ai->ai_next) {
    last_error = attempt(*ai);
    if (last_error == 0) return Status::ok();
  }
  return Status::failure(status::kServerUnavailable,
                         "listen " + address + ":" + std::to_string(port), last_error);
}

}  // namespace rpc::socket_internal
