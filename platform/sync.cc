// Threads, semaphores and the waits on them. Every waitable object's state
// lives under one process-wide wait lock, so that WaitForMultipleObjects can
// test and take several objects atomically; each waiting thread registers
// its own condition variable with the objects it waits on and is woken only
// when one of them changes. The lock is held for bookkeeping only.
//
// Differences from Windows: CREATE_SUSPENDED is refused with
// ERROR_NOT_SUPPORTED; named semaphores are refused with
// ERROR_NOT_SUPPORTED (no cross-process objects); a wait for all objects
// that lists one object twice fails with ERROR_INVALID_PARAMETER; waits are
// not alertable; thread priorities and affinities do not exist.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/error_map.h"
#include "platform/objects.h"

namespace trv::platform {
namespace {

std::mutex& wait_lock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: threads may outlive statics
  return *lock;
}

class Waitable : public KernelObject {
 public:
  using KernelObject::KernelObject;

  // All of the following run under wait_lock().
  virtual bool signaled() const = 0;
  // Takes the signal a satisfied wait consumes (a semaphore's count).
  virtual void consume() {}
  void add_waiter(std::condition_variable* waiter) { waiters_.push_back(waiter); }
  void remove_waiter(std::condition_variable* waiter) {
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
  }
  void wake_waiters() {
    for (auto* waiter : waiters_) waiter->notify_one();
  }

 private:
  std::vector<std::condition_variable*> waiters_;  // guarded by wait_lock()
};

class Thread : public Waitable {
 public:
  static constexpr ObjectType kType = ObjectType::Thread;
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
      : Waitable(kType), start_(start), parameter_(parameter) {}

  bool signaled() const override { return exited_; }

  static void* main(void* raw) {
    // The thread holds a reference to its own object until it has exited.
    std::shared_ptr<Thread> self(std::move(*static_cast<std::shared_ptr<Thread>*>(raw)));
    delete static_cast<std::shared_ptr<Thread>*>(raw);
    self->id_.store(GetCurrentThreadId());
    self->id_.notify_all();
    const DWORD code = self->start_(self->parameter_);
    std::lock_guard lock(wait_lock());
    self->exit_code_ = code;
    self->exited_ = true;
    self->wake_waiters();
    return nullptr;
  }

  DWORD wait_for_id() {
    id_.wait(0);
    return id_.load();
  }

  DWORD exit_code() {
    std::lock_guard lock(wait_lock());
    return exited_ ? exit_code_ : STILL_ACTIVE;
  }

 private:
  const LPTHREAD_START_ROUTINE start_;
  const LPVOID parameter_;
  std::atomic<DWORD> id_{0};
  bool exited_ = false;  // guarded by wait_lock()
  DWORD exit_code_ = 0;  // guarded by wait_lock()
};

class Semaphore : public Waitable {
 public:
  static constexpr ObjectType kType = ObjectType::Semaphore;
  Semaphore(LONG initial, LONG maximum) : Waitable(kType), count_(initial), maximum_(maximum) {}

  bool signaled() const override { return count_ > 0; }
  void consume() override { --count_; }

  Status release(LONG count, LONG* previous) {
    std::lock_guard lock(wait_lock());
    if (count > maximum_ - count_) return Status::failure(ERROR_TOO_MANY_POSTS);
    if (previous) *previous = count_;
    count_ += count;
    wake_waiters();
    return Status::ok();
  }

 private:
  LONG count_;  // guarded by wait_lock()
  const LONG maximum_;
};

std::shared_ptr<Waitable> find_waitable(HANDLE handle) {
  if (auto thread = find<Thread>(handle)) return thread;
  if (auto semaphore = find<Semaphore>(handle)) return semaphore;
  return nullptr;
}

// The one wait loop behind both wait functions, on objects already checked:
// WAIT_OBJECT_0 + i (0 when waiting for all) or WAIT_TIMEOUT. A satisfied
// wait takes what it waited for atomically; a timed-out one takes nothing.
DWORD wait_for(const std::vector<std::shared_ptr<Waitable>>& objects, bool wait_all,
               DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::condition_variable woken;
  std::unique_lock lock(wait_lock());
  bool registered = false;
  const auto unregister = [&] {
    if (!registered) return;
    for (auto& object : objects) object->remove_waiter(&woken);
    registered = false;
  };
  while (true) {
    if (wait_all) {
      if (std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->signaled(); })) {
        for (auto& object : objects) object->consume();
        unregister();
        return WAIT_OBJECT_0;
      }
    } else {
      for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->signaled()) {
          objects[i]->consume();
          unregister();
          return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
      }
    }
    if (milliseconds == 0 || (milliseconds != INFINITE && Clock::now() >= deadline)) {
      unregister();
      return WAIT_TIMEOUT;
    }
    if (!registered) {
      for (auto& object : objects) object->add_waiter(&woken);
      registered = true;
    }
    if (milliseconds == INFINITE) {
      woken.wait(lock);
    } else {
      woken.wait_until(lock, deadline);
    }
  }
}

}  // namespace
}  // namespace trv::platform

using namespace trv::platform;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id) {
  if (fail_if_injected("CreateThread")) return nullptr;
  if (start == nullptr) return fail(ERROR_INVALID_PARAMETER, nullptr);
  if (creation_flags & CREATE_SUSPENDED) return fail(ERROR_NOT_SUPPORTED, nullptr);

  auto thread = std::make_shared<Thread>(start, parameter);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stack_size > 0) {
    pthread_attr_setstacksize(&attributes, std::max<SIZE_T>(stack_size, PTHREAD_STACK_MIN));
  }
  auto* reference = new std::shared_ptr<Thread>(thread);
  pthread_t posix_thread;
  const int error = pthread_create(&posix_thread, &attributes, &Thread::main, reference);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete reference;
    return fail(windows_resource_error_from_errno(error), nullptr);
  }
  // The new thread publishes its kernel id first thing; waiting for it keeps
  // GetCurrentThreadId() inside the thread equal to what the creator sees.
  const DWORD id = thread->wait_for_id();
  if (thread_id) *thread_id = id;
  return register_object(std::move(thread));
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
  if (fail_if_injected("GetExitCodeThread")) return FALSE;
  auto thread = find<Thread>(handle);
  if (!thread) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (exit_code == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  *exit_code = thread->exit_code();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (fail_if_injected("WaitForSingleObject")) return WAIT_FAILED;
  auto object = find_waitable(handle);
  if (!object) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  return wait_for({object}, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (fail_if_injected("WaitForMultipleObjects")) return WAIT_FAILED;
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  }
  std::vector<std::shared_ptr<Waitable>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = find_waitable(handles[i]);
    if (!object) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    if (wait_all && std::find(objects.begin(), objects.end(), object) != objects.end()) {
      return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    objects.push_back(std::move(object));
  }
  return wait_for(objects, wait_all != FALSE, milliseconds);
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES /*security*/, LONG initial_count, LONG maximum_count,
                        LPCWSTR name) {
  if (fail_if_injected("CreateSemaphoreW")) return nullptr;
  if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
    return fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  if (name != nullptr && *name != L'\0') return fail(ERROR_NOT_SUPPORTED, nullptr);
  return register_object(std::make_shared<Semaphore>(initial_count, maximum_count));
}

BOOL ReleaseSemaphore(HANDLE handle, LONG release_count, LONG* previous_count) {
  if (fail_if_injected("ReleaseSemaphore")) return FALSE;
  auto semaphore = find<Semaphore>(handle);
  if (!semaphore) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (release_count <= 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (Status s = semaphore->release(release_count, previous_count); !s.is_ok()) {
    return fail(s.code(), FALSE);
  }
  return TRUE;
}
