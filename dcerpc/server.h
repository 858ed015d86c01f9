// The server side of the runtime: a listener thread and one thread per
// connection, bind negotiation (NDR 2.0 / NDR64, feature negotiation,
// association groups that only their creator's address may join), request
// reassembly with hard limits, per-peer and overall connection caps, an allow
// list, faults, and single- or multi-fragment responses. Calls on different connections run in
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

#include "dcerpc/address_range.h"
#include "dcerpc/pdu.h"
#include "dcerpc/rpc_status.h"
#include "dcerpc/stub_pool.h"

namespace rpc {

// Memory: what one connection may hold, with the defaults.
//   read buffer        64 KiB, from accept to close (any fragment fits). The
//                      stub of a call of several fragments is read straight
//                      into its block, with the fragments that follow it.
//   request stub       up to max_request_stub (4 MiB) while a call of more
//                      than one fragment is reassembled. Blocks of 1 MiB +
//                      8 KiB come from a pool that keeps up to 32 of them
//                      between calls, server-wide; a bigger block is freed
//                      once the call is answered. alloc_hint may reserve
//                      that much address space before the bytes come; only
//                      the bytes received are touched.
//   reply              what the dispatcher returns (4 bytes for trv's
//                      procedures) plus 24 bytes of header per fragment; a
//                      buffer above 64 KiB is given back after the call.
//   thread stack       the process's default (RLIMIT_STACK, 8 MiB of address
//                      space on Debian); resident are only the pages used,
//                      a few tens of KiB.
// So one connection holds at most about 4.07 MiB of heap (64 KiB when idle),
// and the whole server, at max_connections = 512: 512 x 4.07 MiB = about
// 2.03 GiB of heap in the worst case (every connection in the middle of a
// maximal call at once), 32 MiB + 32 pooled blocks (32.3 MiB) when they are
// all idle, plus 4 GiB of stack
// address space of which a few tens of MiB are resident. A server that
// knows its calls are smaller lowers max_request_stub: at 1 MiB + 4 KiB (a
// 1 MiB chunk and its arguments) the worst case is about 0.55 GiB.
//
// When a cap below is reached, a new connection first takes the slot of the
// oldest connection that has not completed a bind (from the same address for
// the per-peer cap, from any address for the overall one), which is closed:
// connections that never speak cannot keep a real client out. A connection
// that has bound is never closed for a newcomer; when every connection under
// the cap has bound, the newcomer is closed at accept.
struct ServerLimits {
  // Connections served at once, from all peers together.
  std::size_t max_connections = 512;
  // Connections served at once from one peer address (an IPv4-mapped IPv6
  // address counts as its IPv4 address), so that one peer can never take
  // every connection from the others: 16 copies of trvc at 17 connections
  // each, plus room.
  std::size_t max_connections_per_peer = 288;
  // Largest reassembled request stub; a bigger call gets a fault and the
  // connection is closed. alloc_hint never reserves more than this.
  std::size_t max_request_stub = 4u << 20;
  // Fragments of one request; one more gets a fault and the connection is
  // closed (empty fragments would otherwise keep a call going forever
  // without reaching max_request_stub). 0 = no bound.
  std::size_t max_fragments_per_call = 4096;
  // Upper bound of the negotiated fragment size (never below 1432 nor above
  // 65535 - 7).
  std::uint16_t max_fragment = kDefaultMaxFragment;
  // How long a connection may wait before the first byte of its next PDU,
  // counted from the moment the server waits for it (after the previous
  // call has been answered). Nothing is read while a call is being
  // dispatched, so a slow call never counts. The connection is then closed
  // as if the peer had left. 0 = no bound.
  int idle_timeout_ms = 180000;
  // How long one PDU may take from its first byte to its last, so that a
  // trickle of bytes, or a frag_length beyond what is sent, cannot hold a
  // connection (and its association group). Bytes of a PDU that were read
  // together with the previous one count from the moment the server turns
  // to them. 0 = no bound.
  int pdu_timeout_ms = 30000;
};

// Something the server did on its own (an idle connection closed, a peer
// refused, accepting that failed or works again): what kind of thing, whom it
// was about, and the line a person reads, without a line end. The kind and
// the fields are what a program reads; the text is never parsed back.
struct ServerEvent {
  enum class Kind {
    ConnectionClosed,   // by a bound (idle, slow PDU, fragments) or for a newcomer
    ConnectionRefused,  // closed at accept, before a byte of it was read
    BindRefused,        // a bind named a group that is not alive or not the peer's
    AcceptFailed,       // accepting started failing; the server retries
    AcceptingAgain,     // the first connection accepted after that
  };
  Kind kind = Kind::ConnectionClosed;
  // The peer the line names, "ADDR:PORT" or "ADDR"; empty when it names none.
  std::string peer;
  std::uint32_t group = 0;  // BindRefused: the group the bind named; else 0
  std::string text;
};

// Receives the server's events. Events about one peer (a refusal, a
// connection closed by a bound or for a newcomer) are limited to one a minute
// per kind and peer address (see report_limiter.h), so that a peer's many
// connections cost one event. Called from the listener and connection
// threads, possibly concurrently, never with a lock of the server held.
using ServerEventSink = std::function<void(const ServerEvent&)>;

struct ServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0 = pick a free one
  bool accept_ndr64 = true;
  // The peers that may connect; empty = every peer. A connection from any
  // other address is closed at accept, before a byte of it is read.
  std::vector<AddressRange> allow;
  ServerLimits limits;
  // Receives the events; may be empty. The runtime writes nothing itself.
  ServerEventSink on_event;
};

// What the runtime knows about a call when it hands it over.
struct CallInfo {
  // The connection's association group: an id drawn at random from the
  // system's source (never 0, never one that is live), so that it cannot be
  // guessed. A bind may join a group only from the peer address that created
  // it, and only while the group lives; any other bind naming it gets a
  // bind_nak (reason not specified, the same answer as for an unknown id).
  std::uint32_t assoc_group = 0;
  Syntax syntax = Syntax::Ndr20;
  std::uint16_t opnum = 0;
  std::uint16_t context_id = 0;
  std::uint32_t call_id = 0;
  // The peer's address without the port ("192.0.2.7", "2001:db8::1"; an
  // IPv4-mapped IPv6 address as its IPv4 address), for per-peer decisions
  // such as rate-limiting log lines.
  std::string peer;
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
  // A call of `opnum` of more than one fragment has begun to arrive; its
  // first fragment's stub bytes are `first_stub`. Returns where the call's
  // bulk bytes begin in its stub (0: none, or not known): the stub is
  // reassembled so that stub.data() plus that offset is aligned to
  // kStubAlignment (4096), and a handler can write those bytes with O_DIRECT
  // as they are. (A single-fragment stub is passed where it lies, with no
  // such alignment, and is not announced.) Exactly one call_arrived follows,
  // once the last fragment is in or the call is abandoned, before dispatch.
  // Both are called on the connection's thread.
  virtual std::size_t call_arriving(std::uint16_t opnum, Syntax syntax,
                                    std::span<const std::uint8_t> first_stub) {
    (void)opnum;
    (void)syntax;
    (void)first_stub;
    return 0;
  }
  virtual void call_arrived(std::uint16_t opnum) { (void)opnum; }
  // The last connection of association group `group` has closed. Called once
  // per group, on the thread of that last connection; stop() returns only after
  // every group has ended.
  virtual void group_ended(std::uint32_t group) = 0;
};

// Counters for tests and logs; a consistent snapshot is not guaranteed.
struct ServerStats {
  std::uint64_t connections_accepted = 0;
  std::uint64_t connections_refused = 0;  // closed at accept, for any reason below
  std::uint64_t refused_not_allowed = 0;  // not in the allow list
  std::uint64_t refused_peer_limit = 0;   // over max_connections_per_peer
  std::uint64_t refused_limit = 0;        // over max_connections
  std::uint64_t open_connections = 0;
  std::uint64_t binds_ndr20 = 0;  // binds that accepted NDR 2.0
  std::uint64_t binds_ndr64 = 0;  // binds that accepted NDR64
  std::uint64_t bind_naks = 0;
  std::uint64_t calls = 0;                  // requests handed to the dispatcher
  std::uint64_t faults = 0;                 // fault PDUs sent
  std::uint64_t protocol_errors = 0;        // connections dropped for a bad PDU
  std::uint64_t groups_ended = 0;           // counted after group_ended() returned
  std::uint64_t idle_closed = 0;            // connections closed by idle_timeout_ms
  std::uint64_t slow_pdus = 0;              // connections closed by pdu_timeout_ms
  std::uint64_t fragment_limit_closed = 0;  // closed by max_fragments_per_call
  std::uint64_t group_refusals = 0;         // binds naming a group that is not open to them
  std::uint64_t accept_failures = 0;        // accept calls that failed (e.g. no descriptor)
  std::uint64_t unbound_evicted = 0;        // closed unbound to let a newer connection in
};

class Server {
 public:
  Server(ServerOptions options, const SyntaxId& interface_id, std::uint16_t procedure_count,
         Dispatcher* dispatcher);
  ~Server();  // stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens, without accepting: connections wait in the backlog
  // until start(). Needs whatever privilege the port needs; start() does not.
  // Fails with kServerUnavailable when the address cannot be bound, and with
  // kInvalidArg when already listening.
  Status listen();
  // Starts the listener thread, listening first when listen() was not
  // called. Fails as listen() does, with kInvalidArg when already started,
  // and with kServerUnavailable when no thread can be started.
  // When accepting fails (out of descriptors or memory: EMFILE, ENFILE,
  // ENOBUFS, ENOMEM, or anything else), the listener reports it once through
  // on_event, retries after a pause that grows from 50 ms to 1 s while the
  // failures last (reaping finished connections meanwhile), and reports again
  // once a connection is accepted; it never stops serving on its own.
  Status start();
  // The bound port once listening.
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
