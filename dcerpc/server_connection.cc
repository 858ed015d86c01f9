// One connection's thread: reading PDUs within the idle and PDU bounds,
// bind and alter_context negotiation, faults and naks. Requests are
// server_request.cc's. Everything here runs on the connection's own thread;
// the server's shared state is reached only through Server::Impl's locked
// members.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "dcerpc/server_internal.h"

namespace rpc::server_internal {

Status ConnectionHandler::fill(std::size_t need, std::size_t most) {
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
    const std::size_t room =
        most == 0 ? in_.size() - end_ : std::min(in_.size() - end_, begin_ + most - end_);
    if (Status s = socket_->read_some(in_.data() + end_, room, &got); !s.is_ok()) return s;
    if (!started) pdu_deadline_ = Clock::now() + std::chrono::milliseconds(limits.pdu_timeout_ms);
    end_ += got;
  }
  return Status::ok();
}

Status ConnectionHandler::wait_in_pdu() {
  const int bound_ms = server_->options.limits.pdu_timeout_ms;
  if (bound_ms <= 0) return Status::ok();
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(pdu_deadline_ - Clock::now());
  Status s = socket_->wait_readable(static_cast<int>(std::max<std::int64_t>(0, left.count())));
  if (s.code() == status::kCallCancelled) bound_hit_ = Bound::SlowPdu;
  return s;
}

std::uint32_t ConnectionHandler::run() {
  const ServerLimits& limits = server_->options.limits;
  for (;;) {
    // Both bounds start only now: the previous call has been answered.
    const Clock::time_point now = Clock::now();
    idle_deadline_ = now + std::chrono::milliseconds(limits.idle_timeout_ms);
    if (end_ > begin_) pdu_deadline_ = now + std::chrono::milliseconds(limits.pdu_timeout_ms);
    // Never more than this PDU is read into in_: the stubs of the fragments
    // after it are read straight into their call's block.
    if (!fill(kCommonHeaderSize, kRequestHeaderSize).is_ok()) break;
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
    if (reads_into_block(header)) {
      if (!receive_continuation()) break;
      continue;
    }
    if (!fill(header.frag_length, header.frag_length).is_ok()) break;
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

namespace {

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

}  // namespace

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
  // Decided before the group is joined: a connection whose slot went to a
  // newcomer closes without a group to leave.
  if (!server_->mark_bound(connection_)) return false;
  const std::string& address = connection_->address;
  std::uint32_t group = bind.assoc_group_id;
  if (group != 0) {
    // An unknown group and another peer's group get the same answer, so
    // that a peer cannot learn which ids are live.
    const Server::Impl::Join join = server_->join_group(group, address);
    if (join != Server::Impl::Join::Joined) {
      ++server_->counters.group_refusals;
      ServerEvent event;
      event.kind = ServerEvent::Kind::BindRefused;
      event.peer = connection_->peer;
      event.group = group;
      event.text =
          "refused bind from " + connection_->peer + ": association group " +
          std::to_string(group) +
          (join == Server::Impl::Join::Unknown ? " does not exist" : " belongs to another peer");
      server_->report_limited("group", address, std::move(event));
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

}  // namespace rpc::server_internal
