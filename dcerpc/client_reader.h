// The one thread per binding that waits for the replies of asynchronous
// calls: connections whose request has been sent are handed to it, it reads
// them without blocking as data arrives (poller.h), returns each connection to
// the pool when its call ends and then completes the call, which posts the
// caller's completion packet. watch() may be called from any thread.
//
// Every wait it keeps has an end. Each watched connection has a deadline of
// kReplyTimeoutMs (client_connection.h), restarted whenever bytes of the reply
// arrive; when it passes, the call completes with RPC_S_CALL_CANCELLED and the
// connection is closed. The same thread keeps the pool alive: a connection
// idle in the pool for kKeepaliveIdleMs is taken out, pinged with an
// alter_context and watched, under the same deadline, until its answer puts
// it back; a ping that fails or runs out of time closes the connection. The
// pool is looked at at least every kKeepaliveIdleMs, so no pooled connection
// stays unpinged for more than twice that.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dcerpc/async_call.h"
#include "dcerpc/client_connection.h"
#include "dcerpc/poller.h"

namespace rpc {

class Binding;

class ClientReader {
 public:
  explicit ClientReader(Binding* owner) : owner_(owner) {}
  // Completes every call still waiting with RPC_S_CALL_FAILED, closes the
  // connections of pings still out, and joins the thread.
  ~ClientReader();
  ClientReader(const ClientReader&) = delete;
  ClientReader& operator=(const ClientReader&) = delete;

  Status start();

  // Takes `connection`, whose request for `call` has been sent and whose
  // reply is expected into the call's reply buffer, until the call ends.
  void watch(std::unique_ptr<ClientConnection> connection, AsyncCall* call);

 private:
  using Clock = std::chrono::steady_clock;
  struct Watched {
    ClientConnection* connection;
    AsyncCall* call;  // null while the connection answers a keepalive ping
    Clock::time_point deadline;
  };
  void run();
  // Adds `connection` to the watched set and to the poller; false when the
  // poller refused it (the entry is then gone again).
  bool add(ClientConnection* connection, AsyncCall* call);
  // Reads what arrived on `connection` and ends its call or ping when done.
  void read_from(ClientConnection* connection);
  // Ends every call and ping whose deadline has passed.
  void expire(Clock::time_point now);
  // Pings the connections idle in the pool for the keepalive bound.
  void ping_idle(Clock::time_point now);
  // How long the poller may wait: until the nearest deadline or ping due, at most
  // the keepalive bound.
  int wait_ms(Clock::time_point now);
  // Unregisters the connection and ends what it carried: a call is
  // completed with `status` after the connection went back to the owner
  // (pooled when `reusable`); a ping hands the connection back, pooled when
  // `status` is OK and `reusable`.
  void finish(ClientConnection* connection, RPC_STATUS status, bool reusable);

  Binding* owner_;
  Poller poller_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<Watched> watched_;  // guarded by lock_; owns the connections
  // Reader thread only: connections taken for a ping, reused from round to round.
  std::vector<std::unique_ptr<ClientConnection>> due_;
};

}  // namespace rpc
