// NDR 2.0 and NDR64 marshalling of the four ReplicationService procedures,
// written by hand for exactly these signatures. Pure functions over caller
// buffers; safe from any thread.
//
// Request stubs (alignment counted from the first stub byte):
//   open_device / close_device: dest i16 (2 bytes, both syntaxes).
//   compare: dest i16, pad to 8, offset i64, digest_length i32, the digest's
//     conformance (u32 in NDR 2.0; pad to 8 + u64 in NDR64), digest bytes, pad
//     to 4, data_length i32. Nothing follows.
//   replicate: as compare up to data_length, then the data's conformance (u32
//     in NDR 2.0; pad to 8 + u64 in NDR64) and the data bytes, which end the
//     stub.
// Response stub: the i32 result.
//
// Request decoding is strict: the conformance of each array must equal its
// length parameter, lengths must not be negative, the stub must hold the
// whole layout, and nothing may follow the layout's end. Pad bytes are never
// checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/rpc_status.h"

using Syntax = rpc::Syntax;

// Operation numbers of the procedures.
enum ReplicationOpnum : std::uint16_t {
  kOpenDeviceOpnum = 0,
  kReplicateOpnum = 1,
  kCompareOpnum = 2,
  kCloseDeviceOpnum = 3,
};
constexpr std::uint16_t kReplicationProcedureCount = 4;

// --- open_device, close_device ---------------------------------------------

constexpr std::size_t kDeviceRequestSize = 2;
void encode_device_request(std::int16_t dest, std::uint8_t out[kDeviceRequestSize]);
rpc::Status decode_device_request(Syntax syntax, std::span<const std::uint8_t> stub,
                                  std::int16_t* dest);

// --- compare ----------------------------------------------------------------

// Stub size of a compare request with a digest of `digest_length` bytes
// (D=16: 44 in NDR 2.0, 52 in NDR64).
std::size_t compare_request_size(Syntax syntax, std::size_t digest_length);
// Writes the whole compare stub into `out` (at least compare_request_size
// bytes; pad bytes are zero) and returns its length.
std::size_t encode_compare_request(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                   std::span<const std::uint8_t> digest, std::int32_t data_length,
                                   std::span<std::uint8_t> out);

struct CompareRequest {
  std::int16_t dest = 0;
  std::int64_t offset = 0;
  std::span<const std::uint8_t> digest;  // a view into the stub
  std::int32_t data_length = 0;
};
rpc::Status decode_compare_request(Syntax syntax, std::span<const std::uint8_t> stub,
                                   CompareRequest* out);

// --- replicate --------------------------------------------------------------

// Bytes of a replicate stub before the data array (D=16: 48 in NDR 2.0, 64 in
// NDR64). The whole stub is this plus the data length.
std::size_t replicate_head_size(Syntax syntax, std::size_t digest_length);
// Writes the part of the replicate stub that precedes the data bytes into
// `out` (at least replicate_head_size bytes) and returns its length. The
// caller sends these bytes followed by `data_length` bytes of its own buffer,
// unchanged: they end the stub.
std::size_t encode_replicate_head(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                  std::span<const std::uint8_t> digest, std::uint32_t data_length,
                                  std::span<std::uint8_t> out);
// Where the data bytes begin in a replicate stub whose first bytes are
// `stub_start` (the first fragment's), or 0 when those bytes do not show it.
std::size_t replicate_data_offset(Syntax syntax, std::span<const std::uint8_t> stub_start);
// The whole stub in one vector (tests and small calls).
std::vector<std::uint8_t> encode_replicate_request(Syntax syntax, std::int16_t dest,
                                                   std::int64_t offset,
                                                   std::span<const std::uint8_t> digest,
                                                   std::span<const std::uint8_t> data);

struct ReplicateRequest {
  std::int16_t dest = 0;
  std::int64_t offset = 0;
  std::span<const std::uint8_t> digest;  // views into the stub
  std::span<const std::uint8_t> data;
};
rpc::Status decode_replicate_request(Syntax syntax, std::span<const std::uint8_t> stub,
                                     ReplicateRequest* out);

// --- responses (all four procedures) ---------------------------------------

constexpr std::size_t kResultResponseSize = 4;
void encode_result_response(std::int32_t result, std::uint8_t out[kResultResponseSize]);
// Reads the i32 result; tolerates up to 4 trailing (pad) bytes. Shorter or
// longer: kBadStubData.
rpc::Status decode_result_response(std::span<const std::uint8_t> stub, std::int32_t* result);
