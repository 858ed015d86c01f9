// One TCP connection of a client association: the bind, fragmented requests
// sent straight from the caller's buffers, and the reassembly of the reply.
// A connection carries one call at a time and belongs to one thread at a time
// (the caller, or the asynchronous reader while a reply is outstanding); it
// has no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rpc/runtime/pdu.h"
#include "rpc/runtime/rpc_status.h"
#include "rpc/runtime/socket.h"

namespace rpc {

// What we offer in the bind for both fragment directions.
constexpr std::uint16_t kClientMaxFragment = kDefaultMaxFragment;
// The largest reply stub a server can make us hold; a bigger reply fails the
// call with kProtocolError.
constexpr std::size_t kMaxReplyStub = 1u << 20;

class ClientConnection {
 public:
  // Connects to host:port and binds `interface_id` with NDR 2.0, NDR64 and
  // feature negotiation offered as three contexts, joining association group
  // `assoc_group_id` (0 = ask for a new one). Failures: kServerUnavailable
  // when the server cannot be reached or drops the connection during the
  // bind; the mapped status of a bind_nak or of a bind whose contexts were
  // all rejected; kProtocolError for anything malformed or unexpected.
  static Status open(const std::string& host, std::uint16_t port, const SyntaxId& interface_id,
                     std::uint32_t assoc_group_id, std::unique_ptr<ClientConnection>* out);

  // For tests: a connection that binds with `max_fragment` offered instead of
  // kClientMaxFragment.
  static Status open_with_fragment(const std::string& host, std::uint16_t port,
                                   const SyntaxId& interface_id, std::uint32_t assoc_group_id,
                                   std::uint16_t max_fragment,
                                   std::unique_ptr<ClientConnection>* out);

  const SyntaxId& interface_id() const { return interface_id_; }
  Syntax syntax() const { return syntax_; }
  std::uint16_t context_id() const { return context_id_; }
  std::uint32_t assoc_group_id() const { return assoc_group_id_; }
  // The largest fragment we send: the server's max_recv_frag capped by ours.
  std::uint16_t transmit_fragment() const { return transmit_fragment_; }
  int fd() const { return socket_.fd(); }

  std::uint32_t next_call_id() { return next_call_id_++; }

  // Sends one request in as many fragments as the negotiated size needs,
  // each a 24-byte header followed by slices of `stub` (no copy of the stub
  // bytes). Non-last fragments carry a multiple of 8 stub bytes; alloc_hint is
  // the stub bytes remaining from each fragment on. A failure breaks the
  // connection (kCallFailedDne: the call cannot have run).
  Status send_request(std::uint32_t call_id, std::uint16_t opnum,
                      std::span<const ConstBuffer> stub);

  // Prepares the reassembly of the reply to `call_id` into `*reply`.
  void expect_reply(std::uint32_t call_id, std::vector<std::uint8_t>* reply);

  // Blocks until the expected call has ended. OK: `*reply` holds the whole
  // reply stub. A fault gives its mapped status and leaves the connection
  // usable; a lost connection gives kCallFailed, anything malformed or
  // unexpected kProtocolError, and both break the connection.
  Status receive_reply();

  // Reads what the socket holds without blocking. Returns true once the
  // expected call has ended, with its outcome in *outcome (as receive_reply).
  bool pump_reply(Status* outcome);

  // False after a transport or protocol failure: the connection must not
  // carry another call.
  bool usable() const { return !broken_; }

  // For an idle connection: true when the server has neither closed it nor
  // sent anything unasked, so that a call can be trusted to it.
  bool idle_and_healthy() const;

  // Wakes a reader blocked on this connection (any thread).
  void shutdown() { socket_.shutdown(); }

  // The reply buffer of synchronous calls, reused from call to call.
  std::vector<std::uint8_t>* sync_reply() { return &sync_reply_; }

 private:
  ClientConnection() = default;
  Status bind(std::uint32_t assoc_group_id, std::uint16_t max_fragment);
  Status read_fragment(std::size_t* length);
  Status accept_fragment(std::span<const std::uint8_t> fragment, bool* done);
  Status break_with(Status status);

  Socket socket_;
  SyntaxId interface_id_;
  Syntax syntax_ = Syntax::Ndr20;
  std::uint16_t context_id_ = 0;
  std::uint32_t assoc_group_id_ = 0;
  std::uint16_t transmit_fragment_ = kClientMaxFragment;
  std::uint32_t next_call_id_ = 1;
  bool broken_ = false;

  // Incoming bytes: at most one fragment plus what follows it.
  std::vector<std::uint8_t> input_;
  std::size_t input_length_ = 0;

  // The reply being assembled.
  std::uint32_t expected_call_id_ = 0;
  std::vector<std::uint8_t>* reply_ = nullptr;
  bool reply_started_ = false;

  // Reused by every send, so that a call allocates nothing once warm.
  std::vector<std::uint8_t> headers_;
  std::vector<ConstBuffer> pieces_;
  std::vector<std::uint8_t> sync_reply_;
};

}  // namespace rpc
