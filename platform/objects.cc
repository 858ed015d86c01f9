// The registry of live handles and CloseHandle. Lookups take a shared lock,
// registration and closing an exclusive one; no other lock is taken while
// the registry lock is held.
//
// Differences from Windows: handles are addresses, so a handle value can be
// reused once its object has been freed, and a stale handle that happens to
// equal a new object's address reaches that object; CloseHandle on a heap
// handle fails with ERROR_INVALID_HANDLE, as on Windows.
#include "platform/objects.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "platform/error_map.h"

namespace trv::platform {
namespace {

struct Registry {
  std::shared_mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<KernelObject>> objects;  // guarded by mutex
};

Registry& registry() {
  static Registry* instance = new Registry;  // outlives every thread; never destroyed
  return *instance;
}

std::shared_ptr<KernelObject> unregister_if(HANDLE handle, bool heap) {
  Registry& r = registry();
  std::shared_ptr<KernelObject> object;
  {
    std::unique_lock lock(r.mutex);
    auto it = r.objects.find(handle);
    if (it == r.objects.end() || (it->second->type() == ObjectType::Heap) != heap) return nullptr;
    object = std::move(it->second);
    r.objects.erase(it);
  }
  object->handle_closed();
  return object;
}

}  // namespace

HANDLE register_object(std::shared_ptr<KernelObject> object) {
  Registry& r = registry();
  HANDLE handle = object.get();
  std::unique_lock lock(r.mutex);
  r.objects.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<KernelObject> find_object(HANDLE handle, ObjectType type) {
  Registry& r = registry();
  std::shared_lock lock(r.mutex);
  auto it = r.objects.find(handle);
  if (it == r.objects.end() || it->second->type() != type) return nullptr;
  return it->second;
}

std::shared_ptr<KernelObject> unregister_handle(HANDLE handle) {
  return unregister_if(handle, false);
}

std::shared_ptr<KernelObject> unregister_heap(HANDLE handle) { return unregister_if(handle, true); }

}  // namespace trv::platform

BOOL CloseHandle(HANDLE handle) {
  using namespace trv::platform;
  if (fail_if_injected("CloseHandle")) return FALSE;
  if (!unregister_handle(handle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
