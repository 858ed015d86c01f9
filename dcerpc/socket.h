// TCP helpers for both sides of the runtime: connect, listen, accept, exact
// reads, gathered writes, shutdown. socket_posix.cc implements them on BSD
// sockets, socket_windows.cc on Winsock 2 (which the first call starts);
// both resolve and try addresses through socket_addresses.h, and share
// socket_common.cc. A Socket may be read by one thread and
// written by another at the same time; `shutdown` may be called from any
// thread to wake a blocked reader; `close` only once nobody else uses it.
// Sockets are opened close-on-exec, with TCP_NODELAY, keepalive probes (idle
// 10 s, every 5 s) and TCP_USER_TIMEOUT of kTcpUserTimeoutMs, so that a
// vanished peer, or sent bytes that stay unacknowledged, end the connection
// within a minute instead of the kernel's quarter of an hour. Connecting is
// bounded by kConnectTimeoutMs. Writes never raise SIGPIPE.
//
// Bounds a test may shorten (platform/fault_injection.h): "rpc.connect" and
// "rpc.tcp_user_timeout".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "dcerpc/rpc_status.h"

namespace rpc {

// How long connecting to one server may take, all its addresses together.
constexpr int kConnectTimeoutMs = 20000;
// How long sent bytes may stay unacknowledged (TCP_USER_TIMEOUT).
constexpr int kTcpUserTimeoutMs = 60000;

// One piece of a gathered write.
struct ConstBuffer {
  const void* data;
  std::size_t size;
};
// One piece of a scattered read.
struct MutableBuffer {
  void* data;
  std::size_t size;
};

// The system's handle of a socket: a descriptor on Linux, a SOCKET on
// Windows (INVALID_SOCKET is -1 here too).
using NativeSocket = std::intptr_t;

class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket fd) : fd_(fd) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  NativeSocket fd() const { return fd_; }
  // The connected peer as "ADDR:PORT" ("[V6]:PORT"), or "an unknown peer".
  std::string peer_name() const;
  // The connected peer's address alone ("192.0.2.7", "::1"), or "" when it
  // cannot be had.
  std::string peer_address() const;
  NativeSocket release();

  // Bounds every later blocking read and write of this socket: a read that
  // receives nothing, or a write whose bytes the kernel takes none of, for
  // `milliseconds` fails with kCallCancelled (errno ETIMEDOUT). Progress
  // restarts the bound, so a slow peer that keeps moving never trips it.
  // 0 = no bound (the default).
  void set_stall_timeout(int milliseconds);

  // Reads exactly `size` bytes. EOF before the first byte or midway:
  // Status::closed_by_peer; a stall (see above) kCallCancelled; other failures
  // kCallFailed with the errno.
  Status read_exact(void* data, std::size_t size);
  // Reads what is available (at least one byte, blocking until then);
  // `*received` is the count. EOF: Status::closed_by_peer.
  Status read_some(void* data, std::size_t capacity, std::size_t* received);
#ifndef _WIN32
  // read_some into the pieces in order, in one system call (at most 64
  // pieces; the server's, which runs on Linux only).
  Status read_some(std::span<const MutableBuffer> buffers, std::size_t* received);
  // receive_now into the pieces, as read_some does.
  Status receive_now(std::span<const MutableBuffer> buffers, std::size_t* received);
#endif
  // Writes every byte of every buffer, in order, with as few sendmsg calls as
  // the kernel allows (IOV_MAX pieces per call, partial writes resumed).
  // Failure: kCallFailed with the errno (EPIPE/ECONNRESET when the peer left),
  // kCallCancelled after a stall.
  Status write_all(std::span<const ConstBuffer> buffers);
  Status write_all(const void* data, std::size_t size);

  // Without waiting: sends `size` bytes if the socket takes them all at
  // once, else kCallFailed (sys_error EAGAIN / WSAEWOULDBLOCK when it took
  // fewer; the stream is then unusable).
  Status send_now(const void* data, std::size_t size);
  // Without waiting: reads what has arrived, up to `capacity`. OK with
  // *received 0 when nothing has; Status::closed_by_peer at EOF; other
  // failures kCallFailed with the system's error.
  Status receive_now(void* data, std::size_t capacity, std::size_t* received);
  // Without waiting: true when a byte, the end of the stream or an error is
  // there to be read.
  bool input_pending() const;

  // Waits until the socket has bytes to read (or EOF or an error, which the
  // next read reports), at most `milliseconds` (negative: no bound).
  // kCallCancelled when the time ran out.
  Status wait_readable(int milliseconds);

  // shutdown(SHUT_RDWR): wakes a blocked reader/writer on any thread. The
  // descriptor stays open until close().
  void shutdown();
  // Shuts down the sending side only (the peer reads EOF).
  void shutdown_write();
  void close();

 private:
  // Moves (*first, *done_in_first), a position in `buffers`, past `sent`
  // more bytes written.
  static void skip_sent(std::span<const ConstBuffer> buffers, std::size_t sent,
                        std::size_t* first, std::size_t* done_in_first);

  NativeSocket fd_ = -1;
  int stall_timeout_ms_ = 0;
};

// Resolves `host` (IPv4 or IPv6 literal, or a name; an IPv6 literal may be in
// brackets) and connects to the first address that answers, all within
// kConnectTimeoutMs. Any failure to resolve or reach the server, the time-out
// included (errno ETIMEDOUT), is kServerUnavailable.
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
  NativeSocket fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace rpc
