// The asynchronous reply reader. Connections are registered level-triggered
// for input only after their request (or ping) has gone out completely, so a
// reply can never be handled while the sender still uses the connection.
// Deadlines and the keepalive are checked after every wake-up; the poller
// waits no longer than the nearest of them.
#include "dcerpc/client_reader.h"

#include <algorithm>
#include <system_error>

#include "dcerpc/binding.h"

namespace rpc {
namespace {

// Calls and pings at once: every asynchronous call, plus every connection of
// the pool out for a ping; more events than this are reported next round.
constexpr int kMaxEvents = 2 * kMaxAsyncCalls + 2;

}  // namespace

Status ClientReader::start() {
  if (Status s = poller_.open(); !s.is_ok()) return s;
  watched_.reserve(kMaxEvents);
  due_.reserve(kMaxAsyncCalls + 1);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    return Status::failure(status::kOutOfResources, "starting the reply reader",
                         error.code().value());
  }
  return Status::ok();
}

ClientReader::~ClientReader() {
  if (thread_.joinable()) {
    stopping_.store(true);
    poller_.wake();
    thread_.join();
  }
  // Calls still waiting have lost their connection with the binding; pings
  // still out close theirs.
  for (;;) {
    ClientConnection* connection;
    {
      std::lock_guard lock(lock_);
      if (watched_.empty()) break;
      connection = watched_.back().connection;
    }
    finish(connection, RPC_S_CALL_FAILED, false);
  }
}

bool ClientReader::add(ClientConnection* connection, AsyncCall* call) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(reply_timeout_ms());
  std::lock_guard lock(lock_);
  watched_.push_back({connection, call, deadline});
  if (poller_.add(connection->fd(), connection)) return true;
  watched_.pop_back();
  return false;
}

void ClientReader::watch(std::unique_ptr<ClientConnection> connection, AsyncCall* call) {
  ClientConnection* raw = connection.get();
  if (add(raw, call)) {
    connection.release();
    return;
  }
  // Without a registration the reply would never be read.
  owner_->release(std::move(connection), false);
  complete_async_call(call, RPC_S_CALL_FAILED);
}

void ClientReader::run() {
  void* ready[kMaxEvents];
  while (!stopping_.load()) {
    const int count = poller_.wait(wait_ms(Clock::now()), ready, kMaxEvents);
    if (count < 0) return;  // the destructor fails whatever is left
    for (int i = 0; i < count; ++i) read_from(static_cast<ClientConnection*>(ready[i]));
    if (stopping_.load()) return;
    const Clock::time_point now = Clock::now();
    expire(now);
    ping_idle(now);
  }
}

void ClientReader::read_from(ClientConnection* connection) {
  {
    // Taking the lock orders this thread after the watch() that handed
    // the connection over.
    std::lock_guard lock(lock_);
    const bool known = std::any_of(watched_.begin(), watched_.end(),
                                   [&](const Watched& w) { return w.connection == connection; });
    if (!known) return;
  }
  Status outcome;
  bool progressed = false;
  if (connection->pump_reply(&outcome, &progressed)) {
    finish(connection, outcome.code(), connection->usable());
    return;
  }
  if (!progressed) return;
  // Any byte of the answer restarts its bound.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(reply_timeout_ms());
  std::lock_guard lock(lock_);
  for (Watched& w : watched_) {
    if (w.connection == connection) w.deadline = deadline;
  }
}

void ClientReader::expire(Clock::time_point now) {
  for (;;) {
    ClientConnection* late = nullptr;
    {
      std::lock_guard lock(lock_);
      for (const Watched& w : watched_) {
        if (w.deadline <= now) {
          late = w.connection;
          break;
        }
      }
    }
    if (late == nullptr) return;
    finish(late, RPC_S_CALL_CANCELLED, false);
  }
}

void ClientReader::ping_idle(Clock::time_point now) {
  due_.clear();
  owner_->take_for_ping(now - std::chrono::milliseconds(keepalive_idle_ms()), &due_);
  for (std::unique_ptr<ClientConnection>& connection : due_) {
    if (connection->send_ping().is_ok() && add(connection.get(), nullptr)) {
      connection.release();
      continue;
    }
    owner_->end_ping(std::move(connection), RPC_S_CALL_FAILED);
  }
  due_.clear();
}

int ClientReader::wait_ms(Clock::time_point now) {
  const auto keepalive = std::chrono::milliseconds(keepalive_idle_ms());
  Clock::time_point until = now + keepalive;
  if (std::optional<Clock::time_point> oldest = owner_->oldest_idle()) {
    until = std::min(until, *oldest + keepalive);
  }
  {
    std::lock_guard lock(lock_);
    for (const Watched& w : watched_) until = std::min(until, w.deadline);
  }
  if (until <= now) return 0;
  // Rounded up, so that the wait never ends just short of the deadline.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
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
    poller_.remove(connection->fd());
  }
  std::unique_ptr<ClientConnection> owned(connection);
  if (call == nullptr) {
    // An answer followed by bytes nobody asked for is no answer to trust.
    owner_->end_ping(std::move(owned),
                     status == RPC_S_OK && !reusable ? RPC_S_PROTOCOL_ERROR : status);
    return;
  }
  // The connection goes back first, so that the call the completion sets off
  // finds it idle instead of opening another.
  owner_->release(std::move(owned), reusable);
  complete_async_call(call, status);
}

}  // namespace rpc
