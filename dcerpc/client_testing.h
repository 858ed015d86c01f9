// Test helpers for the client side: a scripted raw server on loopback that
// runs a test's function on every accepted connection, and the PDU steps
// such scripts are made of. Tests only. The server stops by itself when it
// goes out of scope: it stops accepting, shuts every connection down and
// joins its threads.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/pdu.h"
#include "dcerpc/rpc.h"
#include "dcerpc/socket.h"
#include "testing/pdu_reader.h"
#include "testing/service_bind.h"

namespace rpc::testing {

class ScriptedPeer {
 public:
  // `script` runs on its own thread for each connection, numbered from 0.
  using Script = std::function<void(Socket& socket, int index)>;

  explicit ScriptedPeer(Script script) : script_(std::move(script)) {
    Status s = listener_.listen("127.0.0.1", 0);
    EXPECT_TRUE(s.is_ok()) << s.to_string();
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~ScriptedPeer() {
    listener_.shutdown();
    acceptor_.join();
    {
      std::lock_guard lock(lock_);
      for (auto& socket : sockets_) socket->shutdown();
    }
    for (auto& thread : threads_) thread.join();
  }
  std::uint16_t port() const { return listener_.port(); }
  std::wstring string_binding() const {
    return L"ncacn_ip_tcp:127.0.0.1[" + std::to_wstring(port()) + L"]";
  }
  int connections() {
    std::lock_guard lock(lock_);
    return static_cast<int>(sockets_.size());
  }

 private:
  void accept_loop() {
    for (int index = 0;; ++index) {
      auto socket = std::make_shared<Socket>();
      if (!listener_.accept(socket.get()).is_ok()) return;
      std::lock_guard lock(lock_);
      sockets_.push_back(socket);
      threads_.emplace_back([this, socket, index] { script_(*socket, index); });
    }
  }

  Script script_;
  Listener listener_;
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::shared_ptr<Socket>> sockets_;  // guarded by lock_
  std::vector<std::thread> threads_;              // guarded by lock_ until the acceptor ends
};

// Reads one whole PDU; false at EOF or on a malformed header.
inline bool read_pdu(Socket& socket, std::vector<std::uint8_t>* pdu, CommonHeader* header) {
  return trv_testing::read_pdu(socket, pdu, header).is_ok();
}

// Reads the bind and answers it: accepts `accept_context` (-1 = none, every
// context then rejected with `reason`), grants `fragment` in both directions
// and `group` as the association group. Returns the decoded bind.
inline Bind answer_bind(Socket& socket, int accept_context, std::uint16_t fragment,
                        std::uint32_t group,
                        std::uint16_t reason = provider_reason::kAbstractSyntaxNotSupported) {
  std::vector<std::uint8_t> pdu;
  CommonHeader header;
  Bind bind;
  if (!read_pdu(socket, &pdu, &header)) return bind;
  EXPECT_TRUE(decode_bind(pdu, &bind).is_ok());
  BindAck ack;
  ack.max_xmit_frag = fragment;
  ack.max_recv_frag = fragment;
  ack.assoc_group_id = group;
  ack.secondary_address = "4747";
  for (const ContextElement& element : bind.contexts) {
    ContextResult result;
    if (is_btfn_syntax(element.transfer_syntaxes.front())) {
      result.result = context_result::kNegotiateAck;
      result.reason = btfn::kKeepConnectionOnOrphan;
    } else if (element.context_id == accept_context) {
      result.transfer_syntax = element.transfer_syntaxes.front();
    } else {
      result.result = context_result::kProviderRejection;
      result.reason = accept_context < 0 ? reason : provider_reason::kTransferSyntaxesNotSupported;
    }
    ack.results.push_back(result);
  }
  std::vector<std::uint8_t> out = encode_bind_ack(header.call_id, pfc::kSingleFrag, ack);
  EXPECT_TRUE(socket.write_all(out.data(), out.size()).is_ok());
  return bind;
}

// Reads request fragments until the last one; returns the stub and the
// first fragment's header fields. False at EOF.
inline bool read_request(Socket& socket, std::vector<std::uint8_t>* stub, CommonHeader* header,
                         Request* first) {
  stub->clear();
  for (bool started = false;;) {
    std::vector<std::uint8_t> pdu;
    if (!read_pdu(socket, &pdu, header)) return false;
    Request request;
    if (!decode_request(pdu, header, &request).is_ok()) return false;
    if (!started) *first = request;
    started = true;
    stub->insert(stub->end(), request.stub.begin(), request.stub.end());
    if (header->flags & pfc::kLastFrag) return true;
  }
}

inline void send_result(Socket& socket, std::uint32_t call_id, std::uint16_t context_id,
                        std::int32_t result) {
  std::uint8_t stub[4];
  put_u32(stub, static_cast<std::uint32_t>(result));
  std::vector<std::uint8_t> pdu = encode_response(call_id, context_id, stub);
  EXPECT_TRUE(socket.write_all(pdu.data(), pdu.size()).is_ok());
}

// A binding handle that frees itself.
class ScopedBinding {
 public:
  explicit ScopedBinding(const std::wstring& text) {
    EXPECT_EQ(RpcBindingFromStringBindingW(text.c_str(), &handle_), RPC_S_OK);
  }
  ~ScopedBinding() {
    if (handle_ != nullptr) RpcBindingFree(&handle_);
  }
  RPC_BINDING_HANDLE get() const { return handle_; }
  RPC_BINDING_HANDLE* address() { return &handle_; }

 private:
  RPC_BINDING_HANDLE handle_ = nullptr;
};

}  // namespace rpc::testing
