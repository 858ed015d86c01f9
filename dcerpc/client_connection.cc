// One client connection: bind, fragmented zero-copy requests, reply
// reassembly. See client_connection.h for the thread rules.
#include "dcerpc/client_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fault_injection.h"

namespace rpc {
namespace {

constexpr std::size_t kInputCapacity = 65536;  // one fragment of any legal size

// The call id that runtimes which never echo call ids put on every answer.
constexpr std::uint32_t kUnechoedCallId = 1;

Status protocol_error(const char* what) { return Status::failure(status::kProtocolError, what); }

// Whether a PDU with `call_id` answers the one call outstanding, `expected`.
bool answers(std::uint32_t call_id, std::uint32_t expected) {
  return call_id == expected || call_id == kUnechoedCallId;
}

}  // namespace

int reply_timeout_ms() { return static_cast<int>(test_bound_ms("rpc.reply", kReplyTimeoutMs)); }

int keepalive_idle_ms() {
  return static_cast<int>(test_bound_ms("rpc.keepalive", kKeepaliveIdleMs));
}

Status ClientConnection::open(const std::string& host, std::uint16_t port, const BindOffer& offer,
                              std::uint32_t assoc_group_id,
                              std::unique_ptr<ClientConnection>* out) {
  return open_with_fragment(host, port, offer, assoc_group_id, kClientMaxFragment, out);
}

Status ClientConnection::open_with_fragment(const std::string& host, std::uint16_t port,
                                            const BindOffer& offer, std::uint32_t assoc_group_id,
                                            std::uint16_t max_fragment,
                                            std::unique_ptr<ClientConnection>* out) {
  std::unique_ptr<ClientConnection> connection(new ClientConnection());
  connection->offer_ = offer;
  connection->input_.resize(kInputCapacity);
  if (Status s = connect_tcp(host, port, &connection->socket_); !s.is_ok()) return s;
  connection->socket_.set_stall_timeout(reply_timeout_ms());
  if (Status s = connection->bind(assoc_group_id, max_fragment); !s.is_ok()) return s;
  *out = std::move(connection);
  return Status::ok();
}

Status ClientConnection::bind(std::uint32_t assoc_group_id, std::uint16_t max_fragment) {
  Bind request = bind_for(offer_, assoc_group_id, max_fragment);
  const std::uint32_t call_id = next_call_id();
  std::vector<std::uint8_t> pdu = encode_bind(call_id, pfc::kSingleFrag, request);
  if (Status s = socket_.write_all(pdu.data(), pdu.size()); !s.is_ok()) {
    if (s.code() == status::kCallCancelled) return s;
    return Status::failure(status::kServerUnavailable, "sending the bind failed", s.sys_error());
  }

  std::size_t length = 0;
  if (Status s = read_fragment(&length); !s.is_ok()) {
    // A server that hangs up instead of answering the bind is as good as
    // absent.
    if (s.code() == status::kCallFailed) {
      return Status::failure(status::kServerUnavailable, "connection lost during the bind",
                           s.sys_error());
    }
    return s;
  }
  std::span<const std::uint8_t> fragment(input_.data(), length);
  CommonHeader header;
  if (Status s = parse_fragment_header(fragment, &header); !s.is_ok()) return s;
  if (!answers(header.call_id, call_id)) return protocol_error("bind answer for another call");

  if (header.type == PacketType::BindNak) {
    BindNak nak;
    if (Status s = decode_bind_nak(fragment, &nak); !s.is_ok()) return s;
    return Status::failure(status_from_bind_nak(nak.reject_reason), "bind_nak");
  }
  if (header.type != PacketType::BindAck) return protocol_error("bind answered by another PDU");
  BindAck ack;
  if (Status s = decode_bind_ack(fragment, &ack); !s.is_ok()) return s;
  if (ack.results.size() > request.contexts.size()) return protocol_error("too many bind results");
  if (ack.max_recv_frag < kRequestHeaderSize + 8) return protocol_error("fragment size too small");

  // The first accepted context decides the syntax: the one that context
  // offered. Feature negotiation answers are not contexts.
  const ContextResult* rejected = nullptr;
  for (std::size_t i = 0; i < ack.results.size(); ++i) {
    const ContextResult& result = ack.results[i];
    const ContextElement& offered = request.contexts[i];
    const SyntaxId& offered_syntax = offered.transfer_syntaxes.front();
    if (is_btfn_syntax(offered_syntax)) continue;
    if (result.result != context_result::kAcceptance) {
      if (rejected == nullptr) rejected = &result;
      continue;
    }
    if (!result.transfer_syntax.uuid.is_nil() && result.transfer_syntax != offered_syntax) {
      return protocol_error("accepted a transfer syntax that was not offered");
    }
    if (offered_syntax == ndr64_syntax()) {
      syntax_ = Syntax::Ndr64;
    } else if (offered_syntax == ndr20_syntax()) {
      syntax_ = Syntax::Ndr20;
    } else {
      return protocol_error("accepted an unknown transfer syntax");
    }
    context_id_ = offered.context_id;
    assoc_group_id_ = ack.assoc_group_id;
    transmit_fragment_ = std::min(max_fragment, ack.max_recv_frag);
    return Status::ok();
  }
  if (rejected == nullptr) return protocol_error("bind_ack without results");
  return Status::failure(status_from_rejected_context(rejected->result, rejected->reason),
                       "no presentation context accepted");
}

Status ClientConnection::read_fragment(std::size_t* length) {
  if (Status s = socket_.read_exact(input_.data(), kCommonHeaderSize); !s.is_ok()) return s;
  CommonHeader header;
  if (Status s = parse_fragment_header(std::span(input_.data(), kCommonHeaderSize), &header);
      !s.is_ok()) {
    return s;
  }
  if (Status s = socket_.read_exact(input_.data() + kCommonHeaderSize,
                                    header.frag_length - kCommonHeaderSize);
      !s.is_ok()) {
    return s;
  }
  *length = header.frag_length;
  return Status::ok();
}

Status ClientConnection::send_request(std::uint32_t call_id, std::uint16_t opnum,
                                      std::span<const ConstBuffer> stub) {
  std::size_t total = 0;
  for (const ConstBuffer& piece : stub) total += piece.size;
  // The bind refused fragments too small for stub bytes, so only the size
  // can fail the plan.
  if (!plan_fragments(total, transmit_fragment_, kRequestHeaderSize, &fragments_)) {
    return break_with(Status::failure(status::kInvalidArg, "stub too large"));
  }
  headers_.resize(fragments_.size() * kRequestHeaderSize);
  for (std::size_t f = 0; f < fragments_.size(); ++f) {
    const Fragment& fragment = fragments_[f];
    encode_request_header(headers_.data() + f * kRequestHeaderSize, fragment.flags,
                          fragment.frag_length, call_id, fragment.alloc_hint, context_id_, opnum);
  }
  pieces_.clear();
  gather_fragments(fragments_, headers_.data(), kRequestHeaderSize, stub, &pieces_);
  if (Status s = socket_.write_all(pieces_); !s.is_ok()) {
    // A server that stopped reading may have seen part of the call.
    if (s.code() == status::kCallCancelled) return break_with(s);
    return break_with(
        Status::failure(status::kCallFailedDne, "sending the request failed", s.sys_error()));
  }
  return Status::ok();
}

void ClientConnection::expect_reply(std::uint32_t call_id, std::vector<std::uint8_t>* reply) {
  expecting_ping_ = false;
  expected_call_id_ = call_id;
  reply_ = reply;
  reply_->clear();
  reply_started_ = false;
}

Status ClientConnection::break_with(Status status) {
  broken_ = true;
  return status;
}

Status ClientConnection::accept_fragment(std::span<const std::uint8_t> fragment, bool* done) {
  *done = true;
  CommonHeader header;
  if (Status s = parse_fragment_header(fragment, &header); !s.is_ok()) return break_with(s);
  if (!answers(header.call_id, expected_call_id_)) {
    return break_with(protocol_error("PDU for a call that is not outstanding"));
  }
  if (expecting_ping_) return accept_ping_answer(fragment, header);
  switch (header.type) {
    case PacketType::Response: {
      Response response;
      if (Status s = decode_response(fragment, &header, &response); !s.is_ok()) return break_with(s);
      const bool first = (header.flags & pfc::kFirstFrag) != 0;
      if (first == reply_started_)
        return break_with(protocol_error("response fragments out of order"));
      reply_started_ = true;
      if (reply_->size() + response.stub.size() > kMaxReplyStub) {
        return break_with(protocol_error("reply larger than the client accepts"));
      }
      reply_->insert(reply_->end(), response.stub.begin(), response.stub.end());
      *done = (header.flags & pfc::kLastFrag) != 0;
      return Status::ok();
    }
    case PacketType::Fault: {
      Fault fault;
      if (Status s = decode_fault(fragment, &header, &fault); !s.is_ok()) return break_with(s);
      return Status::failure(status_from_fault(fault.status), "fault");
    }
    case PacketType::Shutdown:
      return break_with(Status::failure(status::kCallFailed, "the server shut the connection down"));
    default:
      return break_with(protocol_error("unexpected PDU during a call"));
  }
}

Status ClientConnection::receive_reply() {
  for (;;) {
    std::size_t length = 0;
    if (Status s = read_fragment(&length); !s.is_ok()) return break_with(s);
    bool done = false;
    Status s = accept_fragment(std::span(input_.data(), length), &done);
    if (done) return s;
  }
}

Status ClientConnection::accept_ping_answer(std::span<const std::uint8_t> fragment,
                                            const CommonHeader& header) {
  if (header.type == PacketType::Shutdown) {
    return break_with(Status::failure(status::kCallFailed, "the server shut the connection down"));
  }
  if (header.type != PacketType::AlterContextResp) {
    return break_with(protocol_error("ping answered by another PDU"));
  }
  BindAck resp;
  if (Status s = decode_bind_ack(fragment, &resp); !s.is_ok()) return break_with(s);
  if (resp.results.size() != 1 || resp.results[0].result != context_result::kAcceptance) {
    return break_with(protocol_error("ping: the context is no longer accepted"));
  }
  const SyntaxId& chosen = resp.results[0].transfer_syntax;
  if (!chosen.uuid.is_nil() && chosen != transfer_syntax_id(syntax_)) {
    return break_with(protocol_error("ping: the context changed its transfer syntax"));
  }
  return Status::ok();
}

Status ClientConnection::send_ping() {
  Bind alter;
  alter.max_xmit_frag = transmit_fragment_;
  alter.max_recv_frag = transmit_fragment_;
  alter.assoc_group_id = assoc_group_id_;
  alter.contexts.push_back({context_id_, offer_.interface_id, {transfer_syntax_id(syntax_)}});
  const std::uint32_t call_id = next_call_id();
  std::vector<std::uint8_t> pdu =
      encode_bind(call_id, pfc::kSingleFrag, alter, PacketType::AlterContext);
  // An idle connection has room for a hundred bytes; one that has not must
  // not hold up the reader, which sends this.
  if (Status s = socket_.send_now(pdu.data(), pdu.size()); !s.is_ok()) {
    return break_with(Status::failure(status::kCallFailed, "sending the ping failed", s.sys_error()));
  }
  expecting_ping_ = true;
  expected_call_id_ = call_id;
  reply_ = nullptr;
  reply_started_ = false;
  return Status::ok();
}

bool ClientConnection::pump_reply(Status* outcome, bool* progressed) {
  for (;;) {
    // Hand over every whole fragment already buffered.
    while (input_length_ >= kCommonHeaderSize) {
      CommonHeader header;
      if (Status s = parse_fragment_header(std::span(input_.data(), input_length_), &header);
          !s.is_ok()) {
        *outcome = break_with(s);
        return true;
      }
      if (input_length_ < header.frag_length) break;
      bool done = false;
      Status s = accept_fragment(std::span(input_.data(), header.frag_length), &done);
      input_length_ -= header.frag_length;
      std::memmove(input_.data(), input_.data() + header.frag_length, input_length_);
      if (done) {
        // Nothing may follow the end of the only call on the connection.
        if (input_length_ != 0) broken_ = true;
        input_length_ = 0;
        *outcome = s;
        return true;
      }
    }
    std::size_t got = 0;
    const Status received =
        socket_.receive_now(input_.data() + input_length_, input_.size() - input_length_, &got);
    if (received.is_ok() && got > 0) {
      input_length_ += got;
      if (progressed != nullptr) *progressed = true;
      continue;
    }
    if (received.is_ok()) return false;
    *outcome = break_with(received.peer_closed()
                              ? Status::closed_by_peer("connection closed during the call")
                              : Status::failure(status::kCallFailed, "receive failed",
                                                received.sys_error()));
    return true;
  }
}

bool ClientConnection::idle_and_healthy() const {
  if (broken_) return false;
  // An idle connection has nothing to read: a byte is a protocol error, and
  // the end of the stream or an error means the server has gone.
  return !socket_.input_pending();
}

}  // namespace rpc
