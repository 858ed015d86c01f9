// The tests' one raw DCE/RPC client: a plain socket to 127.0.0.1 that sends
// PDUs built with the codecs of dcerpc/pdu.h and reads what comes back,
// with typed calls of ReplicationService on top. Header-only; tests only; one
// thread per client. The typed calls need the service library linked.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/socket.h"
#include "service/interface.h"
#include "service/service_ndr.h"
#include "testing/bytes.h"
#include "testing/pdu_reader.h"
#include "testing/service_bind.h"

namespace rpc::testing {

class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    Status s = connect_tcp("127.0.0.1", port, &socket_);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
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
      if (!s.is_ok()) return s.peer_closed() || s.sys_error() == ECONNRESET;
    }
  }

  // Binds with `bind` and returns the decoded bind_ack (fails the test on a
  // nak or a closed connection).
  BindAck bind(const Bind& bind, std::uint32_t call_id = 1) {
    BindAck ack;
    EXPECT_TRUE(send(encode_bind(call_id, pfc::kSingleFrag, bind)).is_ok());
    std::vector<std::uint8_t> pdu;
    Status s = read_pdu(&pdu);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
    if (!s.is_ok()) return ack;
    s = decode_bind_ack(pdu, &ack);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
    return ack;
  }

  // The Windows-style bind; returns the accepted context id (-1 if none).
  int bind_windows_style(std::uint32_t group = 0, BindAck* ack_out = nullptr) {
    BindAck ack = bind(trv_testing::windows_style_bind(group));
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
      if (Status s = send(fragment); !s.is_ok()) return s;
      sent += size;
    } while (sent < stub.size());
    return Status::ok();
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
      if (Status s = read_pdu(&pdu); !s.is_ok()) return s;
      CommonHeader header;
      if (pdu[2] == static_cast<std::uint8_t>(PacketType::Fault)) {
        Fault fault;
        if (Status s = decode_fault(pdu, &header, &fault); !s.is_ok()) return s;
        answer->fault = true;
        answer->fault_flags = header.flags;
        answer->fault_status = fault.status;
        answer->call_id = header.call_id;
        return Status::ok();
      }
      Response response;
      if (Status s = decode_response(pdu, &header, &response); !s.is_ok()) return s;
      answer->call_id = header.call_id;
      ++answer->fragments;
      answer->largest_fragment = std::max(answer->largest_fragment, pdu.size());
      answer->stub.insert(answer->stub.end(), response.stub.begin(), response.stub.end());
      if (header.flags & pfc::kLastFrag) return Status::ok();
    }
  }

  // Whether the server closed the connection without sending a byte.
  bool closed_unanswered() {
    std::uint8_t byte;
    std::size_t got = 0;
    Status s = socket_.read_some(&byte, 1, &got);
    return !s.is_ok() && (s.peer_closed() || s.sys_error() == ECONNRESET);
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

  // --- typed calls of ReplicationService, on context 0 --------------------

  // Binds ReplicationService as context 0 with `syntax` alone, into `group`
  // (0 = a new group); on success *granted is the group the server gave.
  ::testing::AssertionResult bind_service(Syntax syntax, std::uint32_t group,
                                          std::uint32_t* granted) {
    Bind bind;
    bind.assoc_group_id = group;
    bind.contexts.push_back({0, replication_service_interface(), {transfer_syntax_id(syntax)}});
    if (Status s = send(encode_bind(next_call_id_++, pfc::kSingleFrag, bind)); !s.is_ok()) {
      return ::testing::AssertionFailure() << s.to_string();
    }
    std::vector<std::uint8_t> reply;
    if (!read_pdu(&reply).is_ok()) return ::testing::AssertionFailure() << "no bind_ack";
    BindAck ack;
    if (Status s = decode_bind_ack(reply, &ack); !s.is_ok()) {
      return ::testing::AssertionFailure() << s.to_string();
    }
    if (ack.results.empty() || ack.results[0].result != context_result::kAcceptance) {
      return ::testing::AssertionFailure() << "context refused";
    }
    *granted = ack.assoc_group_id;
    return ::testing::AssertionSuccess();
  }

  // The procedure's result; nullopt for a fault, a lost connection or an
  // answer that does not decode.
  std::optional<std::int32_t> call(std::uint16_t opnum, std::span<const std::uint8_t> stub) {
    if (!send_request(next_call_id_++, 0, opnum, stub).is_ok()) return std::nullopt;
    Answer answer;
    if (!read_answer(&answer).is_ok() || answer.fault) return std::nullopt;
    std::int32_t result = 0;
    if (!decode_result_response(answer.stub, &result).is_ok()) return std::nullopt;
    return result;
  }
  std::optional<std::int32_t> open_device(std::int16_t dest) {
    std::uint8_t stub[kDeviceRequestSize];
    encode_device_request(dest, stub);
    return call(kOpenDeviceOpnum, stub);
  }
  std::optional<std::int32_t> close_device(std::int16_t dest) {
    std::uint8_t stub[kDeviceRequestSize];
    encode_device_request(dest, stub);
    return call(kCloseDeviceOpnum, stub);
  }
  // `data` with its MD5 digest, in `syntax`.
  std::optional<std::int32_t> replicate(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                        const std::vector<std::uint8_t>& data) {
    const std::vector<std::uint8_t> digest = trv_testing::md5_of(data);
    return call(kReplicateOpnum, encode_replicate_request(syntax, dest, offset, digest, data));
  }
  // The MD5 digest of `data` and its length, in `syntax`.
  std::optional<std::int32_t> compare(Syntax syntax, std::int16_t dest, std::int64_t offset,
                                      const std::vector<std::uint8_t>& data) {
    const std::vector<std::uint8_t> digest = trv_testing::md5_of(data);
    std::vector<std::uint8_t> stub(compare_request_size(syntax, digest.size()));
    encode_compare_request(syntax, dest, offset, digest, static_cast<std::int32_t>(data.size()),
                           stub);
    return call(kCompareOpnum, stub);
  }

 private:
  std::uint32_t next_call_id_ = 1;
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

}  // namespace rpc::testing
