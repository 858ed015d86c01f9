// The asynchronous reply reader. Connections are registered level-triggered
// for input only after their request has gone out completely, so a reply
// can never be handled while the sender still uses the connection.
#include "rpc/runtime/client_reader.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "rpc/runtime/binding.h"

namespace rpc {

Status ClientReader::start() {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) return Status::Error(status::kOutOfResources, "epoll_create1", errno);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return Status::Error(status::kOutOfResources, "eventfd", errno);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up descriptor
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event) != 0) {
    return Status::Error(status::kOutOfResources, "epoll_ctl", errno);
  }
  watched_.reserve(kMaxAsyncCalls);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    return Status::Error(status::kOutOfResources, "starting the reply reader",
                         error.code().value());
  }
  return Status::Ok();
}

ClientReader::~ClientReader() {
  if (thread_.joinable()) {
    stopping_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(wake_fd_, &one, sizeof(one));
    thread_.join();
  }
  // Calls still waiting have lost their connection with the binding.
  for (;;) {
    Watched entry;
    {
      std::lock_guard lock(lock_);
      if (watched_.empty()) break;
      entry = watched_.back();
    }
    finish(entry.connection, RPC_S_CALL_FAILED, false);
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

void ClientReader::watch(std::unique_ptr<ClientConnection> connection, AsyncCall* call) {
  ClientConnection* raw = connection.release();
  {
    std::lock_guard lock(lock_);
    watched_.push_back({raw, call});
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = raw;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, raw->fd(), &event) == 0) return;
  }
  // Without a registration the reply would never be read.
  finish(raw, RPC_S_CALL_FAILED, false);
}

void ClientReader::run() {
  epoll_event events[kMaxAsyncCalls + 1];
  while (!stopping_.load()) {
    const int count = epoll_wait(epoll_fd_, events, kMaxAsyncCalls + 1, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      return;  // the destructor fails whatever is left
    }
    for (int i = 0; i < count; ++i) {
      auto* connection = static_cast<ClientConnection*>(events[i].data.ptr);
      if (connection == nullptr) continue;  // a wake-up: the loop checks stopping_
      {
        // Taking the lock orders this thread after the watch() that handed
        // the connection over.
        std::lock_guard lock(lock_);
        const bool known = std::any_of(watched_.begin(), watched_.end(), [&](const Watched& w) {
          return w.connection == connection;
        });
        if (!known) continue;
      }
      Status outcome;
      if (connection->pump_reply(&outcome)) {
        finish(connection, outcome.code(), connection->usable());
      }
    }
  }
}

void ClientReader::finish(ClientConnection* connection, RPC_STATUS status, bool reusable) {
  AsyncCall* call = nullptr;
  {
    std::lock_guard lock(lock_);
    auto it = std::find_if(watched_.begin(), watched_.end(),
                           [&](const Watched& w) { return w.connection == connection; });
    if (it == watched_.end()) return;
    call = it->call;
    watched_.erase(it);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, connection->fd(), nullptr);
  }
  // The connection goes back first, so that the call the completion sets off
  // finds it idle instead of opening another.
  owner_->release(std::unique_ptr<ClientConnection>(connection), reusable);
  complete_async_call(call, status);
}

}  // namespace rpc
