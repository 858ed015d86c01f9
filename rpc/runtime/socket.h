// TCP helpers for both sides of the runtime: connect, listen, accept, exact
// reads, gathered writes, shutdown. A Socket may be read by one thread and
// written by another at the same time; `shutdown` may be called from any
// thread to wake a blocked reader; `close` only once nobody else uses it.
// Sockets are opened close-on-exec, with TCP_NODELAY and keepalive probes
// (idle 10 s, every 5 s, 3 probes) so that a vanished peer fails a blocked
// read within about 25 s instead of never. Writes never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "rpc/runtime/rpc_status.h"

namespace rpc {

// One piece of a gathered write.
struct ConstBuffer {
  const void* data;
  std::size_t size;
};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int release();

  // Reads exactly `size` bytes. EOF before the first byte or midway:
  // Status::PeerClosed; other failures kCallFailed with the errno.
  Status read_exact(void* data, std::size_t size);
  // Reads what is available (at least one byte, blocking until then);
  // `*received` is the count. EOF: Status::PeerClosed.
  Status read_some(void* data, std::size_t capacity, std::size_t* received);
  // Writes every byte of every buffer, in order, with as few sendmsg calls as
  // the kernel allows (IOV_MAX pieces per call, partial writes resumed).
  // Failure: kCallFailed with the errno (EPIPE/ECONNRESET when the peer left).
  Status write_all(std::span<const ConstBuffer> buffers);
  Status write_all(const void* data, std::size_t size);

  // shutdown(SHUT_RDWR): wakes a blocked reader/writer on any thread. The
  // descriptor stays open until close().
  void shutdown();
  // Shuts down the sending side only (the peer reads EOF).
  void shutdown_write();
  void close();

 private:
  int fd_ = -1;
};

// Resolves `host` (IPv4 or IPv6 literal, or a name; an IPv6 literal may be in
// brackets) and connects to the first address that answers. Any failure to
// resolve or reach the server is kServerUnavailable.
Status connect_tcp(const std::string& host, std::uint16_t port, Socket* out);

class Listener {
 public:
  Listener() = default;
  ~Listener() { close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens on `address` (a literal or a name; empty = 127.0.0.1)
  // and `port` (0 = a free one, see port()). SO_REUSEADDR is set.
  Status listen(const std::string& address, std::uint16_t port, int backlog = 128);
  std::uint16_t port() const { return port_; }
  bool valid() const { return fd_ >= 0; }

  // Blocks for the next connection; the accepted socket gets the same options
  // as a connected one. After shutdown() it fails with kCallFailed.
  Status accept(Socket* out);
  // Wakes a thread blocked in accept() (any thread may call it).
  void shutdown();
  void close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace rpc
