// Encoding and decoding of connection-oriented DCE/RPC v5 PDUs over TCP:
// the common header, bind / alter_context, bind_ack / alter_context_resp,
// bind_nak, request, response and fault, little-endian data representation
// only and no authentication. Pure functions over caller buffers; safe from
// any thread.
//
// Decoders take one whole fragment (exactly frag_length bytes, as framed by
// `parse_fragment_header`) and return views into it; they never trust a length
// field beyond the bytes they were given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dcerpc/rpc_status.h"

namespace rpc {

constexpr std::size_t kCommonHeaderSize = 16;
// Common header + alloc_hint, p_cont_id, opnum (or cancel_count): where the
// stub of a request without object UUID, or of a response, begins.
constexpr std::size_t kRequestHeaderSize = 24;
constexpr std::size_t kResponseHeaderSize = 24;
constexpr std::size_t kObjectUuidSize = 16;
constexpr std::size_t kFaultSize = 32;
constexpr std::size_t kBindNakSize = 24;
// Fragment sizes: what Windows uses on TCP, and the size every implementation
// must accept.
constexpr std::uint16_t kDefaultMaxFragment = 5840;
constexpr std::uint16_t kMustRecvFragment = 1432;
constexpr std::uint32_t kLittleEndianDrep = 0x00000010;

enum class PacketType : std::uint8_t {
  Request = 0,
  Response = 2,
  Fault = 3,
  Bind = 11,
  BindAck = 12,
  BindNak = 13,
  AlterContext = 14,
  AlterContextResp = 15,
  Auth3 = 16,
  Shutdown = 17,
  CoCancel = 18,
  Orphaned = 19,
};

namespace pfc {
constexpr std::uint8_t kFirstFrag = 0x01;
constexpr std::uint8_t kLastFrag = 0x02;
constexpr std::uint8_t kPendingCancel = 0x04;      // request, response, fault
constexpr std::uint8_t kSupportHeaderSign = 0x04;  // bind family
constexpr std::uint8_t kReserved1 = 0x08;
constexpr std::uint8_t kConcMpx = 0x10;
constexpr std::uint8_t kDidNotExecute = 0x20;
constexpr std::uint8_t kMaybe = 0x40;
constexpr std::uint8_t kObjectUuid = 0x80;
constexpr std::uint8_t kSingleFrag = kFirstFrag | kLastFrag;
}  // namespace pfc

// Results and reasons of a presentation context in bind_ack.
namespace context_result {
constexpr std::uint16_t kAcceptance = 0;
constexpr std::uint16_t kUserRejection = 1;
constexpr std::uint16_t kProviderRejection = 2;
constexpr std::uint16_t kNegotiateAck = 3;
}  // namespace context_result
namespace provider_reason {
constexpr std::uint16_t kNotSpecified = 0;
constexpr std::uint16_t kAbstractSyntaxNotSupported = 1;
constexpr std::uint16_t kTransferSyntaxesNotSupported = 2;
constexpr std::uint16_t kLocalLimitExceeded = 3;
}  // namespace provider_reason
// Reasons of a bind_nak.
namespace reject_reason {
constexpr std::uint16_t kNotSpecified = 0;
constexpr std::uint16_t kTemporaryCongestion = 1;
constexpr std::uint16_t kLocalLimitExceeded = 2;
constexpr std::uint16_t kCalledPaddrUnknown = 3;
constexpr std::uint16_t kProtocolVersionNotSupported = 4;
constexpr std::uint16_t kDefaultContextNotSupported = 5;
constexpr std::uint16_t kUserDataNotReadable = 6;
constexpr std::uint16_t kNoPsapAvailable = 7;
constexpr std::uint16_t kAuthenticationTypeNotRecognized = 8;
constexpr std::uint16_t kInvalidChecksum = 9;
}  // namespace reject_reason
// Bits of the bind-time feature negotiation bitmask.
namespace btfn {
constexpr std::uint8_t kSecurityContextMultiplexing = 0x01;
constexpr std::uint8_t kKeepConnectionOnOrphan = 0x02;
}  // namespace btfn

// A UUID in its wire (NDR / GUID) byte order: the first three fields
// little-endian, the last eight bytes as written.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  // Parses "28ca6c91-a6eb-423d-82cf-548f5df542bc" (no braces); nullopt if
  // malformed.
  static std::optional<Uuid> parse(std::string_view text);
  std::string to_string() const;  // lower case, no braces
  bool is_nil() const;
  friend bool operator==(const Uuid&, const Uuid&) = default;
};

// p_syntax_id_t: a UUID and a version, major in the low 16 bits.
struct SyntaxId {
  Uuid uuid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};
constexpr std::size_t kSyntaxIdSize = 20;

// The transfer syntaxes we speak.
enum class Syntax { Ndr20, Ndr64 };

const SyntaxId& ndr20_syntax();  // 8a885d04-..., v2.0
const SyntaxId& ndr64_syntax();  // 71710533-..., v1.0
const SyntaxId& transfer_syntax_id(Syntax syntax);
// The bind-time feature negotiation pseudo syntax offering `features`
// (6cb71c2c-9812-4540-XX00-000000000000 v1.0, XX = features).
SyntaxId btfn_syntax(std::uint8_t features);
// True when `syntax` is a feature negotiation pseudo syntax (UUID prefix).
bool is_btfn_syntax(const SyntaxId& syntax);
// The bitmask offered by a feature negotiation pseudo syntax.
std::uint8_t btfn_features(const SyntaxId& syntax);

struct CommonHeader {
  std::uint8_t rpc_vers = 5;
  std::uint8_t rpc_vers_minor = 0;
  PacketType type = PacketType::Request;
  std::uint8_t flags = pfc::kSingleFrag;
  std::uint32_t drep = kLittleEndianDrep;
  std::uint16_t frag_length = 0;
  std::uint16_t auth_length = 0;
  std::uint32_t call_id = 0;
};

// Writes the 16-byte common header.
void encode_common_header(const CommonHeader& header, std::uint8_t* out);

// Parses and validates the first 16 bytes of a fragment (`bytes` may be
// longer; only 16 are read). Rejects with kProtocolError: fewer than 16 bytes,
// a version other than 5.0/5.1, a PTYPE a connection-oriented peer must not
// see, a big-endian or non-ASCII/IEEE drep, frag_length < 16, and a nonzero
// auth_length (we do not speak authentication).
Status parse_fragment_header(std::span<const std::uint8_t> bytes, CommonHeader* out);

// --- bind, alter_context --------------------------------------------------

struct ContextElement {
  std::uint16_t context_id = 0;
  SyntaxId abstract_syntax;
  std::vector<SyntaxId> transfer_syntaxes;
};

struct Bind {
  std::uint16_t max_xmit_frag = kDefaultMaxFragment;
  std::uint16_t max_recv_frag = kDefaultMaxFragment;
  std::uint32_t assoc_group_id = 0;
  std::vector<ContextElement> contexts;
};

// A whole bind (or alter_context, by `type`) PDU.
std::vector<std::uint8_t> encode_bind(std::uint32_t call_id, std::uint8_t flags, const Bind& bind,
                                      PacketType type = PacketType::Bind);
// What a client offers in its bind for one interface: the interface, and the
// transfer syntax of each presentation context, one each, in context id order
// from 0. The service that owns the interface supplies it.
struct BindOffer {
  SyntaxId interface_id;
  std::vector<SyntaxId> transfer_syntaxes;
};
// The bind that makes `offer`.
Bind bind_for(const BindOffer& offer, std::uint32_t assoc_group_id,
              std::uint16_t max_frag = kDefaultMaxFragment);
// Decodes a whole bind or alter_context PDU (header included).
Status decode_bind(std::span<const std::uint8_t> pdu, Bind* out);

// --- bind_ack, alter_context_resp ----------------------------------------

struct ContextResult {
  std::uint16_t result = context_result::kAcceptance;
  std::uint16_t reason = 0;
  SyntaxId transfer_syntax;
};

struct BindAck {
  std::uint16_t max_xmit_frag = kDefaultMaxFragment;
  std::uint16_t max_recv_frag = kDefaultMaxFragment;
  std::uint32_t assoc_group_id = 0;
  // Without its NUL; empty = no secondary address (length field 0).
  std::string secondary_address;
  std::vector<ContextResult> results;
};

// Offset of p_result_list in a bind_ack whose secondary address is
// `address_length` bytes long including its NUL (0 = none): the list starts at
// a multiple of 4 from the start of the PDU.
std::size_t bind_ack_result_list_offset(std::size_t address_length);

std::vector<std::uint8_t> encode_bind_ack(std::uint32_t call_id, std::uint8_t flags,
                                          const BindAck& ack,
                                          PacketType type = PacketType::BindAck);
Status decode_bind_ack(std::span<const std::uint8_t> pdu, BindAck* out);

// --- bind_nak --------------------------------------------------------------

struct BindNak {
  std::uint16_t reject_reason = reject_reason::kNotSpecified;
  // (major, minor) pairs of supported protocol versions.
  std::vector<std::array<std::uint8_t, 2>> versions;
};

// 24 bytes: reason, one version 5.0, three pad bytes.
std::vector<std::uint8_t> encode_bind_nak(std::uint32_t call_id, std::uint16_t reject_reason);
// Ignores anything after the version list (padding, signature).
Status decode_bind_nak(std::span<const std::uint8_t> pdu, BindNak* out);

// --- request ---------------------------------------------------------------

// Writes the 24-byte header of one request fragment (no object UUID) into
// `out`; the fragment's stub (frag_length - 24 bytes) follows it on the wire.
// Meant for scatter-gather sends: header + a slice of the caller's data.
void encode_request_header(std::uint8_t* out, std::uint8_t flags, std::uint16_t frag_length,
                           std::uint32_t call_id, std::uint32_t alloc_hint,
                           std::uint16_t context_id, std::uint16_t opnum);

struct Request {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0;
  std::uint16_t opnum = 0;
  std::optional<Uuid> object;
  std::span<const std::uint8_t> stub;  // a view into the decoded PDU
};

// A whole single-fragment request (flags 0x03, plus 0x80 with an object UUID);
// alloc_hint = stub size.
std::vector<std::uint8_t> encode_request(std::uint32_t call_id, const Request& request,
                                         std::uint8_t flags = pfc::kSingleFrag);
Status decode_request(std::span<const std::uint8_t> pdu, CommonHeader* header, Request* out);
// The 24-byte header of a request fragment whose stub is read elsewhere (only
// the first 24 bytes of `bytes` are read; frag_length may run past them).
// The checks of decode_request, except that a fragment with an object UUID
// is refused (its header is longer); `out->stub` is empty.
Status decode_request_header(std::span<const std::uint8_t> bytes, CommonHeader* header,
                             Request* out);

// --- response --------------------------------------------------------------

struct Response {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0;
  std::uint8_t cancel_count = 0;
  std::span<const std::uint8_t> stub;  // a view into the decoded PDU
};

// Writes the 24-byte header of one response fragment. Windows truncates the
// context id to its low byte in responses; callers pass the id and this does
// the truncation.
void encode_response_header(std::uint8_t* out, std::uint8_t flags, std::uint16_t frag_length,
                            std::uint32_t call_id, std::uint32_t alloc_hint,
                            std::uint16_t context_id);
std::vector<std::uint8_t> encode_response(std::uint32_t call_id, std::uint16_t context_id,
                                          std::span<const std::uint8_t> stub,
                                          std::uint8_t flags = pfc::kSingleFrag);
Status decode_response(std::span<const std::uint8_t> pdu, CommonHeader* header, Response* out);

// --- fault -----------------------------------------------------------------

struct Fault {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0;
  std::uint8_t cancel_count = 0;
  std::uint8_t fault_flags = 0;
  std::uint32_t status = 0;
};

// A 32-byte fault; header flags 0x03, plus 0x20 when `did_not_execute`.
// alloc_hint is 32, non-zero as Windows sends it.
std::array<std::uint8_t, kFaultSize> encode_fault(std::uint32_t call_id, std::uint16_t context_id,
                                                  std::uint32_t status, bool did_not_execute);
// Accepts faults longer than 32 bytes (extended error data is ignored).
Status decode_fault(std::span<const std::uint8_t> pdu, CommonHeader* header, Fault* out);

// --- little-endian helpers shared by the encoders --------------------------

inline void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_u64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t get_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t get_u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(get_u32(p)) |
         (static_cast<std::uint64_t>(get_u32(p + 4)) << 32);
}

}  // namespace rpc
