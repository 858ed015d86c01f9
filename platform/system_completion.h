// The one platform entry point beyond Win32 that the RPC runtime uses: it
// queues the completion of an asynchronous call to the caller's port, the
// way the system queues the completions of work it does for a program. Any
// thread may call it.
#pragma once

#include "platform/win32.h"

namespace trv::platform {

// Like PostQueuedCompletionStatus. On Linux it is not subject to fault
// injection, so that an armed "PostQueuedCompletionStatus" counts only the
// program's own posts; on Windows it is PostQueuedCompletionStatus itself.
// FALSE with ERROR_INVALID_HANDLE when `port` is not a live port.
BOOL post_system_completion(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped);

}  // namespace trv::platform
