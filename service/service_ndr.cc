// Hand-written NDR 2.0 / NDR64 stubs of ReplicationService. The two syntaxes
// differ only in the width and alignment of an array's conformance (u32 at 4
// vs u64 at 8); everything else is aligned to its own size in both.
#include "service/service_ndr.h"

#include <cstring>

using rpc::get_u16;
using rpc::get_u32;
using rpc::get_u64;
using rpc::put_u16;
using rpc::put_u32;
using rpc::put_u64;

namespace {

constexpr std::size_t align(std::size_t x, std::size_t a) { return (x + a - 1) & ~(a - 1); }

rpc::Status bad_stub(const char* what) {
  return rpc::Status::failure(rpc::status::kBadStubData, what);
}

// Offsets of the shared prefix of compare and replicate for digest length D.
struct Layout {
  std::size_t digest_conformance;  // offset of the digest's max_count
  std::size_t digest;              // offset of the digest bytes
  std::size_t data_length;         // offset of data_length
  std::size_t data_conformance;    // offset of the data's max_count (replicate)
  std::size_t data;                // offset of the data bytes (replicate)
};

Layout layout_of(Syntax syntax, std::size_t digest_length) {
  Layout l;
  // dest @0, pad, offset @8, digest_length @16.
  if (syntax == Syntax::Ndr20) {
    l.digest_conformance = 20;
    l.digest = 24;
    l.data_length = align(l.digest + digest_length, 4);
    l.data_conformance = l.data_length + 4;
    l.data = l.data_conformance + 4;
  } else {
    l.digest_conformance = 24;
    l.digest = 32;
    l.data_length = align(l.digest + digest_length, 4);
    l.data_conformance = align(l.data_length + 4, 8);
    l.data = l.data_conformance + 8;
  }
  return l;
}

std::size_t conformance_size(Syntax syntax) { return syntax == Syntax::Ndr20 ? 4 : 8; }

void put_conformance(Syntax syntax, std::uint8_t* p, std::uint64_t count) {
  if (syntax == Syntax::Ndr20) {
    put_u32(p, static_cast<std::uint32_t>(count));
  } else {
    put_u64(p, count);
  }
}

std::uint64_t get_conformance(Syntax syntax, const std::uint8_t* p) {
  return syntax == Syntax::Ndr20 ? get_u32(p) : get_u64(p);
}

// Writes dest, offset, digest_length, the digest and data_length; returns the
// layout. `out` has room for everything up to data_length.
Layout encode_prefix(Syntax syntax, std::int16_t dest, std::int64_t offset,
                     std::span<const std::uint8_t> digest, std::int32_t data_length,
                     std::uint8_t* out) {
  const Layout l = layout_of(syntax, digest.size());
  std::memset(out, 0, l.data_length + 4);
  put_u16(out, static_cast<std::uint16_t>(dest));
  put_u64(out + 8, static_cast<std::uint64_t>(offset));
  put_u32(out + 16, static_cast<std::uint32_t>(digest.size()));
  put_conformance(syntax, out + l.digest_conformance, digest.size());
  if (!digest.empty()) std::memcpy(out + l.digest, digest.data(), digest.size());
  put_u32(out + l.data_length, static_cast<std::uint32_t>(data_length));
  return l;
}

// Decodes the prefix shared by compare and replicate; `*layout` tells where
// data_length sat. Checks that the stub reaches past data_length.
rpc::Status decode_prefix(Syntax syntax, std::span<const std::uint8_t> stub, std::int16_t* dest,
                          std::int64_t* offset, std::span<const std::uint8_t>* digest,
                          std::int32_t* data_length, Layout* layout) {
  const std::uint8_t* p = stub.data();
  const std::size_t conformance_end =
      (syntax == Syntax::Ndr20 ? 20 : 24) + conformance_size(syntax);
  if (stub.size() < conformance_end) return bad_stub("stub too short");
  *dest = static_cast<std::int16_t>(get_u16(p));
  *offset = static_cast<std::int64_t>(get_u64(p + 8));
  const std::int32_t digest_length = static_cast<std::int32_t>(get_u32(p + 16));
  if (digest_length < 0) return bad_stub("negative digest length");
  const Layout l = layout_of(syntax, static_cast<std::size_t>(digest_length));
  if (get_conformance(syntax, p + l.digest_conformance) !=
      static_cast<std::uint64_t>(digest_length)) {
    return bad_stub("digest conformance differs from digest_length");
  }
  if (stub.size() < l.data_length + 4) return bad_stub("stub too short");
  *digest = stub.subspan(l.digest, static_cast<std::size_t>(digest_length));
  *data_length = static_cast<std::int32_t>(get_u32(p + l.data_length));
  if (*data_length < 0) return bad_stub("negative data length");
  *layout = l;
  return rpc::Status::ok();
}

}  // namespace

void encode_device_request(std::int16_t dest, std::uint8_t out[kDeviceRequestSize]) {
  put_u16(out, static_cast<std::uint16_t>(dest));
}

rpc::Status decode_device_request(Syntax, std::span<const std::uint8_t> stub, std::int16_t* dest) {
  if (stub.size() < kDeviceRequestSize) return bad_stub("stub too short");
  if (stub.size() > kDeviceRequestSize) return bad_stub("bytes after the last parameter");
  *dest = static_cast<std::int16_t>(get_u16(stub.data()));
  return rpc::Status::ok();
}

std::size_t compare_request_size(Syntax syntax, std::size_t digest_length) {
  return layout_of(syntax, digest_length).data_length + 4;
}

std::size_t encode_compare_request(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                   std::span<const std::uint8_t> digest, std::int32_t data_length,
                                   std::span<std::uint8_t> out) {
  const std::size_t size = compare_request_size(syntax, digest.size());
  if (out.size() < size) return 0;
  encode_prefix(syntax, dest, offset, digest, data_length, out.data());
  return size;
}

rpc::Status decode_compare_request(Syntax syntax, std::span<const std::uint8_t> stub,
                                   CompareRequest* out) {
  Layout l;
  if (rpc::Status s = decode_prefix(syntax, stub, &out->dest, &out->offset, &out->digest,
                                    &out->data_length, &l);
      !s.is_ok()) {
    return s;
  }
  if (stub.size() > l.data_length + 4) return bad_stub("bytes after the last parameter");
  return rpc::Status::ok();
}

std::size_t replicate_head_size(Syntax syntax, std::size_t digest_length) {
  return layout_of(syntax, digest_length).data;
}

std::size_t encode_replicate_head(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                  std::span<const std::uint8_t> digest, std::uint32_t data_length,
                                  std::span<std::uint8_t> out) {
  const std::size_t size = replicate_head_size(syntax, digest.size());
  if (out.size() < size) return 0;
  const Layout l = encode_prefix(syntax, dest, offset, digest,
                                 static_cast<std::int32_t>(data_length), out.data());
  std::memset(out.data() + l.data_length + 4, 0, l.data - (l.data_length + 4));
  put_conformance(syntax, out.data() + l.data_conformance, data_length);
  return size;
}

std::size_t replicate_data_offset(Syntax syntax, std::span<const std::uint8_t> stub_start) {
  ReplicateRequest ignored;
  Layout l;
  std::int32_t data_length = 0;
  if (!decode_prefix(syntax, stub_start, &ignored.dest, &ignored.offset, &ignored.digest,
                     &data_length, &l)
           .is_ok()) {
    return 0;
  }
  return l.data;
}

std::vector<std::uint8_t> encode_replicate_request(Syntax syntax, std::int16_t dest,
                                                   std::int64_t offset,
                                                   std::span<const std::uint8_t> digest,
                                                   std::span<const std::uint8_t> data) {
  const std::size_t head = replicate_head_size(syntax, digest.size());
  std::vector<std::uint8_t> out(head + data.size());
  encode_replicate_head(syntax, dest, offset, digest, static_cast<std::uint32_t>(data.size()), out);
  if (!data.empty()) std::memcpy(out.data() + head, data.data(), data.size());
  return out;
}

rpc::Status decode_replicate_request(Syntax syntax, std::span<const std::uint8_t> stub,
                                     ReplicateRequest* out) {
  Layout l;
  std::int32_t data_length = 0;
  if (rpc::Status s =
          decode_prefix(syntax, stub, &out->dest, &out->offset, &out->digest, &data_length, &l);
      !s.is_ok()) {
    return s;
  }
  if (stub.size() < l.data) return bad_stub("stub too short");
  if (get_conformance(syntax, stub.data() + l.data_conformance) !=
      static_cast<std::uint64_t>(data_length)) {
    return bad_stub("data conformance differs from data_length");
  }
  const std::size_t length = static_cast<std::size_t>(data_length);
  if (stub.size() - l.data < length) return bad_stub("stub too short");
  if (stub.size() - l.data > length) return bad_stub("bytes after the last parameter");
  out->data = stub.subspan(l.data, length);
  return rpc::Status::ok();
}

void encode_result_response(std::int32_t result, std::uint8_t out[kResultResponseSize]) {
  put_u32(out, static_cast<std::uint32_t>(result));
}

rpc::Status decode_result_response(std::span<const std::uint8_t> stub, std::int32_t* result) {
  if (stub.size() < kResultResponseSize) return bad_stub("response stub too short");
  if (stub.size() > kResultResponseSize + 4) return bad_stub("response stub too long");
  *result = static_cast<std::int32_t>(get_u32(stub.data()));
  return rpc::Status::ok();
}
