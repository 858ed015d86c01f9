// The server side of the runtime: a listener thread and one thread per
// connection, bind negotiation (NDR 2.0 / NDR64, feature negotiation,
// association groups), request reassembly with hard limits, faults, and
// single- or multi-fragment responses. Calls on different connections run in
// parallel; one call at a time per connection (no concurrent multiplexing).
// start/stop/stats may be called from any thread, but start and stop not
// concurrently with each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rpc/runtime/pdu.h"
#include "rpc/runtime/rpc_status.h"

namespace rpc {

struct ServerLimits {
  // Connections served at once; a connection beyond it is closed at once.
  std::size_t max_connections = 64;
  // Largest reassembled request stub; a bigger call gets a fault and the
  // connection is closed. alloc_hint never reserves more than this.
  std::size_t max_request_stub = 4u << 20;
  // Upper bound of the negotiated fragment size (never below 1432 nor above
  // 65535 - 7).
  std::uint16_t max_fragment = kDefaultMaxFragment;
  // How long a connection may take to deliver one complete PDU, counted from
  // the moment the server waits for it (after the previous call has been
  // answered), so that neither silence nor a trickle of bytes holds a
  // connection, and with it an association group, for longer. Nothing is read
  // while a call is being dispatched, so a slow call never counts. The
  // connection is then closed as if the peer had left. 0 = no bound.
  int idle_timeout_ms = 180000;
};

// One line about something the server did on its own (an idle connection
// closed, accepting that failed or works again), without a line end. Called
// from the listener and connection threads, possibly concurrently, never with
// a lock of the server held.
using ServerEventSink = std::function<void(const std::string&)>;

struct ServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0 = pick a free one
  bool accept_ndr64 = true;
  ServerLimits limits;
  // Receives the event lines; may be empty. The runtime writes nothing itself.
  ServerEventSink on_event;
};

// What the runtime knows about a call when it hands it over.
struct CallInfo {
  std::uint32_t assoc_group = 0;
  Syntax syntax = Syntax::Ndr20;
  std::uint16_t opnum = 0;
  std::uint16_t context_id = 0;
  std::uint32_t call_id = 0;
};

struct DispatchResult {
  enum class Kind {
    Reply,  // send `reply` as the response stub
    Fault,  // send a fault with `fault_status`
    Drop,   // close the connection without answering
  };
  Kind kind = Kind::Reply;
  std::uint32_t fault_status = 0;
  bool did_not_execute = false;

  static DispatchResult reply() { return {}; }
  static DispatchResult fault(std::uint32_t status, bool did_not_execute) {
    return {Kind::Fault, status, did_not_execute};
  }
  static DispatchResult drop() { return {Kind::Drop, 0, false}; }
};

// Receives decoded calls. Called concurrently from connection threads; must
// outlive Server::stop().
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // `stub` is the reassembled request stub; `reply` is empty on entry and
  // receives the response stub. Opnums are already checked against the
  // interface's procedure count.
  virtual DispatchResult dispatch(const CallInfo& call, std::span<const std::uint8_t> stub,
                                  std::vector<std::uint8_t>* reply) = 0;
  // The last connection of association group `group` has closed. Called once
  // per group, on the thread of that last connection; stop() returns only after
  // every group has ended.
  virtual void group_ended(std::uint32_t group) = 0;
};

// Counters for tests and logs; a consistent snapshot is not guaranteed.
struct ServerStats {
  std::uint64_t connections_accepted = 0;
  std::uint64_t connections_refused = 0;  // over max_connections
  std::uint64_t open_connections = 0;
  std::uint64_t binds_ndr20 = 0;  // binds that accepted NDR 2.0
  std::uint64_t binds_ndr64 = 0;  // binds that accepted NDR64
  std::uint64_t bind_naks = 0;
  std::uint64_t calls = 0;            // requests handed to the dispatcher
  std::uint64_t faults = 0;           // fault PDUs sent
  std::uint64_t protocol_errors = 0;  // connections dropped for a bad PDU
  std::uint64_t groups_ended = 0;
  std::uint64_t idle_closed = 0;      // connections closed by idle_timeout_ms
  std::uint64_t accept_failures = 0;  // accept calls that failed (e.g. no descriptor)
};

class Server {
 public:
  Server(ServerOptions options, const SyntaxId& interface_id, std::uint16_t procedure_count,
         Dispatcher* dispatcher);
  ~Server();  // stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens and starts the listener thread. Fails (kServerUnavailable, or
  // kInvalidArg when already started) if the address cannot be bound.
  // When accepting fails (out of descriptors or memory: EMFILE, ENFILE,
  // ENOBUFS, ENOMEM, or anything else), the listener reports it once through
  // on_event, retries after a pause that grows from 50 ms to 1 s while the
  // failures last (reaping finished connections meanwhile), and reports again
  // once a connection is accepted; it never stops serving on its own.
  Status start();
  // The bound port once started.
  std::uint16_t port() const;
  // Closes the listener, shuts every connection down and joins every thread;
  // ends the remaining association groups. Idempotent.
  void stop();
  ServerStats stats() const;

  // The fragment size the server grants a client that offered `max_xmit` and
  // `max_recv` (both fields of the ack).
  static std::uint16_t negotiate_fragment(std::uint16_t client_max_xmit,
                                          std::uint16_t client_max_recv, std::uint16_t server_max);

  struct Impl;  // defined in server.cc only

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace rpc
