// The reply reader's wait on Linux: epoll, woken through an eventfd.
#include "dcerpc/poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace rpc {

Poller::~Poller() {
  if (wake_handle_ >= 0) close(static_cast<int>(wake_handle_));
  if (wait_handle_ >= 0) close(static_cast<int>(wait_handle_));
}

Status Poller::open() {
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd < 0) return Status::failure(status::kOutOfResources, "epoll_create1", errno);
  wait_handle_ = epoll_fd;
  const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) return Status::failure(status::kOutOfResources, "eventfd", errno);
  wake_handle_ = wake_fd;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up descriptor
  if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &event) != 0) {
    return Status::failure(status::kOutOfResources, "epoll_ctl", errno);
  }
  return Status::ok();
}

bool Poller::add(NativeSocket socket, void* tag) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = tag;
  return epoll_ctl(static_cast<int>(wait_handle_), EPOLL_CTL_ADD, static_cast<int>(socket),
                   &event) == 0;
}

void Poller::remove(NativeSocket socket) {
  epoll_ctl(static_cast<int>(wait_handle_), EPOLL_CTL_DEL, static_cast<int>(socket), nullptr);
}

int Poller::wait(int milliseconds, void** tags, int capacity) {
  constexpr int kMaxEvents = 64;
  epoll_event events[kMaxEvents];
  const int count = epoll_wait(static_cast<int>(wait_handle_), events,
                               capacity < kMaxEvents ? capacity : kMaxEvents, milliseconds);
  if (count < 0) return errno == EINTR ? 0 : -1;
  int ready = 0;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.ptr == nullptr) {
      std::uint64_t drained;
      [[maybe_unused]] ssize_t ignored = read(static_cast<int>(wake_handle_), &drained, sizeof drained);
      continue;
    }
    tags[ready++] = events[i].data.ptr;
  }
  return ready;
}

void Poller::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = write(static_cast<int>(wake_handle_), &one, sizeof one);
}

}  // namespace rpc
