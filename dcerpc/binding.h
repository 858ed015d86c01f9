// A binding handle and its association: the target parsed from the string
// binding, the pool of bound connections (one call per connection at a time),
// the association group that every connection after the first joins, and the
// reader thread that waits for the replies of asynchronous calls. Any thread
// may take and return connections; the pool has one lock.
//
// Once the reader runs it pings every connection that has sat in the pool for
// kKeepaliveIdleMs (client_connection.h), taking it out meanwhile; a call
// that finds no idle connection while a ping is out waits for that ping to
// end rather than open another connection (a ping takes one round trip, at
// most the reply bound), but for no longer than one reply bound in all. A
// ping that goes unanswered while a call waits fails that call with the
// ping's status: the server has stopped answering, and a connection of the
// call's own would only wait out the bound once more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dcerpc/client_connection.h"
#include "dcerpc/rpc.h"
#include "dcerpc/string_binding.h"

namespace rpc {

class ClientReader;

class Binding {
 public:
  // `parts` must name ncacn_ip_tcp; `port` 0 means no endpoint was given.
  Binding(StringBindingParts parts, std::string host, std::uint16_t port);
  // Stops the reader (failing the calls it waits for) and closes every
  // connection.
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  // The binding behind a handle, or null for anything that is not one.
  static Binding* from_handle(RPC_BINDING_HANDLE handle);

  // A healthy idle connection bound for `offer`'s interface, or a new one
  // bound with `offer`. The
  // first connection of the association is made alone, so that every other
  // joins its group. Throws RpcException on failure (kServerUnavailable,
  // a bind status, RPC_S_NO_ENDPOINT_FOUND without an endpoint).
  std::unique_ptr<ClientConnection> acquire(const BindOffer& offer);

  // Returns a connection after a call: pooled when `reusable` and usable,
  // closed otherwise.
  void release(std::unique_ptr<ClientConnection> connection, bool reusable);

  // For the reader's keepalive: moves every connection pooled since
  // `idle_before` or earlier into *due, as pings under way.
  void take_for_ping(std::chrono::steady_clock::time_point idle_before,
                     std::vector<std::unique_ptr<ClientConnection>>* due);
  // Ends a ping taken by take_for_ping with its outcome: the connection is
  // pooled again when `status` is RPC_S_OK and it is usable, closed
  // otherwise; any other status also raises the flag given to
  // watch_keepalive.
  void end_ping(std::unique_ptr<ClientConnection> connection, RPC_STATUS status);
  // Sets `*unanswered` (from any thread) whenever a keepalive ping ends
  // without its answer; null stops it. The flag must outlive the binding.
  void watch_keepalive(std::atomic<bool>* unanswered);
  // When the connection idle longest was pooled; nullopt for an empty pool.
  std::optional<std::chrono::steady_clock::time_point> oldest_idle();

  // The reader of asynchronous replies, started at first use. Throws
  // RpcException (RPC_S_OUT_OF_RESOURCES) when it cannot be started.
  ClientReader& reader();

  // For tests: the fragment size offered in binds of new connections.
  void set_offered_fragment(std::uint16_t size) { offered_fragment_ = size; }
  // Connections open now (pooled and busy).
  std::size_t open_connections();
  std::uint32_t assoc_group_id();

 private:
  static constexpr std::uint32_t kMagic = 0x42445052;  // "RPDB"
  std::uint32_t magic_ = kMagic;
  StringBindingParts parts_;
  std::string host_;
  std::uint16_t port_;
  std::uint16_t offered_fragment_ = kClientMaxFragment;

  struct Idle {
    std::unique_ptr<ClientConnection> connection;
    std::chrono::steady_clock::time_point since;  // when it was pooled
  };
  // Puts `connection` in the pool or, when it cannot carry another call,
  // counts it closed. Caller holds lock_.
  void pool_locked(std::unique_ptr<ClientConnection>& connection, bool reusable);

  std::mutex lock_;
  // Signalled when the pool gains a connection, a ping ends or the first
  // connection's bind is done.
  std::condition_variable changed_;
  std::vector<Idle> idle_;                       // guarded by lock_
  std::size_t pinging_ = 0;                      // guarded by lock_; connections out for a ping
  std::uint64_t unanswered_pings_ = 0;           // guarded by lock_; pings ended without answer
  RPC_STATUS last_ping_failure_ = RPC_S_OK;      // guarded by lock_
  std::atomic<bool>* keepalive_flag_ = nullptr;  // guarded by lock_
  std::size_t open_count_ = 0;                   // guarded by lock_
  std::uint32_t group_id_ = 0;                   // guarded by lock_; 0 = none yet
  bool first_pending_ = false;                   // guarded by lock_
  std::unique_ptr<ClientReader> reader_;         // guarded by lock_
};

}  // namespace rpc
