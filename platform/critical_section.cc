// Critical sections on a recursive pthread mutex, with Windows' spin-then-
// block behaviour: an entering thread tries the lock up to the spin count
// before it sleeps in the mutex.
//
// Differences from Windows: InitializeCriticalSectionAndSpinCount fails only
// when a failure is injected or the mutex cannot be initialised; leaving a
// section the caller does not own is ignored by the mutex (Windows corrupts
// the section); no debug information or deadlock detection.
#include <pthread.h>

#include <atomic>
#include <new>

#include "platform/error_map.h"

namespace {

struct Section {
  pthread_mutex_t mutex;
  std::atomic<DWORD> spin_count;
};
static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION));
static_assert(alignof(Section) <= alignof(CRITICAL_SECTION));

Section* section_of(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<Section*>(section->opaque));
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spin_count) {
  using namespace trv::platform;
  if (fail_if_injected("InitializeCriticalSectionAndSpinCount")) return FALSE;
  if (section == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto* s = new (section->opaque) Section;
  s->spin_count.store(spin_count & 0x00FFFFFFu, std::memory_order_relaxed);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  const int error = pthread_mutex_init(&s->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error != 0) {
    s->~Section();
    return fail(windows_resource_error_from_errno(error), FALSE);
  }
  return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  Section* s = section_of(section);
  const DWORD spins = s->spin_count.load(std::memory_order_relaxed);
  for (DWORD i = 0; i < spins; ++i) {
    if (pthread_mutex_trylock(&s->mutex) == 0) return;
    cpu_relax();
  }
  pthread_mutex_lock(&s->mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_unlock(&section_of(section)->mutex);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  Section* s = section_of(section);
  pthread_mutex_destroy(&s->mutex);
  s->~Section();
}
