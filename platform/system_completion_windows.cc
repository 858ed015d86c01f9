// The runtime's call completions on Windows: the system's own port.
#include "platform/system_completion.h"

namespace trv::platform {

BOOL post_system_completion(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
  return PostQueuedCompletionStatus(port, bytes, key, overlapped);
}

}  // namespace trv::platform
