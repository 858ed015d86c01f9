// The signed 32-bit result of every remote procedure of ReplicationService.
// Any value outside this table is a failure to the client.
#pragma once

#include <cstdint>

enum ServerResult : std::int32_t {
  Replicated = 100,  // replicate: the chunk is on the destination
  Differs = 104,     // compare: the destination's chunk differs
  Identical = 106,   // compare: the destination already holds the chunk
  Opened = 107,      // open_device
  Closed = 108,      // close_device
};

// trvs's refusal of a replicate on a disk it serves read-only, for
// verification. The chunk differs and was not written; a run against such a
// disk names every chunk that differs instead of stopping at the first ones.
constexpr std::int32_t kReadOnlyRefusal = 12;
