// The one thread per binding that waits for the replies of asynchronous
// calls: connections whose request has been sent are handed to it, it reads
// them without blocking as data arrives (epoll), returns each connection to
// the pool when its call ends and then completes the call, which posts the
// caller's completion packet. watch() may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "rpc/runtime/async_call.h"
#include "rpc/runtime/client_connection.h"

namespace rpc {

class Binding;

class ClientReader {
 public:
  explicit ClientReader(Binding* owner) : owner_(owner) {}
  // Completes every call still waiting with RPC_S_CALL_FAILED and joins the
  // thread.
  ~ClientReader();
  ClientReader(const ClientReader&) = delete;
  ClientReader& operator=(const ClientReader&) = delete;

  Status start();

  // Takes `connection`, whose request for `call` has been sent and whose
  // reply is expected into the call's reply buffer, until the call ends.
  void watch(std::unique_ptr<ClientConnection> connection, AsyncCall* call);

 private:
  struct Watched {
    ClientConnection* connection;
    AsyncCall* call;
  };
  void run();
  // Unregisters the connection, hands it back to the owner and completes the
  // call.
  void finish(ClientConnection* connection, RPC_STATUS status, bool reusable);

  Binding* owner_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<Watched> watched_;  // guarded by lock_; owns the connections
};

}  // namespace rpc
