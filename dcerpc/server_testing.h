// Test helpers for the server side: the raw client (testing/raw_rpc_client.h)
// and a recording dispatcher. For tests only.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/server.h"
#include "dcerpc/socket.h"
#include "testing/pdu_reader.h"
#include "testing/raw_rpc_client.h"
#include "testing/service_bind.h"

namespace rpc::testing {

// Collects a server's events (ServerOptions::on_event) for inspection.
class EventRecorder {
 public:
  ServerEventSink sink() {
    return [this](const ServerEvent& event) {
      std::lock_guard lock(mu_);
      lines_.push_back(event.text);
      events_.push_back(event);
    };
  }
  std::vector<ServerEvent> events() {
    std::lock_guard lock(mu_);
    return events_;
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }
  // How many lines are exactly `line`.
  std::size_t count(const std::string& line) {
    std::lock_guard lock(mu_);
    return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
  }
  // How many lines start with `prefix`.
  std::size_t count_starting(const std::string& prefix) {
    std::lock_guard lock(mu_);
    return static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
  std::vector<ServerEvent> events_;
};

// Polls `done` every 2 ms for at most 20 s; whether it became true. A safety
// net against a hang, never a measurement.
inline bool eventually(const std::function<bool()>& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A dispatcher whose procedures are useful to runtime tests:
//   0 echo: replies with the request stub
//   1 sized: replies with N bytes (N = first 4 stub bytes), byte i = i & 0xFF
//   2 drop: closes the connection
//   3 fault: faults with the first 4 stub bytes as status
//   4 rendezvous: waits until `rendezvous_needed` calls are inside it, or
//     until release()
class TestDispatcher : public Dispatcher {
 public:
  static constexpr std::uint16_t kProcedures = 5;

  DispatchResult dispatch(const CallInfo& call, std::span<const std::uint8_t> stub,
                          std::vector<std::uint8_t>* reply) override {
    {
      std::lock_guard lock(mu_);
      calls_.push_back(call);
    }
    switch (call.opnum) {
      case 0:
        reply->assign(stub.begin(), stub.end());
        return DispatchResult::reply();
      case 1: {
        const std::uint32_t n = stub.size() >= 4 ? get_u32(stub.data()) : 0;
        reply->resize(n);
        for (std::uint32_t i = 0; i < n; ++i) (*reply)[i] = static_cast<std::uint8_t>(i);
        return DispatchResult::reply();
      }
      case 2:
        return DispatchResult::drop();
      case 3:
        return DispatchResult::fault(stub.size() >= 4 ? get_u32(stub.data()) : 0, false);
      default: {
        std::unique_lock lock(mu_);
        ++inside_;
        cv_.notify_all();
        cv_.wait(lock, [&] { return inside_ >= rendezvous_needed || released_; });
        return DispatchResult::reply();
      }
    }
  }

  void group_ended(std::uint32_t group) override {
    std::lock_guard lock(mu_);
    ended_.push_back(group);
    cv_.notify_all();
  }

  std::vector<std::uint32_t> ended_groups() {
    std::lock_guard lock(mu_);
    return ended_;
  }
  void wait_for_ended(std::size_t count) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return ended_.size() >= count; });
  }
  std::vector<CallInfo> calls() {
    std::lock_guard lock(mu_);
    return calls_;
  }
  // Waits until `count` calls have been inside rendezvous.
  void wait_inside(int count) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return inside_ >= count; });
  }
  // Lets every rendezvous call return, now and later.
  void release() {
    std::lock_guard lock(mu_);
    released_ = true;
    cv_.notify_all();
  }

  int rendezvous_needed = 2;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<CallInfo> calls_;
  std::vector<std::uint32_t> ended_;
  int inside_ = 0;
  bool released_ = false;
};

// Waits (without a deadline) until the server counts `open` connections.
inline void wait_for_open_connections(const Server& server, std::uint64_t open) {
  while (server.stats().open_connections != open) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline std::vector<std::uint8_t> u32_stub(std::uint32_t v) {
  std::vector<std::uint8_t> stub(4);
  put_u32(stub.data(), v);
  return stub;
}

// The prologue of the server tests: a server of the test interface with
// `dispatcher`'s procedures, started (on 127.0.0.1 and a free port unless
// `options` says otherwise). Null, with the test failed, when it cannot start.
inline std::unique_ptr<Server> start_test_server(TestDispatcher* dispatcher,
                                                 ServerOptions options = {}) {
  auto server = std::make_unique<Server>(std::move(options), replication_service_interface(),
                                         TestDispatcher::kProcedures, dispatcher);
  if (Status s = server->start(); !s.is_ok()) {
    ADD_FAILURE() << s.to_string();
    return nullptr;
  }
  EXPECT_NE(server->port(), 0);
  return server;
}

}  // namespace rpc::testing
