// Test helpers for the server side: a raw client that speaks PDUs built with
// the codecs of pdu.h over a plain socket, and a recording dispatcher. For
// tests only; one thread per RawClient.
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
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "rpc/runtime/interface_testing.h"
#include "rpc/runtime/pdu.h"
#include "rpc/runtime/server.h"
#include "rpc/runtime/socket.h"
#include "testing/pdu_reader.h"

namespace rpc::testing {

class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    Status s = connect_tcp("127.0.0.1", port, &socket_);
    EXPECT_TRUE(s.ok()) << s.to_string();
  }
  // Connects to 127.0.0.1:`port` from `local_address` (another loopback
  // address such as 127.0.0.2, so that the server sees a distinct peer).
  // Connecting is bounded by 10 s.
  RawClient(std::uint16_t port, const std::string& local_address) {
    EXPECT_TRUE(connect_from(port, local_address)) << local_address << ": " << std::strerror(errno);
  }

  Status send(std::span<const std::uint8_t> bytes) {
    return socket_.write_all(bytes.data(), bytes.size());
  }

  // Reads one whole PDU (header first, then the rest as frag_length says).
  Status read_pdu(std::vector<std::uint8_t>* pdu) { return trv_testing::read_pdu(socket_, pdu); }

  // True once the server has closed the connection: reads and discards until
  // EOF or a reset. Blocks until the server acts.
  bool wait_closed() {
    std::uint8_t scratch[4096];
    for (;;) {
      std::size_t got = 0;
      Status s = socket_.read_some(scratch, sizeof scratch, &got);
      if (!s.ok()) return s.peer_closed() || s.sys_error() == ECONNRESET;
    }
  }

  // Binds with `bind` and returns the decoded bind_ack (fails the test on a
  // nak or a closed connection).
  BindAck bind(const Bind& bind, std::uint32_t call_id = 1) {
    BindAck ack;
    EXPECT_TRUE(send(encode_bind(call_id, pfc::kSingleFrag, bind)).ok());
    std::vector<std::uint8_t> pdu;
    Status s = read_pdu(&pdu);
    EXPECT_TRUE(s.ok()) << s.to_string();
    if (!s.ok()) return ack;
    s = decode_bind_ack(pdu, &ack);
    EXPECT_TRUE(s.ok()) << s.to_string();
    return ack;
  }

  // The Windows-style bind; returns the accepted context id (-1 if none).
  int bind_windows_style(std::uint32_t group = 0, BindAck* ack_out = nullptr) {
    BindAck ack = bind(windows_style_bind(group));
    if (ack_out) *ack_out = ack;
    for (std::size_t i = 0; i < ack.results.size(); ++i) {
      if (ack.results[i].result == context_result::kAcceptance) return static_cast<int>(i);
    }
    return -1;
  }

  // Sends `stub` as a request split into fragments of at most `stub_per_frag`
  // stub bytes (0 = one fragment).
  Status send_request(std::uint32_t call_id, std::uint16_t context_id, std::uint16_t opnum,
                      std::span<const std::uint8_t> stub, std::size_t stub_per_frag = 0,
                      bool total_alloc_hint = false) {
    if (stub_per_frag == 0) stub_per_frag = stub.size() == 0 ? 1 : stub.size();
    std::size_t sent = 0;
    do {
      const std::size_t size = std::min(stub_per_frag, stub.size() - sent);
      std::uint8_t flags = 0;
      if (sent == 0) flags |= pfc::kFirstFrag;
      if (sent + size == stub.size()) flags |= pfc::kLastFrag;
      std::vector<std::uint8_t> fragment(kRequestHeaderSize + size);
      encode_request_header(
          fragment.data(), flags, static_cast<std::uint16_t>(fragment.size()), call_id,
          static_cast<std::uint32_t>(total_alloc_hint ? stub.size() : stub.size() - sent),
          context_id, opnum);
      if (size) std::memcpy(fragment.data() + kRequestHeaderSize, stub.data() + sent, size);
      if (Status s = send(fragment); !s.ok()) return s;
      sent += size;
    } while (sent < stub.size());
    return Status::Ok();
  }

  // Reads the answer to a call: the reassembled response stub, or the fault.
  struct Answer {
    bool fault = false;
    std::uint8_t fault_flags = 0;  // header flags of the fault PDU
    std::uint32_t fault_status = 0;
    std::uint32_t call_id = 0;
    std::vector<std::uint8_t> stub;
    int fragments = 0;
    std::size_t largest_fragment = 0;
  };
  Status read_answer(Answer* answer) {
    *answer = Answer();
    for (;;) {
      std::vector<std::uint8_t> pdu;
      if (Status s = read_pdu(&pdu); !s.ok()) return s;
      CommonHeader header;
      if (pdu[2] == static_cast<std::uint8_t>(PacketType::Fault)) {
        Fault fault;
        if (Status s = decode_fault(pdu, &header, &fault); !s.ok()) return s;
        answer->fault = true;
        answer->fault_flags = header.flags;
        answer->fault_status = fault.status;
        answer->call_id = header.call_id;
        return Status::Ok();
      }
      Response response;
      if (Status s = decode_response(pdu, &header, &response); !s.ok()) return s;
      answer->call_id = header.call_id;
      ++answer->fragments;
      answer->largest_fragment = std::max(answer->largest_fragment, pdu.size());
      answer->stub.insert(answer->stub.end(), response.stub.begin(), response.stub.end());
      if (header.flags & pfc::kLastFrag) return Status::Ok();
    }
  }

  // Whether the server closed the connection without sending a byte.
  bool closed_unanswered() {
    std::uint8_t byte;
    std::size_t got = 0;
    Status s = socket_.read_some(&byte, 1, &got);
    return !s.ok() && (s.peer_closed() || s.sys_error() == ECONNRESET);
  }

  // The local end's "ADDR:PORT", as the server names this peer in its lines.
  std::string local_name() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(socket_.fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
  }

  Socket& socket() { return socket_; }

 private:
  bool connect_from(std::uint16_t port, const std::string& local_address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    socket_ = Socket(fd);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, local_address.c_str(), &local.sin_addr) != 1) return false;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    const timeval bound{10, 0};  // Linux bounds a blocking connect by SO_SNDTIMEO
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0) return false;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) return false;
    const timeval none{0, 0};
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) == 0;
  }

  Socket socket_;
};

// Collects a server's event lines (ServerOptions::on_event) for inspection.
class EventRecorder {
 public:
  ServerEventSink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    };
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

}  // namespace rpc::testing
