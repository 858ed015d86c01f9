// Kernel objects behind HANDLEs. A handle is the address of its object's
// record; a registry of live handles lets a stale or wrong-typed handle fail
// with ERROR_INVALID_HANDLE instead of being dereferenced. The registry is
// thread-safe; each object guards its own state.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace trv::platform {

enum class ObjectType { File, Port, Thread, Semaphore, Heap };

class KernelObject {
 public:
  explicit KernelObject(ObjectType type) : type_(type) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectType type() const { return type_; }

  // Called once, when the handle has been removed from the registry. The
  // object itself lives on while anything (a running thread, a read in
  // flight, a waiter) still holds a reference.
  virtual void handle_closed() {}

 private:
  const ObjectType type_;
};

// Registers `object` and returns its handle.
HANDLE register_object(std::shared_ptr<KernelObject> object);

// The live object behind `handle` if it has the given type, else null.
std::shared_ptr<KernelObject> find_object(HANDLE handle, ObjectType type);

template <typename T>
std::shared_ptr<T> find(HANDLE handle) {
  return std::static_pointer_cast<T>(find_object(handle, T::kType));
}

// Removes `handle` from the registry if it is live and its type is one of
// those CloseHandle accepts (not a heap); returns the object, or null.
std::shared_ptr<KernelObject> unregister_handle(HANDLE handle);

// Removes a heap handle; null if `handle` is not a live heap.
std::shared_ptr<KernelObject> unregister_heap(HANDLE handle);

}  // namespace trv::platform
