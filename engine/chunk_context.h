// The record that carries one 1 MiB chunk of the source disk through its
// stages. A context belongs to one party at a time (the port, the OS while a
// read is outstanding, the RPC runtime while a call is outstanding, or the
// worker that dequeued it), so it carries no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

struct RPC_ASYNC_STATE;

enum ChunkStage : std::int32_t {
  Idle = 0,
  Reading = 1,
  // 2 is not used.
  Comparing = 3,
  Replicating = 4,
};

constexpr std::uint32_t kChunkDigestLength = 16;
constexpr std::uint32_t kChunkDataLength = 1048576;

struct ChunkContext {
  std::int32_t dest_disk_index;  // the remote calls send its low 16 bits
  std::uint64_t offset;          // of the chunk on source and destination
  std::int32_t stage;            // a ChunkStage
  std::uint32_t digest_length;   // always kChunkDigestLength
  std::uint8_t* digest;
  std::uint32_t data_length;  // always kChunkDataLength
  std::uint8_t* data;
  OVERLAPPED overlapped;  // embedded: the context is found from its address
  RPC_ASYNC_STATE* async_state;
};

// The context that embeds `overlapped`, as a completion returns it.
inline ChunkContext* context_from_overlapped(OVERLAPPED* overlapped) {
  return reinterpret_cast<ChunkContext*>(reinterpret_cast<char*>(overlapped) -
                                         offsetof(ChunkContext, overlapped));
}
