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
