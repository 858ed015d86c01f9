// Memory for direct I/O: the kernel wants the buffer of an O_DIRECT read or
// write aligned, as well as its file position and length. The buffers are
// large ones (dcerpc/large_buffer.h): a read-ahead batch of whole 2 MiB
// stretches lies on huge pages where the system offers them. Plain
// functions, any thread.
#pragma once

#include <cstddef>

#include "dcerpc/large_buffer.h"

// Buffers of direct reads and writes start at a multiple of this, which
// serves every logical block size a direct open is used with.
inline constexpr std::size_t kDirectMemoryAlignment = rpc::kLargeBufferAlignment;

using AlignedBuffer = rpc::LargeBuffer;

// `size` bytes at a multiple of kDirectMemoryAlignment; empty when the
// memory cannot be had.
inline AlignedBuffer allocate_aligned(std::size_t size) { return rpc::make_large_buffer(size); }
