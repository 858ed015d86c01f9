// The runtime's server: one listener thread, one thread per connection.
// Shared state (connection list, association groups) is behind one mutex
// that is held only for bookkeeping, never across I/O or a dispatch.
//
// Known differences from a Windows server: no concurrent multiplexing
// (CONC_MPX is never granted, so one call at a time per connection), no
// authentication, no header signing, and the fragment size granted to a
// client never exceeds what that client said it can receive (the lower clamp
// is 1432, the size every peer must accept, not 2048), and a connection that
// delivers no complete PDU within the idle bound is closed (Windows keeps an
// idle connection as long as TCP does), a PDU must arrive within its own
// bound once its first byte has, a call has at most so many fragments, and a
// bind may join an association group only from the address that created it.
#include "rpc/runtime/server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "rpc/runtime/report_limiter.h"
#include "rpc/runtime/socket.h"
#include "rpc/runtime/stub_pool.h"
#include "rpc/runtime/system_random.h"

namespace rpc {
namespace {

// Large enough for any fragment (frag_length is 16 bits) and for eleven
// 5840-byte fragments per recv call. Every connection has one, so it is
// kept small.
constexpr std::size_t kReadBufferSize = 64 * 1024;
// Buffers above this size are given back after a call.
constexpr std::size_t kKeptBufferSize = 64 * 1024;
// Reassembly blocks the server keeps between calls: one 1 MiB chunk with its
// arguments and the slack that aligns its bytes, for as many calls at once
// as one client makes.
constexpr std::size_t kPooledStubSize = (1u << 20) + 2 * kStubAlignment;
constexpr std::size_t kPooledStubs = 32;
constexpr std::size_t kMaxContextsPerConnection = 16;
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
};

using Clock = std::chrono::steady_clock;

// Pauses between failed accepts: long enough not to spin while descriptors
// are short, short enough to pick up again soon after they are back.
constexpr std::chrono::milliseconds kFirstAcceptPause{50};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

// "180 s", "0.25 s".
std::string seconds_text(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  std::string text = std::to_string(milliseconds / 1000) + ".";
  const std::string fraction = std::to_string(1000 + milliseconds % 1000).substr(1);
  return text + fraction.substr(0, fraction.find_last_not_of('0') + 1) + " s";
}

// The peer address a connection counts under: an IPv4-mapped IPv6 address
// (a v4 client of a dual-stack listener) as the IPv4 address it carries.
std::string peer_key(const std::string& address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && address.compare(0, kMapped.size(), kMapped) == 0 &&
      address.find('.') != std::string::npos) {
    return address.substr(kMapped.size());
  }
  return address;
}

// How a peer is named in a line: its address, or a phrase when it has none.
std::string shown(const std::string& address) {
  return address.empty() ? "an unknown peer" : address;
}

}  // namespace

struct Server::Impl {
  struct Connection {
    Socket socket;
    std::string peer;     // "ADDR:PORT", taken at accept
    std::string address;  // peer_key of the peer's address
    std::thread thread;
    std::atomic<bool> finished{false};
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
        stubs(kPooledStubSize, kPooledStubs) {
    options.limits.max_fragment =
        std::clamp<std::uint16_t>(options.limits.max_fragment, kMustRecvFragment, 65528) & ~7;
  }

  void accept_loop();
  void report(const std::string& line) {
    if (options.on_event) options.on_event(line);
  }
  // A line about a peer's misbehaviour: at most one per `kind` and peer
  // address per interval.
  void report_limited(const char* kind, const std::string& address, const std::string& line) {
    if (!options.on_event) return;
    const std::string text = limiter.filter(std::string(kind) + " " + address, line);
    if (!text.empty()) options.on_event(text);
  }
  void serve(Connection* connection);
  // Joins and frees connections whose thread has finished. Caller holds mu.
  void reap_finished();

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
  bool started = false;                                // guarded by mu
  bool stopping = false;                               // guarded by mu
  std::list<std::unique_ptr<Connection>> connections;  // guarded by mu
  std::map<std::uint32_t, Group> groups;               // guarded by mu
  // Open connections per peer_key; no entry at 0. Guarded by mu.
  std::map<std::string, std::size_t> peer_connections;
  ReportLimiter limiter;  // its own lock
};

// --- one connection ----------------------------------------------------------

namespace {

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
  Status fill(std::size_t need);
  // Handles one complete fragment; false = close the connection.
  bool handle_fragment(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_bind(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_alter_context(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool handle_request(const CommonHeader& header, std::span<const std::uint8_t> pdu);
  bool finish_call(std::span<const std::uint8_t> stub);
  // Makes block_ hold at least `size` stub bytes after stub_at_, keeping the
  // first `kept` of those received; false when memory ran out.
  bool reserve_stub(std::size_t size, std::size_t kept);
  // Tells the dispatcher that the call announced by call_arriving will bring
  // no more fragments; does nothing when none was announced.
  void end_arrival();
  // Appends to the call's stub, never letting its block pass `limit` (the
  // caller has checked that the bytes fit), where doubling would overshoot it.
  bool append_stub(std::span<const std::uint8_t> bytes, std::size_t limit);
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
  std::vector<std::array<std::uint8_t, kResponseHeaderSize>> reply_headers_;
  std::vector<ConstBuffer> reply_pieces_;
};

Status ConnectionHandler::fill(std::size_t need) {
  if (end_ - begin_ >= need) return Status::ok();
  if (in_.size() - begin_ < need) {
    std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  const ServerLimits& limits = server_->options.limits;
  while (end_ - begin_ < need) {
    const bool started = end_ > begin_;
    const int bound_ms = started ? limits.pdu_timeout_ms : limits.idle_timeout_ms;
    if (bound_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          (started ? pdu_deadline_ : idle_deadline_) - Clock::now());
      const int wait_ms = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      if (Status s = socket_->wait_readable(wait_ms); !s.is_ok()) {
        if (s.code() == status::kCallCancelled) bound_hit_ = started ? Bound::SlowPdu : Bound::Idle;
        return s;
      }
    }
    std::size_t got = 0;
    if (Status s = socket_->read_some(in_.data() + end_, in_.size() - end_, &got); !s.is_ok()) {
      return s;
    }
    if (!started) pdu_deadline_ = Clock::now() + std::chrono::milliseconds(limits.pdu_timeout_ms);
    end_ += got;
  }
  return Status::ok();
}

std::uint32_t ConnectionHandler::run() {
  const ServerLimits& limits = server_->options.limits;
  for (;;) {
    // Both bounds start only now: the previous call has been answered.
    const Clock::time_point now = Clock::now();
    idle_deadline_ = now + std::chrono::milliseconds(limits.idle_timeout_ms);
    if (end_ > begin_) pdu_deadline_ = now + std::chrono::milliseconds(limits.pdu_timeout_ms);
    if (!fill(kCommonHeaderSize).is_ok()) break;
    CommonHeader header;
    if (!parse_fragment_header({in_.data() + begin_, end_ - begin_}, &header).is_ok()) {
      ++server_->counters.protocol_errors;
      break;
    }
    // Before the bind nothing larger than our own limit is acceptable.
    const std::uint16_t limit = bound_ ? max_fragment_ : server_->options.limits.max_fragment;
    if (header.frag_length > limit) {
      ++server_->counters.protocol_errors;
      if (header.type == PacketType::Request) protocol_violation(header.call_id);
      break;
    }
    if (!fill(header.frag_length).is_ok()) break;
    std::span<const std::uint8_t> pdu(in_.data() + begin_, header.frag_length);
    const bool keep = handle_fragment(header, pdu);
    begin_ += header.frag_length;
    if (begin_ == end_) begin_ = end_ = 0;
    if (!keep) break;
  }
  return group_;
}

bool ConnectionHandler::handle_fragment(const CommonHeader& header,
                                        std::span<const std::uint8_t> pdu) {
  switch (header.type) {
    case PacketType::Bind:
      return handle_bind(header, pdu);
    case PacketType::AlterContext:
      if (!bound_) return protocol_violation(header.call_id);
      return handle_alter_context(header, pdu);
    case PacketType::Request:
      if (!bound_) return protocol_violation(header.call_id);
      return handle_request(header, pdu);
    case PacketType::CoCancel:
    case PacketType::Shutdown:
      // Cancels cannot reach a call that is running (we read no further
      // until it answers); there is nothing to do.
      return true;
    case PacketType::Orphaned:
      // The client abandoned the call being reassembled: forget it.
      if (in_call_ && header.call_id == call_id_) {
        in_call_ = false;
        end_arrival();
      }
      return true;
    default:
      // Server-to-client PDUs and auth3 have no business here.
      ++server_->counters.protocol_errors;
      return false;
  }
}

bool ConnectionHandler::send(std::span<const std::uint8_t> bytes) {
  return socket_->write_all(bytes.data(), bytes.size()).is_ok();
}

bool ConnectionHandler::send_fault(std::uint32_t call_id, std::uint16_t context_id,
                                   std::uint32_t status, bool did_not_execute) {
  ++server_->counters.faults;
  const auto fault = encode_fault(call_id, context_id, status, did_not_execute);
  return send(fault);
}

bool ConnectionHandler::send_bind_nak(std::uint32_t call_id, std::uint16_t reason) {
  ++server_->counters.bind_naks;
  send(encode_bind_nak(call_id, reason));
  return false;  // a nak always ends the connection
}

bool ConnectionHandler::protocol_violation(std::uint32_t call_id) {
  ++server_->counters.protocol_errors;
  send_fault(call_id, 0, nca::kProtoError, false);
  return false;
}

const AcceptedContext* ConnectionHandler::find_context(std::uint16_t id) const {
  for (const auto& c : contexts_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

std::vector<ContextResult> ConnectionHandler::negotiate(const Bind& bind,
                                                        std::vector<AcceptedContext>* accepted) {
  const bool ndr64_ok = server_->options.accept_ndr64;
  // The element that will be accepted: one offering NDR64 (when we take it)
  // wins over one offering only NDR 2.0, as a Windows server answers the
  // three-context bind of a 64-bit client.
  int chosen = -1;
  Syntax chosen_syntax = Syntax::Ndr20;
  for (std::size_t i = 0; i < bind.contexts.size(); ++i) {
    const auto& c = bind.contexts[i];
    if (c.abstract_syntax != server_->interface_id) continue;
    if (!c.transfer_syntaxes.empty() && is_btfn_syntax(c.transfer_syntaxes[0])) continue;
    if (find_context(c.context_id) != nullptr) continue;
    for (const auto& t : c.transfer_syntaxes) {
      if (ndr64_ok && t == ndr64_syntax()) {
        if (chosen < 0 || chosen_syntax != Syntax::Ndr64) {
          chosen = static_cast<int>(i);
          chosen_syntax = Syntax::Ndr64;
        }
      } else if (t == ndr20_syntax() && chosen < 0) {
        chosen = static_cast<int>(i);
        chosen_syntax = Syntax::Ndr20;
      }
    }
  }
  std::vector<ContextResult> results;
  for (std::size_t i = 0; i < bind.contexts.size(); ++i) {
    const auto& c = bind.contexts[i];
    ContextResult r;
    r.result = context_result::kProviderRejection;
    if (!c.transfer_syntaxes.empty() && is_btfn_syntax(c.transfer_syntaxes[0])) {
      r.result = context_result::kNegotiateAck;
      r.reason = btfn_features(c.transfer_syntaxes[0]) & kSupportedFeatures;
    } else if (const AcceptedContext* existing = find_context(c.context_id)) {
      // Re-offering a context this connection already has: same answer.
      r.result = context_result::kAcceptance;
      r.transfer_syntax = transfer_syntax_id(existing->syntax);
    } else if (c.abstract_syntax != server_->interface_id) {
      r.reason = provider_reason::kAbstractSyntaxNotSupported;
    } else if (static_cast<int>(i) == chosen &&
               contexts_.size() + accepted->size() < kMaxContextsPerConnection) {
      r.result = context_result::kAcceptance;
      r.transfer_syntax = transfer_syntax_id(chosen_syntax);
      accepted->push_back({c.context_id, chosen_syntax});
    } else if (static_cast<int>(i) == chosen) {
      r.reason = provider_reason::kLocalLimitExceeded;
    } else {
      r.reason = provider_reason::kTransferSyntaxesNotSupported;
    }
    results.push_back(r);
  }
  return results;
}

// Validity checks a bind and an alter_context share; returns a bind_nak
// reason, or -1 when the PDU is acceptable.
int check_bind_shape(const Bind& bind) {
  if (bind.contexts.empty()) return reject_reason::kNotSpecified;
  int btfn_elements = 0;
  for (const auto& c : bind.contexts) {
    if (c.transfer_syntaxes.empty()) return reject_reason::kNotSpecified;
    if (is_btfn_syntax(c.transfer_syntaxes[0]) && ++btfn_elements > 1) {
      return reject_reason::kNotSpecified;
    }
  }
  return -1;
}

bool ConnectionHandler::handle_bind(const CommonHeader& header, std::span<const std::uint8_t> pdu) {
  if (bound_) return send_bind_nak(header.call_id, reject_reason::kNotSpecified);
  Bind bind;
  if (!decode_bind(pdu, &bind).is_ok()) {
    ++server_->counters.protocol_errors;
    return send_bind_nak(header.call_id, reject_reason::kNotSpecified);
  }
  if (int reason = check_bind_shape(bind); reason >= 0) {
    return send_bind_nak(header.call_id, static_cast<std::uint16_t>(reason));
  }
  std::vector<AcceptedContext> accepted;
  BindAck ack;
  ack.results = negotiate(bind, &accepted);
  ack.secondary_address = std::to_string(server_->listener.port());
  // The ack must fit in one fragment the client can receive; a bind with
  // more context elements than that gets a nak rather than an ack it would
  // take for a protocol error. The group id does not change the size.
  const std::size_t receivable = std::max(bind.max_recv_frag, kMustRecvFragment);
  if (encode_bind_ack(header.call_id, pfc::kSingleFrag, ack).size() > receivable) {
    return send_bind_nak(header.call_id, reject_reason::kNotSpecified);
  }
  const std::string& address = connection_->address;
  std::uint32_t group = bind.assoc_group_id;
  if (group != 0) {
    // An unknown group and another peer's group get the same answer, so
    // that a peer cannot learn which ids are live.
    const Server::Impl::Join join = server_->join_group(group, address);
    if (join != Server::Impl::Join::Joined) {
      ++server_->counters.group_refusals;
      server_->report_limited(
          "group", address,
          "refused bind from " + connection_->peer + ": association group " +
              std::to_string(group) +
              (join == Server::Impl::Join::Unknown ? " does not exist"
                                                   : " belongs to another peer"));
      return send_bind_nak(header.call_id, reject_reason::kNotSpecified);
    }
  } else {
    group = server_->new_group(address);
    if (group == 0) return send_bind_nak(header.call_id, reject_reason::kTemporaryCongestion);
  }
  group_ = group;
  bound_ = true;
  contexts_ = std::move(accepted);
  max_fragment_ = Server::negotiate_fragment(bind.max_xmit_frag, bind.max_recv_frag,
                                             server_->options.limits.max_fragment);
  for (const auto& c : contexts_) {
    ++(c.syntax == Syntax::Ndr64 ? server_->counters.binds_ndr64 : server_->counters.binds_ndr20);
  }
  ack.max_xmit_frag = max_fragment_;
  ack.max_recv_frag = max_fragment_;
  ack.assoc_group_id = group;
  return send(encode_bind_ack(header.call_id, pfc::kSingleFrag, ack));
}

bool ConnectionHandler::handle_alter_context(const CommonHeader& header,
                                             std::span<const std::uint8_t> pdu) {
  Bind alter;
  if (!decode_bind(pdu, &alter).is_ok() || check_bind_shape(alter) >= 0) {
    return protocol_violation(header.call_id);
  }
  std::vector<AcceptedContext> accepted;
  BindAck resp;
  resp.results = negotiate(alter, &accepted);
  resp.max_xmit_frag = max_fragment_;
  resp.max_recv_frag = max_fragment_;
  resp.assoc_group_id = group_;
  // The answer always fits in the agreed fragment size, as the request did:
  // a result takes 24 bytes, its context element at least 44.
  contexts_.insert(contexts_.end(), accepted.begin(), accepted.end());
  return send(
      encode_bind_ack(header.call_id, pfc::kSingleFrag, resp, PacketType::AlterContextResp));
}

bool ConnectionHandler::handle_request(const CommonHeader& h, std::span<const std::uint8_t> pdu) {
  CommonHeader header;
  Request request;
  if (!decode_request(pdu, &header, &request).is_ok()) return protocol_violation(h.call_id);
  const bool first = header.flags & pfc::kFirstFrag;
  const bool last = header.flags & pfc::kLastFrag;
  const std::size_t limit = server_->options.limits.max_request_stub;
  if (first) {
    // Without multiplexing a new call may start only after the last one
    // was answered.
    if (in_call_) return protocol_violation(header.call_id);
    // alloc_hint is only a hint, but one beyond the limit announces a call
    // we will refuse anyway.
    if (request.alloc_hint > limit) return protocol_violation(header.call_id);
    in_call_ = true;
    call_id_ = header.call_id;
    call_context_ = request.context_id;
    call_opnum_ = request.opnum;
    call_size_ = 0;
    call_fragments_ = 0;
    pending_fault_ = 0;
    if (find_context(request.context_id) == nullptr) {
      pending_fault_ = nca::kUnkIf;
    } else if (request.opnum >= server_->procedure_count) {
      pending_fault_ = nca::kOpRngError;
    }
    if (!last && pending_fault_ == 0) {
      const std::size_t bulk = server_->dispatcher->call_arriving(
          request.opnum, find_context(request.context_id)->syntax, request.stub);
      arriving_ = true;
      stub_at_ = (kStubAlignment - bulk % kStubAlignment) % kStubAlignment;
      if (!reserve_stub(std::min<std::size_t>(
                            std::max<std::size_t>(request.alloc_hint, request.stub.size()), limit),
                        0)) {
        pending_fault_ = nca::kServerTooBusy;
      }
    }
  } else {
    if (!in_call_ || header.call_id != call_id_ || request.context_id != call_context_ ||
        request.opnum != call_opnum_) {
      return protocol_violation(header.call_id);
    }
  }
  call_size_ += request.stub.size();
  if (call_size_ > limit) return protocol_violation(header.call_id);
  const std::size_t max_fragments = server_->options.limits.max_fragments_per_call;
  if (++call_fragments_ > max_fragments && max_fragments != 0) {
    bound_hit_ = Bound::Fragments;
    return protocol_violation(header.call_id);
  }
  const bool single = first && last;
  if (!single && pending_fault_ == 0 && !append_stub(request.stub, limit)) {
    pending_fault_ = nca::kServerTooBusy;
  }
  if (!last) return true;
  in_call_ = false;
  end_arrival();
  if (pending_fault_ != 0) {
    server_->stubs.give_back(std::exchange(block_, StubBlock{}));
    return send_fault(call_id_, call_context_, pending_fault_, true);
  }
  if (first) return finish_call(request.stub);  // single fragment: no copy
  const bool kept = finish_call({block_.data + stub_at_, call_size_});
  server_->stubs.give_back(std::exchange(block_, StubBlock{}));
  return kept;
}

void ConnectionHandler::end_arrival() {
  if (!arriving_) return;
  arriving_ = false;
  server_->dispatcher->call_arrived(call_opnum_);
}

bool ConnectionHandler::reserve_stub(std::size_t size, std::size_t kept) {
  const std::size_t have = block_.data == nullptr ? 0 : block_.capacity - stub_at_;
  if (size <= have) return true;
  StubBlock bigger = server_->stubs.take(stub_at_ + size);
  if (bigger.data == nullptr) return false;
  if (block_.data != nullptr) {
    std::memcpy(bigger.data + stub_at_, block_.data + stub_at_, kept);
    server_->stubs.give_back(block_);
  }
  block_ = bigger;
  return true;
}

bool ConnectionHandler::append_stub(std::span<const std::uint8_t> bytes, std::size_t limit) {
  // call_size_ already counts `bytes`.
  const std::size_t kept = call_size_ - bytes.size();
  const std::size_t have = block_.data == nullptr ? 0 : block_.capacity - stub_at_;
  if (call_size_ > have &&
      !reserve_stub(std::min(std::max(call_size_, 2 * have), std::max(call_size_, limit)), kept)) {
    return false;
  }
  std::memcpy(block_.data + stub_at_ + kept, bytes.data(), bytes.size());
  return true;
}

bool ConnectionHandler::finish_call(std::span<const std::uint8_t> stub) {
  const AcceptedContext* context = find_context(call_context_);
  CallInfo call;
  call.assoc_group = group_;
  call.syntax = context->syntax;
  call.opnum = call_opnum_;
  call.context_id = call_context_;
  call.call_id = call_id_;
  call.peer = connection_->address;
  reply_.clear();
  ++server_->counters.calls;
  const DispatchResult result = server_->dispatcher->dispatch(call, stub, &reply_);
  if (result.kind != DispatchResult::Kind::Reply && reply_.capacity() > kKeptBufferSize) {
    std::vector<std::uint8_t>().swap(reply_);
  }
  switch (result.kind) {
    case DispatchResult::Kind::Drop:
      return false;
    case DispatchResult::Kind::Fault:
      return send_fault(call_id_, call_context_, result.fault_status, result.did_not_execute);
    case DispatchResult::Kind::Reply:
      break;
  }
  // Non-last fragments carry a multiple of 8 stub bytes.
  const std::size_t per_fragment = (max_fragment_ - kResponseHeaderSize) & ~std::size_t{7};
  std::size_t sent = 0;
  auto& headers = reply_headers_;
  auto& pieces = reply_pieces_;
  headers.clear();
  pieces.clear();
  do {
    const std::size_t size = std::min(per_fragment, reply_.size() - sent);
    std::uint8_t flags = 0;
    if (sent == 0) flags |= pfc::kFirstFrag;
    if (sent + size == reply_.size()) flags |= pfc::kLastFrag;
    headers.emplace_back();
    encode_response_header(headers.back().data(), flags,
                           static_cast<std::uint16_t>(kResponseHeaderSize + size), call_id_,
                           static_cast<std::uint32_t>(reply_.size() - sent), call_context_);
    sent += size;
  } while (sent < reply_.size());
  sent = 0;
  for (const auto& header : headers) {
    const std::size_t size = std::min(per_fragment, reply_.size() - sent);
    pieces.push_back({header.data(), header.size()});
    if (size > 0) pieces.push_back({reply_.data() + sent, size});
    sent += size;
  }
  const bool written = socket_->write_all(pieces).is_ok();
  // A big reply's buffers are not kept between calls.
  if (reply_.capacity() > kKeptBufferSize) {
    std::vector<std::uint8_t>().swap(reply_);
    decltype(reply_headers_)().swap(reply_headers_);
    decltype(reply_pieces_)().swap(reply_pieces_);
  }
  return written;
}

}  // namespace

// --- groups ------------------------------------------------------------------

Server::Impl::Join Server::Impl::join_group(std::uint32_t group, const std::string& address) {
  std::lock_guard lock(mu);
  auto it = groups.find(group);
  if (it == groups.end()) return Join::Unknown;
  if (it->second.creator != address) return Join::Foreign;
  ++it->second.connections;
  return Join::Joined;
}

std::uint32_t Server::Impl::new_group(const std::string& address) {
  // A few draws at most: a live id is hit with odds of 512 in 2^32.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint32_t id = 0;
    if (!system_random(&id, sizeof id).is_ok()) return 0;
    std::lock_guard lock(mu);
    if (id == 0 || groups.count(id) != 0) continue;
    groups[id] = Group{1, address};
    return id;
  }
  return 0;
}

void Server::Impl::leave_group(std::uint32_t group) {
  {
    std::lock_guard lock(mu);
    auto it = groups.find(group);
    if (it == groups.end() || --it->second.connections > 0) return;
    groups.erase(it);
  }
  ++counters.groups_ended;
  dispatcher->group_ended(group);
}

// --- threads -----------------------------------------------------------------

void Server::Impl::serve(Connection* connection) {
  std::uint32_t group = 0;
  ConnectionHandler::Bound bound = ConnectionHandler::Bound::None;
  {
    ConnectionHandler handler(this, connection);
    group = handler.run();
    bound = handler.bound_hit();
  }
  // Counted and reported before the peer sees the close, so that whoever
  // sees it finds it counted.
  const std::string closed = "connection from " + connection->peer + " closed: ";
  switch (bound) {
    case ConnectionHandler::Bound::None:
      break;
    case ConnectionHandler::Bound::Idle:
      ++counters.idle_closed;
      report(closed + "no PDU for " + seconds_text(options.limits.idle_timeout_ms));
      break;
    case ConnectionHandler::Bound::SlowPdu:
      ++counters.slow_pdus;
      report_limited(
          "slow", connection->address,
          closed + "a PDU took longer than " + seconds_text(options.limits.pdu_timeout_ms));
      break;
    case ConnectionHandler::Bound::Fragments:
      ++counters.fragment_limit_closed;
      report_limited("fragments", connection->address,
                     closed + "a call of more than " +
                         std::to_string(options.limits.max_fragments_per_call) + " fragments");
      break;
  }
  // The peer sees EOF now; the descriptor is closed when the thread is reaped,
  // so that stop() never shuts down a reused descriptor.
  connection->socket.shutdown();
  if (group != 0) leave_group(group);
  {
    std::lock_guard lock(mu);
    auto it = peer_connections.find(connection->address);
    if (it != peer_connections.end() && --it->second == 0) peer_connections.erase(it);
  }
  --counters.open_connections;
  connection->finished = true;
}

void Server::Impl::reap_finished() {
  for (auto it = connections.begin(); it != connections.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Impl::accept_loop() {
  // While accepting fails: the pause before the next try, and whether the
  // episode has been reported.
  std::chrono::milliseconds pause{0};
  for (;;) {
    Socket socket;
    Status s = listener.accept(&socket);
    std::unique_lock lock(mu);
    if (stopping) return;
    reap_finished();
    if (!s.is_ok()) {
      // Out of descriptors or similar: the connections that finish meanwhile
      // give them back. The pending connection waits in the backlog.
      ++counters.accept_failures;
      if (pause.count() == 0) {
        lock.unlock();
        report("cannot accept connections: " + error_text(s.sys_error()) + "; retrying");
        lock.lock();
        pause = kFirstAcceptPause;
      } else {
        pause = std::min(pause * 2, kLongestAcceptPause);
      }
      wake.wait_for(lock, pause, [this] { return stopping; });
      if (stopping) return;
      continue;
    }
    if (pause.count() != 0) {
      pause = std::chrono::milliseconds{0};
      lock.unlock();
      report("accepting connections again");
      lock.lock();
      if (stopping) return;
      reap_finished();
    }
    // Nothing of a refused connection is read: it is closed at once, right
    // after its line (at most one a minute per peer), so that a peer that
    // sees the close finds it reported.
    const std::string address = peer_key(socket.peer_address());
    std::string refusal;
    const char* kind = nullptr;
    std::size_t& from_peer = peer_connections[address];
    if (!options.allow.empty() && !address_allowed(options.allow, address)) {
      ++counters.refused_not_allowed;
      kind = "allow";
      refusal = "not in the allow list";
    } else if (from_peer >= options.limits.max_connections_per_peer) {
      ++counters.refused_peer_limit;
      kind = "peer limit";
      refusal = std::to_string(from_peer) + " connections open from it (the most per peer)";
    } else if (counters.open_connections >= options.limits.max_connections) {
      ++counters.refused_limit;
      kind = "limit";
      refusal = std::to_string(counters.open_connections.load()) + " connections open (the most)";
    } else {
      auto connection = std::make_unique<Connection>();
      connection->peer = socket.peer_name();
      connection->address = address;
      connection->socket = std::move(socket);
      Connection* raw = connection.get();
      ++counters.open_connections;  // before the thread can count it out
      ++from_peer;
      try {
        raw->thread = std::thread([this, raw] { serve(raw); });
        ++counters.connections_accepted;
        connections.push_back(std::move(connection));
        continue;
      } catch (const std::system_error&) {
        // No thread to serve it: refuse the connection like one over a cap.
        --counters.open_connections;
        --from_peer;
        socket = std::move(connection->socket);
        kind = "thread";
        refusal = "no thread to serve it";
      }
    }
    if (from_peer == 0) peer_connections.erase(address);
    ++counters.connections_refused;
    lock.unlock();
    report_limited(kind, address, "refused connection from " + shown(address) + ": " + refusal);
    socket.close();
  }
}

// --- Server ------------------------------------------------------------------

Server::Server(ServerOptions options, const SyntaxId& interface_id, std::uint16_t procedure_count,
               Dispatcher* dispatcher)
    : impl_(std::make_unique<Impl>(std::move(options), interface_id, procedure_count, dispatcher)) {
}

Server::~Server() { stop(); }

Status Server::start() {
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->started) return Status::failure(status::kInvalidArg, "server already started");
    impl_->started = true;
  }
  if (Status s = impl_->listener.listen(impl_->options.address, impl_->options.port); !s.is_ok()) {
    return s;
  }
  impl_->accept_thread = std::thread([impl = impl_.get()] { impl->accept_loop(); });
  return Status::ok();
}

std::uint16_t Server::port() const { return impl_->listener.port(); }

void Server::stop() {
  {
    std::lock_guard lock(impl_->mu);
    if (!impl_->started || impl_->stopping) return;
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->listener.shutdown();
  if (impl_->accept_thread.joinable()) impl_->accept_thread.join();
  impl_->listener.close();
  std::list<std::unique_ptr<Impl::Connection>> connections;
  {
    std::lock_guard lock(impl_->mu);
    connections.swap(impl_->connections);
  }
  for (auto& c : connections) c->socket.shutdown();
  for (auto& c : connections) c->thread.join();
}

ServerStats Server::stats() const {
  const Counters& c = impl_->counters;
  ServerStats s;
  s.connections_accepted = c.connections_accepted;
  s.connections_refused = c.connections_refused;
  s.refused_not_allowed = c.refused_not_allowed;
  s.refused_peer_limit = c.refused_peer_limit;
  s.refused_limit = c.refused_limit;
  s.open_connections = c.open_connections;
  s.binds_ndr20 = c.binds_ndr20;
  s.binds_ndr64 = c.binds_ndr64;
  s.bind_naks = c.bind_naks;
  s.calls = c.calls;
  s.faults = c.faults;
  s.protocol_errors = c.protocol_errors;
  s.groups_ended = c.groups_ended;
  s.idle_closed = c.idle_closed;
  s.slow_pdus = c.slow_pdus;
  s.fragment_limit_closed = c.fragment_limit_closed;
  s.group_refusals = c.group_refusals;
  s.accept_failures = c.accept_failures;
  return s;
}

std::uint16_t Server::negotiate_fragment(std::uint16_t client_max_xmit,
                                         std::uint16_t client_max_recv, std::uint16_t server_max) {
  // One size for both directions, as Windows answers. Never above what the
  // client can receive, except below the size every peer must accept.
  const std::uint16_t offered = std::min(client_max_xmit, client_max_recv);
  const std::uint16_t upper = std::max<std::uint16_t>(server_max, kMustRecvFragment);
  return std::clamp<std::uint16_t>(offered, kMustRecvFragment, upper) & ~7;
}

}  // namespace rpc
