// One TCP connection of a client association: the bind, fragmented requests
// sent straight from the caller's buffers, the reassembly of the reply, and
// the keepalive ping of an idle connection. A connection carries one call (or
// one ping) at a time and belongs to one thread at a time (the caller, or the
// asynchronous reader while a reply or a ping answer is outstanding); it has
// no lock of its own.
//
// Every wait has an end: from the bind on, a blocking read that receives no
// byte, or a write whose bytes the server takes none of, for the reply bound
// fails with kCallCancelled and breaks the connection. Any byte restarts the
// bound, so a slow server that keeps moving never trips it.
//
// A reply that carries call_id 1 is taken as the answer to the one call
// outstanding (some runtimes, Wine's among them, never echo call ids). The
// bind uses call_id 1 and requests count on from 2, so such a reply cannot be
// a stale answer to an earlier request; any other mismatch is a protocol
// error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dcerpc/fragment_plan.h"
#include "dcerpc/pdu.h"
#include "dcerpc/rpc_status.h"
#include "dcerpc/socket.h"

namespace rpc {

// The client's bounds, in milliseconds. A test may shorten each by its name
// (platform/fault_injection.h); reply_timeout_ms() and keepalive_idle_ms()
// give the value in force.
//
// How long a call may make no progress: no byte of its reply (or of the
// bind_ack, or of a ping's answer) arrives, or the server takes no byte of
// its request. The call then fails with kCallCancelled (RPC_S_CALL_CANCELLED)
// and its connection is closed. Bound "rpc.reply".
constexpr int kReplyTimeoutMs = 60000;
// How long a bound connection may sit idle in the pool before the binding's
// reader pings it with an alter_context, so that a server which closes
// connections that deliver nothing for a while (trvs: 180 s) keeps them and
// the association group with its open disk. Bound "rpc.keepalive".
constexpr int kKeepaliveIdleMs = 30000;
int reply_timeout_ms();
int keepalive_idle_ms();

// What we offer in the bind for both fragment directions.
constexpr std::uint16_t kClientMaxFragment = kDefaultMaxFragment;
// The largest reply stub a server can make us hold; a bigger reply fails the
// call with kProtocolError.
constexpr std::size_t kMaxReplyStub = 1u << 20;

class ClientConnection {
 public:
  // Connects to host:port and binds with the contexts of `offer`, joining
  // association group
  // `assoc_group_id` (0 = ask for a new one). Failures: kServerUnavailable
  // when the server cannot be reached or drops the connection during the
  // bind; kCallCancelled when the bind_ack does not come within the reply
  // bound; the mapped status of a bind_nak or of a bind whose contexts were
  // all rejected; kProtocolError for anything malformed or unexpected.
  static Status open(const std::string& host, std::uint16_t port, const BindOffer& offer,
                     std::uint32_t assoc_group_id, std::unique_ptr<ClientConnection>* out);

  // For tests: a connection that binds with `max_fragment` offered instead of
  // kClientMaxFragment.
  static Status open_with_fragment(const std::string& host, std::uint16_t port,
                                   const BindOffer& offer, std::uint32_t assoc_group_id,
                                   std::uint16_t max_fragment,
                                   std::unique_ptr<ClientConnection>* out);

  const SyntaxId& interface_id() const { return offer_.interface_id; }
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
  // connection: kCallCancelled when the server took no byte for the reply
  // bound, kCallFailedDne otherwise (the call cannot have run).
  Status send_request(std::uint32_t call_id, std::uint16_t opnum,
                      std::span<const ConstBuffer> stub);

  // Prepares the reassembly of the reply to `call_id` into `*reply`.
  void expect_reply(std::uint32_t call_id, std::vector<std::uint8_t>* reply);

  // Blocks until the expected call has ended. OK: `*reply` holds the whole
  // reply stub. A fault gives its mapped status and leaves the connection
  // usable; a lost connection gives kCallFailed, a reply that shows no byte
  // for the reply bound kCallCancelled, anything malformed or unexpected
  // kProtocolError, and these break the connection.
  Status receive_reply();

  // Reads what the socket holds without blocking. Returns true once the
  // expected call (or ping) has ended, with its outcome in *outcome (as
  // receive_reply). *progressed, when given, is set when bytes were read:
  // the caller that keeps the reply bound restarts it then.
  bool pump_reply(Status* outcome, bool* progressed = nullptr);

  // Sends, without blocking, an alter_context that offers again the context
  // the bind accepted (same id, interface and negotiated transfer syntax),
  // and expects its answer: pump_reply then ends OK once an
  // alter_context_resp accepts the context again. Any other answer, or a
  // send that cannot go out at once, breaks the connection. For an idle
  // connection only.
  Status send_ping();

  // False after a transport or protocol failure: the connection must not
  // carry another call.
  bool usable() const { return !broken_; }

  // For an idle connection: true when the server has neither closed it nor
  // sent anything unasked, so that a call can be trusted to it.
  bool idle_and_healthy() const;

  // The reply buffer of synchronous calls, reused from call to call.
  std::vector<std::uint8_t>* sync_reply() { return &sync_reply_; }

 private:
  ClientConnection() = default;
  Status bind(std::uint32_t assoc_group_id, std::uint16_t max_fragment);
  Status read_fragment(std::size_t* length);
  Status accept_fragment(std::span<const std::uint8_t> fragment, bool* done);
  Status accept_ping_answer(std::span<const std::uint8_t> fragment, const CommonHeader& header);
  Status break_with(Status status);

  Socket socket_;
  BindOffer offer_;
  Syntax syntax_ = Syntax::Ndr20;
  std::uint16_t context_id_ = 0;
  std::uint32_t assoc_group_id_ = 0;
  std::uint16_t transmit_fragment_ = kClientMaxFragment;
  std::uint32_t next_call_id_ = 1;
  bool broken_ = false;

  // Incoming bytes: at most one fragment plus what follows it.
  std::vector<std::uint8_t> input_;
  std::size_t input_length_ = 0;

  // The reply being assembled, or the ping answer awaited.
  std::uint32_t expected_call_id_ = 0;
  bool expecting_ping_ = false;
  std::vector<std::uint8_t>* reply_ = nullptr;
  bool reply_started_ = false;

  // Reused by every send, so that a call allocates nothing once warm.
  std::vector<Fragment> fragments_;
  std::vector<std::uint8_t> headers_;
  std::vector<ConstBuffer> pieces_;
  std::vector<std::uint8_t> sync_reply_;
};

}  // namespace rpc
