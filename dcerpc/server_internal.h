// What the runtime's server files share: the server's state (Server::Impl),
// its limits and counters, and the handler of one connection, which
// server_connection.cc (framing, bind negotiation) and server_request.cc
// (requests: reassembly, dispatch, replies) implement. Server::Impl is shared
// by every thread under its mutex (see server.cc); a ConnectionHandler
// belongs to its connection's thread alone.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/fragment_plan.h"
#include "dcerpc/pdu.h"
#include "dcerpc/report_limiter.h"
#include "dcerpc/server.h"
#include "dcerpc/socket.h"
#include "dcerpc/stub_pool.h"

namespace rpc {
namespace server_internal {

// Large enough for any fragment (frag_length is 16 bits), and for the
// fragments read ahead when their guessed length proves wrong. Every
// connection has one, so it is kept small.
constexpr std::size_t kReadBufferSize = 64 * 1024;
// Buffers above this size are given back after a call.
constexpr std::size_t kKeptBufferSize = 64 * 1024;
// Reassembly blocks the server keeps between calls: one 1 MiB chunk with its
// arguments and the slack that aligns its bytes, for as many calls at once
// as one client makes.
constexpr std::size_t kPooledStubSize = (1u << 20) + 2 * kStubAlignment;
constexpr std::size_t kPooledStubs = 32;
constexpr std::size_t kMaxContextsPerConnection = 16;
// Headers of the fragments of a call read ahead in one system call, each
// but the last with its stub. Their bytes fit in the read buffer, where they
// go back when the guess of their length was wrong: ten 5840-byte fragments
// (what trvc sends) and one more header take 58424 bytes.
constexpr std::size_t kReadAhead = 11;
// Feature negotiation bits we grant: we keep the connection when a call is
// orphaned. Security context multiplexing means nothing without security.
constexpr std::uint8_t kSupportedFeatures = btfn::kKeepConnectionOnOrphan;

struct Counters {
  std::atomic<std::uint64_t> connections_accepted{0};
  std::atomic<std::uint64_t> connections_refused{0};
  std::atomic<std::uint64_t> refused_not_allowed{0};
  std::atomic<std::uint64_t> refused_peer_limit{0};
  std::atomic<std::uint64_t> refused_limit{0};
  std::atomic<std::uint64_t> open_connections{0};
  std::atomic<std::uint64_t> binds_ndr20{0};
  std::atomic<std::uint64_t> binds_ndr64{0};
  std::atomic<std::uint64_t> bind_naks{0};
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> faults{0};
  std::atomic<std::uint64_t> protocol_errors{0};
  std::atomic<std::uint64_t> groups_ended{0};
  std::atomic<std::uint64_t> idle_closed{0};
  std::atomic<std::uint64_t> slow_pdus{0};
  std::atomic<std::uint64_t> fragment_limit_closed{0};
  std::atomic<std::uint64_t> group_refusals{0};
  std::atomic<std::uint64_t> accept_failures{0};
  std::atomic<std::uint64_t> unbound_evicted{0};
};

using Clock = std::chrono::steady_clock;

}  // namespace server_internal

struct Server::Impl {
  using Counters = server_internal::Counters;
  struct Connection {
    Socket socket;
    std::string peer;     // "ADDR:PORT", taken at accept
    std::string address;  // peer_key of the peer's address
    std::thread thread;
    std::atomic<bool> finished{false};
    // Guarded by mu. While it holds a slot the connection counts against the
    // caps; a connection loses its slot once, to its end or to a newcomer.
    bool holds_slot = true;
    bool bound = false;    // completed a bind: never closed for a newcomer
    bool evicted = false;  // its slot went to a newcomer: it may not bind
  };
  struct Group {
    std::uint32_t connections = 0;
    std::string creator;  // peer_key of the address that created it
  };
  enum class Join { Joined, Unknown, Foreign };

  Impl(ServerOptions o, const SyntaxId& id, std::uint16_t count, Dispatcher* d)
      : options(std::move(o)),
        interface_id(id),
        procedure_count(count),
        dispatcher(d),
        stubs(server_internal::kPooledStubSize, server_internal::kPooledStubs) {
    options.limits.max_fragment =
        std::clamp<std::uint16_t>(options.limits.max_fragment, kMustRecvFragment, 65528) & ~7;
  }

  void accept_loop();
  void report(ServerEvent::Kind kind, std::string text) {
    if (!options.on_event) return;
    ServerEvent event;
    event.kind = kind;
    event.text = std::move(text);
    options.on_event(event);
  }
  // An event about a peer's misbehaviour: at most one per `limit` and peer
  // address per interval; the one let through says how many were held back.
  void report_limited(const char* limit, const std::string& address, ServerEvent event) {
    if (!options.on_event) return;
    event.text = limiter.filter(std::string(limit) + " " + address, event.text);
    if (!event.text.empty()) options.on_event(event);
  }
  void serve(Connection* connection);
  // Joins and frees connections whose thread has finished. Caller holds mu.
  void reap_finished();
  // Frees the slot of the oldest connection that has not bound (from
  // `address`, or from any address when null) and shuts it down; the caller
  // reports `*closed` once mu is released. False when every connection has
  // bound. Caller holds mu.
  bool evict_unbound(const std::string* address, std::string* closed);
  // Gives up the connection's slot unless it is gone already. Caller holds mu.
  void release_slot(Connection* connection);
  // A bind is complete: from now on no newcomer takes the connection's slot.
  // False when one already has (the connection is closing).
  bool mark_bound(Connection* connection);
  // The line for a connection closed by evict_unbound (none when `closed`
  // is empty) for a newcomer from `newcomer`.
  void report_evicted(const std::string& closed, const std::string& newcomer);

  // Association groups. new_group returns 0 when no id could be drawn.
  Join join_group(std::uint32_t group, const std::string& address);
  std::uint32_t new_group(const std::string& address);
  void leave_group(std::uint32_t group);

  ServerOptions options;
  SyntaxId interface_id;
  std::uint16_t procedure_count;
  Dispatcher* dispatcher;
  StubPool stubs;

  Listener listener;
  std::thread accept_thread;
  Counters counters;

  std::mutex mu;
  std::condition_variable wake;                        // the accept loop's pause; stop()
  bool listening = false;                              // guarded by mu
  bool started = false;                                // guarded by mu
  bool stopping = false;                               // guarded by mu
  std::list<std::unique_ptr<Connection>> connections;  // guarded by mu
  std::map<std::uint32_t, Group> groups;               // guarded by mu
  // Open connections per peer_key; no entry at 0. Guarded by mu.
  std::map<std::string, std::size_t> peer_connections;
  ReportLimiter limiter;  // its own lock
};

namespace server_internal {

struct AcceptedContext {
  std::uint16_t id;
  Syntax syntax;
};

// The state of one connection's thread.
class ConnectionHandler {
 public:
  // Why run() ended, when the server ended it for a bound.
  enum class Bound { None, Idle, SlowPdu, Fragments };

  explicit ConnectionHandler(Server::Impl* server, Server::Impl::Connection* connection)
      : server_(server), connection_(connection), socket_(&connection->socket) {}
  ~ConnectionHandler() {
    end_arrival();
    server_->stubs.give_back(block_);
  }
  // Serves until the peer leaves, a protocol error, or shutdown. Returns the
  // association group the connection joined (0 = none).
  std::uint32_t run();
  Bound bound_hit() const { return bound_hit_; }

 private:
  // Makes at least `need` unread bytes available: by idle_deadline_ while
  // none of the PDU has come, by pdu_deadline_ once its first byte has.
  // With `most`, reads no further than `most` unread bytes.
  Status fill(std::size_t need, std::size_t most = 0);
  // Waits for bytes of a PDU that has begun, until pdu_deadline_.
  Status wait_in_pdu();
  // Handles one complete fragment; false = close the connection.
  bool handle_fragment(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_bind(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_alter_context(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_request(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  // Checks a request fragment against the call in progress (or starts a
  // call) and counts its `stub_size` stub bytes. `*to` is where those bytes
  // belong in block_; null when they are not kept (a single fragment, which
  // is dispatched where it lies, or a call that will get a fault). False:
  // closing, answered already.
  bool take_request(const CommonHeader& header, const Request& request, std::size_t stub_size,
                    std::uint8_t** to);
  // Once a fragment's stub is in place: answers the call when that was its
  // last fragment. `single_stub` is the stub of a single-fragment call.
  // False = close.
  bool end_request(const CommonHeader& header, std::span<const std::uint8_t> single_stub);
  // Whether the fragment whose common header is at begin_ continues the call
  // being reassembled and is not all read yet: its stub is then read
  // straight into block_ instead of through in_.
  bool reads_into_block(const CommonHeader& header) const;
  // Reads such a fragment: its request header into in_, its stub into block_.
  bool receive_continuation();
  // Reads the `left` stub bytes of `current` still to come into `to`, and with
  // them whatever of the following fragments has arrived: their headers into
  // heads_, their stubs where the call's stub continues in block_, on the
  // guess that they are as long as `current` (the alloc_hint tells the last
  // one's length). Bytes that prove the guess wrong go back to in_ as if
  // read there. False = close.
  bool receive_stub(CommonHeader current, std::uint32_t alloc_hint, std::uint8_t* to,
                    std::size_t left);
  bool finish_call(std::span<const std::uint8_t> stub);
  // Makes block_ hold at least `size` stub bytes after stub_at_, keeping the
  // first `kept` of those received; false when memory ran out.
  bool reserve_stub(std::size_t size, std::size_t kept);
  // Tells the dispatcher that the call announced by call_arriving will bring
  // no more fragments; does nothing when none was announced.
  void end_arrival();
  // Room in the call's block for the last `size` bytes of call_size_ (which
  // counts them already), never letting the block pass `limit` where
  // doubling would overshoot it; null when memory ran out.
  std::uint8_t* stub_room(std::size_t size, std::size_t limit);
  // Results for the context elements of a bind or alter_context.
  std::vector<ContextResult> negotiate(const Bind& bind, std::vector<AcceptedContext>* accepted);
  bool send_fault(std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status,
                  bool did_not_execute);
  bool send_bind_nak(std::uint32_t call_id, std::uint16_t reason);
  // Sends a proto_error fault for `call_id` and returns false (close).
  bool protocol_violation(std::uint32_t call_id);
  bool send(std::span<const std::uint8_t> bytes);
  const AcceptedContext* find_context(std::uint16_t id) const;

  Server::Impl* server_;
  Server::Impl::Connection* connection_;
  Socket* socket_;
  std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(kReadBufferSize);
  // Headers of the fragments read ahead by receive_stub.
  std::array<std::uint8_t, kReadAhead * kRequestHeaderSize> heads_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // When the next PDU's first byte must have come (set as the wait begins),
  // and when its last must have (set as its first is seen).
  Clock::time_point idle_deadline_;
  Clock::time_point pdu_deadline_;
  Bound bound_hit_ = Bound::None;

  bool bound_ = false;
  std::uint32_t group_ = 0;
  std::uint16_t max_fragment_ = kDefaultMaxFragment;  // both directions once bound
  std::vector<AcceptedContext> contexts_;

  // The call being reassembled.
  bool in_call_ = false;
  std::uint32_t call_id_ = 0;
  std::uint16_t call_context_ = 0;
  std::uint16_t call_opnum_ = 0;
  std::uint32_t pending_fault_ = 0;  // nonzero: answer with this once the call is complete
  std::size_t call_size_ = 0;        // stub bytes received so far
  std::size_t call_fragments_ = 0;   // fragments received so far
  // The stub of a call of several fragments is reassembled in block_ from
  // stub_at_ on, placed so that its bulk bytes start at an aligned address.
  // The block goes back to the pool when the call is answered.
  StubBlock block_;
  std::size_t stub_at_ = 0;
  bool arriving_ = false;  // call_arriving was called, call_arrived not yet
  std::vector<std::uint8_t> reply_;
  std::vector<Fragment> reply_fragments_;
  std::vector<std::uint8_t> reply_headers_;
  std::vector<ConstBuffer> reply_pieces_;
};

}  // namespace server_internal
}  // namespace rpc
