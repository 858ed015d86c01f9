// PDU codecs. Every decoder first checks that the buffer it was given is one
// whole fragment whose header agrees with it, then reads fields strictly
// inside that buffer.
#include "dcerpc/pdu.h"

#include <cstdio>
#include <cstring>

namespace rpc {
namespace {

Status protocol_error(const char* what) { return Status::failure(status::kProtocolError, what); }

std::optional<int> hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

Uuid uuid_of(const char* text) { return *Uuid::parse(text); }

void put_syntax(std::uint8_t* p, const SyntaxId& s) {
  std::memcpy(p, s.uuid.bytes.data(), 16);
  put_u16(p + 16, s.major);
  put_u16(p + 18, s.minor);
}

SyntaxId get_syntax(const std::uint8_t* p) {
  SyntaxId s;
  std::memcpy(s.uuid.bytes.data(), p, 16);
  s.major = get_u16(p + 16);
  s.minor = get_u16(p + 18);
  return s;
}

// Checks that `pdu` holds exactly one fragment of `type` and parses its
// header.
Status check_pdu(std::span<const std::uint8_t> pdu, PacketType type, std::size_t min_size,
                 CommonHeader* header) {
  if (Status s = parse_fragment_header(pdu, header); !s.is_ok()) return s;
  if (header->type != type) return protocol_error("unexpected PDU type");
  if (header->frag_length != pdu.size()) return protocol_error("frag_length disagrees with PDU");
  if (pdu.size() < min_size) return protocol_error("PDU too short for its type");
  return Status::ok();
}

void start_pdu(std::vector<std::uint8_t>* out, PacketType type, std::uint8_t flags,
               std::uint32_t call_id, std::size_t body_size) {
  out->assign(kCommonHeaderSize + body_size, 0);
  CommonHeader h;
  h.type = type;
  h.flags = flags;
  h.frag_length = static_cast<std::uint16_t>(out->size());
  h.call_id = call_id;
  encode_common_header(h, out->data());
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // 8-4-4-4-12 hex digits.
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> be{};  // as written, big-endian fields
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto hi = hex_value(text[i]);
    auto lo = hex_value(text[i + 1]);
    if (!hi || !lo || n >= 16) return std::nullopt;
    be[n++] = static_cast<std::uint8_t>(*hi << 4 | *lo);
    i += 2;
  }
  if (n != 16) return std::nullopt;
  Uuid u;
  // time_low, time_mid, time_hi_and_version go little-endian on the wire.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) u.bytes[i] = be[order[i]];
  return u;
}

std::string Uuid::to_string() const {
  const auto& b = bytes;
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

bool Uuid::is_nil() const {
  for (auto b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

const SyntaxId& ndr20_syntax() {
  static const SyntaxId id{uuid_of("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
  return id;
}

const SyntaxId& ndr64_syntax() {
  static const SyntaxId id{uuid_of("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};
  return id;
}

const SyntaxId& transfer_syntax_id(Syntax syntax) {
  return syntax == Syntax::Ndr64 ? ndr64_syntax() : ndr20_syntax();
}

namespace {
// The feature negotiation UUID's first 8 wire bytes (6cb71c2c-9812-4540).
constexpr std::uint8_t kBtfnPrefix[8] = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45};
}  // namespace

SyntaxId btfn_syntax(std::uint8_t features) {
  SyntaxId id;
  std::memcpy(id.uuid.bytes.data(), kBtfnPrefix, 8);
  id.uuid.bytes[8] = features;
  id.major = 1;
  id.minor = 0;
  return id;
}

bool is_btfn_syntax(const SyntaxId& syntax) {
  return std::memcmp(syntax.uuid.bytes.data(), kBtfnPrefix, 8) == 0;
}

std::uint8_t btfn_features(const SyntaxId& syntax) { return syntax.uuid.bytes[8]; }

void encode_common_header(const CommonHeader& h, std::uint8_t* out) {
  out[0] = h.rpc_vers;
  out[1] = h.rpc_vers_minor;
  out[2] = static_cast<std::uint8_t>(h.type);
  out[3] = h.flags;
  put_u32(out + 4, h.drep);
  put_u16(out + 8, h.frag_length);
  put_u16(out + 10, h.auth_length);
  put_u32(out + 12, h.call_id);
}

Status parse_fragment_header(std::span<const std::uint8_t> bytes, CommonHeader* out) {
  if (bytes.size() < kCommonHeaderSize) return protocol_error("truncated common header");
  const std::uint8_t* p = bytes.data();
  if (p[0] != 5 || p[1] > 1) return protocol_error("unsupported protocol version");
  const std::uint8_t type = p[2];
  const bool known = type == 0 || type == 2 || type == 3 || (type >= 11 && type <= 19);
  if (!known) return protocol_error("PDU type not used on connections");
  // Integer order little-endian (high nibble 1), ASCII, IEEE floats.
  if (p[4] != 0x10 || p[5] != 0) return protocol_error("unsupported data representation");
  out->rpc_vers = p[0];
  out->rpc_vers_minor = p[1];
  out->type = static_cast<PacketType>(type);
  out->flags = p[3];
  out->drep = get_u32(p + 4);
  out->frag_length = get_u16(p + 8);
  out->auth_length = get_u16(p + 10);
  out->call_id = get_u32(p + 12);
  if (out->frag_length < kCommonHeaderSize) return protocol_error("frag_length below header size");
  if (out->auth_length != 0) return protocol_error("authentication is not supported");
  return Status::ok();
}

// --- bind ------------------------------------------------------------------

std::vector<std::uint8_t> encode_bind(std::uint32_t call_id, std::uint8_t flags, const Bind& bind,
                                      PacketType type) {
  std::size_t body = 12;
  for (const auto& c : bind.contexts) body += 4 + kSyntaxIdSize * (1 + c.transfer_syntaxes.size());
  std::vector<std::uint8_t> out;
  start_pdu(&out, type, flags, call_id, body);
  std::uint8_t* p = out.data() + kCommonHeaderSize;
  put_u16(p, bind.max_xmit_frag);
  put_u16(p + 2, bind.max_recv_frag);
  put_u32(p + 4, bind.assoc_group_id);
  p[8] = static_cast<std::uint8_t>(bind.contexts.size());
  p += 12;
  for (const auto& c : bind.contexts) {
    put_u16(p, c.context_id);
    p[2] = static_cast<std::uint8_t>(c.transfer_syntaxes.size());
    put_syntax(p + 4, c.abstract_syntax);
    p += 4 + kSyntaxIdSize;
    for (const auto& t : c.transfer_syntaxes) {
      put_syntax(p, t);
      p += kSyntaxIdSize;
    }
  }
  return out;
}

Bind bind_for(const BindOffer& offer, std::uint32_t assoc_group_id, std::uint16_t max_frag) {
  Bind bind;
  bind.max_xmit_frag = max_frag;
  bind.max_recv_frag = max_frag;
  bind.assoc_group_id = assoc_group_id;
  std::uint16_t context_id = 0;
  for (const SyntaxId& transfer_syntax : offer.transfer_syntaxes) {
    bind.contexts.push_back({context_id++, offer.interface_id, {transfer_syntax}});
  }
  return bind;
}

Status decode_bind(std::span<const std::uint8_t> pdu, Bind* out) {
  CommonHeader h;
  if (Status s = parse_fragment_header(pdu, &h); !s.is_ok()) return s;
  if (h.type != PacketType::Bind && h.type != PacketType::AlterContext) {
    return protocol_error("not a bind");
  }
  if (Status s = check_pdu(pdu, h.type, kCommonHeaderSize + 12, &h); !s.is_ok()) return s;
  const std::uint8_t* p = pdu.data() + kCommonHeaderSize;
  const std::uint8_t* end = pdu.data() + pdu.size();
  out->max_xmit_frag = get_u16(p);
  out->max_recv_frag = get_u16(p + 2);
  out->assoc_group_id = get_u32(p + 4);
  const unsigned count = p[8];
  p += 12;
  out->contexts.clear();
  out->contexts.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    if (end - p < static_cast<std::ptrdiff_t>(4 + kSyntaxIdSize)) {
      return protocol_error("truncated context element");
    }
    ContextElement c;
    c.context_id = get_u16(p);
    const unsigned n = p[2];
    c.abstract_syntax = get_syntax(p + 4);
    p += 4 + kSyntaxIdSize;
    if (end - p < static_cast<std::ptrdiff_t>(n * kSyntaxIdSize)) {
      return protocol_error("truncated transfer syntax list");
    }
    for (unsigned j = 0; j < n; ++j) {
      c.transfer_syntaxes.push_back(get_syntax(p));
      p += kSyntaxIdSize;
    }
    out->contexts.push_back(std::move(c));
  }
  return Status::ok();
}

// --- bind_ack --------------------------------------------------------------

std::size_t bind_ack_result_list_offset(std::size_t address_length) {
  const std::size_t after_address = kCommonHeaderSize + 10 + address_length;
  return (after_address + 3) & ~std::size_t{3};
}

std::vector<std::uint8_t> encode_bind_ack(std::uint32_t call_id, std::uint8_t flags,
                                          const BindAck& ack, PacketType type) {
  const std::size_t address_length =
      ack.secondary_address.empty() ? 0 : ack.secondary_address.size() + 1;
  const std::size_t list = bind_ack_result_list_offset(address_length);
  std::vector<std::uint8_t> out;
  start_pdu(&out, type, flags, call_id, list + 4 + 24 * ack.results.size() - kCommonHeaderSize);
  std::uint8_t* p = out.data();
  put_u16(p + 16, ack.max_xmit_frag);
  put_u16(p + 18, ack.max_recv_frag);
  put_u32(p + 20, ack.assoc_group_id);
  put_u16(p + 24, static_cast<std::uint16_t>(address_length));
  std::memcpy(p + 26, ack.secondary_address.data(), ack.secondary_address.size());
  p[list] = static_cast<std::uint8_t>(ack.results.size());
  std::uint8_t* r = p + list + 4;
  for (const auto& result : ack.results) {
    put_u16(r, result.result);
    put_u16(r + 2, result.reason);
    put_syntax(r + 4, result.transfer_syntax);
    r += 24;
  }
  return out;
}

Status decode_bind_ack(std::span<const std::uint8_t> pdu, BindAck* out) {
  CommonHeader h;
  if (Status s = parse_fragment_header(pdu, &h); !s.is_ok()) return s;
  if (h.type != PacketType::BindAck && h.type != PacketType::AlterContextResp) {
    return protocol_error("not a bind_ack");
  }
  if (Status s = check_pdu(pdu, h.type, kCommonHeaderSize + 10, &h); !s.is_ok()) return s;
  const std::uint8_t* p = pdu.data();
  out->max_xmit_frag = get_u16(p + 16);
  out->max_recv_frag = get_u16(p + 18);
  out->assoc_group_id = get_u32(p + 20);
  const std::size_t address_length = get_u16(p + 24);
  const std::size_t list = bind_ack_result_list_offset(address_length);
  if (list + 4 > pdu.size()) return protocol_error("truncated bind_ack");
  out->secondary_address.clear();
  if (address_length > 0) {
    // Up to the NUL; a missing NUL is tolerated.
    const char* text = reinterpret_cast<const char*>(p + 26);
    out->secondary_address.assign(text, strnlen(text, address_length));
  }
  const std::size_t count = p[list];
  if (list + 4 + 24 * count > pdu.size()) return protocol_error("truncated result list");
  out->results.clear();
  const std::uint8_t* r = p + list + 4;
  for (std::size_t i = 0; i < count; ++i, r += 24) {
    out->results.push_back({get_u16(r), get_u16(r + 2), get_syntax(r + 4)});
  }
  return Status::ok();
}

// --- bind_nak --------------------------------------------------------------

std::vector<std::uint8_t> encode_bind_nak(std::uint32_t call_id, std::uint16_t reason) {
  std::vector<std::uint8_t> out;
  start_pdu(&out, PacketType::BindNak, pfc::kSingleFrag, call_id, kBindNakSize - kCommonHeaderSize);
  put_u16(out.data() + 16, reason);
  out[18] = 1;
  out[19] = 5;
  out[20] = 0;
  return out;
}

Status decode_bind_nak(std::span<const std::uint8_t> pdu, BindNak* out) {
  CommonHeader h;
  if (Status s = check_pdu(pdu, PacketType::BindNak, kCommonHeaderSize + 2, &h); !s.is_ok()) {
    return s;
  }
  out->reject_reason = get_u16(pdu.data() + 16);
  out->versions.clear();
  if (pdu.size() >= 19) {
    const std::size_t n = pdu[18];
    for (std::size_t i = 0; i < n && 19 + 2 * i + 1 < pdu.size(); ++i) {
      out->versions.push_back({pdu[19 + 2 * i], pdu[20 + 2 * i]});
    }
  }
  return Status::ok();
}

// --- request ---------------------------------------------------------------

void encode_request_header(std::uint8_t* out, std::uint8_t flags, std::uint16_t frag_length,
                           std::uint32_t call_id, std::uint32_t alloc_hint,
                           std::uint16_t context_id, std::uint16_t opnum) {
  out[0] = 5;
  out[1] = 0;
  out[2] = static_cast<std::uint8_t>(PacketType::Request);
  out[3] = flags;
  put_u32(out + 4, kLittleEndianDrep);
  put_u16(out + 8, frag_length);
  put_u16(out + 10, 0);
  put_u32(out + 12, call_id);
  put_u32(out + 16, alloc_hint);
  put_u16(out + 20, context_id);
  put_u16(out + 22, opnum);
}

std::vector<std::uint8_t> encode_request(std::uint32_t call_id, const Request& request,
                                         std::uint8_t flags) {
  const std::size_t head = kRequestHeaderSize + (request.object ? kObjectUuidSize : 0);
  std::vector<std::uint8_t> out(head + request.stub.size());
  if (request.object) flags |= pfc::kObjectUuid;
  encode_request_header(out.data(), flags, static_cast<std::uint16_t>(out.size()), call_id,
                        request.alloc_hint, request.context_id, request.opnum);
  if (request.object) std::memcpy(out.data() + 24, request.object->bytes.data(), 16);
  if (!request.stub.empty()) {
    std::memcpy(out.data() + head, request.stub.data(), request.stub.size());
  }
  return out;
}

Status decode_request(std::span<const std::uint8_t> pdu, CommonHeader* header, Request* out) {
  if (Status s = check_pdu(pdu, PacketType::Request, kRequestHeaderSize, header); !s.is_ok()) {
    return s;
  }
  const std::uint8_t* p = pdu.data();
  out->alloc_hint = get_u32(p + 16);
  out->context_id = get_u16(p + 20);
  out->opnum = get_u16(p + 22);
  std::size_t stub = kRequestHeaderSize;
  out->object.reset();
  if (header->flags & pfc::kObjectUuid) {
    if (pdu.size() < kRequestHeaderSize + kObjectUuidSize) {
      return protocol_error("truncated object UUID");
    }
    Uuid u;
    std::memcpy(u.bytes.data(), p + 24, 16);
    out->object = u;
    stub += kObjectUuidSize;
  }
  out->stub = pdu.subspan(stub);
  return Status::ok();
}

Status decode_request_header(std::span<const std::uint8_t> bytes, CommonHeader* header,
                             Request* out) {
  if (bytes.size() < kRequestHeaderSize) return protocol_error("truncated request header");
  if (Status s = parse_fragment_header(bytes, header); !s.is_ok()) return s;
  if (header->type != PacketType::Request) return protocol_error("unexpected PDU type");
  if (header->frag_length < kRequestHeaderSize) return protocol_error("PDU too short for its type");
  if (header->flags & pfc::kObjectUuid) return protocol_error("object UUID in a request header");
  out->alloc_hint = get_u32(bytes.data() + 16);
  out->context_id = get_u16(bytes.data() + 20);
  out->opnum = get_u16(bytes.data() + 22);
  out->object.reset();
  out->stub = {};
  return Status::ok();
}

// --- response --------------------------------------------------------------

void encode_response_header(std::uint8_t* out, std::uint8_t flags, std::uint16_t frag_length,
                            std::uint32_t call_id, std::uint32_t alloc_hint,
                            std::uint16_t context_id) {
  encode_request_header(out, flags, frag_length, call_id, alloc_hint, context_id & 0xFF, 0);
  out[2] = static_cast<std::uint8_t>(PacketType::Response);
}

std::vector<std::uint8_t> encode_response(std::uint32_t call_id, std::uint16_t context_id,
                                          std::span<const std::uint8_t> stub, std::uint8_t flags) {
  std::vector<std::uint8_t> out(kResponseHeaderSize + stub.size());
  encode_response_header(out.data(), flags, static_cast<std::uint16_t>(out.size()), call_id,
                         static_cast<std::uint32_t>(stub.size()), context_id);
  if (!stub.empty()) std::memcpy(out.data() + kResponseHeaderSize, stub.data(), stub.size());
  return out;
}

Status decode_response(std::span<const std::uint8_t> pdu, CommonHeader* header, Response* out) {
  if (Status s = check_pdu(pdu, PacketType::Response, kResponseHeaderSize, header); !s.is_ok()) {
    return s;
  }
  out->alloc_hint = get_u32(pdu.data() + 16);
  out->context_id = get_u16(pdu.data() + 20);
  out->cancel_count = pdu[22];
  out->stub = pdu.subspan(kResponseHeaderSize);
  return Status::ok();
}

// --- fault -----------------------------------------------------------------

std::array<std::uint8_t, kFaultSize> encode_fault(std::uint32_t call_id, std::uint16_t context_id,
                                                  std::uint32_t status, bool did_not_execute) {
  std::array<std::uint8_t, kFaultSize> out{};
  CommonHeader h;
  h.type = PacketType::Fault;
  h.flags = pfc::kSingleFrag | (did_not_execute ? pfc::kDidNotExecute : 0);
  h.frag_length = kFaultSize;
  h.call_id = call_id;
  encode_common_header(h, out.data());
  put_u32(out.data() + 16, kFaultSize);
  put_u16(out.data() + 20, context_id);
  put_u32(out.data() + 24, status);
  return out;
}

Status decode_fault(std::span<const std::uint8_t> pdu, CommonHeader* header, Fault* out) {
  if (Status s = check_pdu(pdu, PacketType::Fault, kFaultSize, header); !s.is_ok()) return s;
  const std::uint8_t* p = pdu.data();
  out->alloc_hint = get_u32(p + 16);
  out->context_id = get_u16(p + 20);
  out->cancel_count = p[22];
  out->fault_flags = p[23];
  out->status = get_u32(p + 24);
  return Status::ok();
}

}  // namespace rpc
