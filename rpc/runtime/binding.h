// A binding handle and its association: the target parsed from the string
// binding, the pool of bound connections (one call per connection at a time),
// the association group that every connection after the first joins, and the
// reader thread that waits for the replies of asynchronous calls. Any thread
// may take and return connections; the pool has one lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rpc/runtime/client_connection.h"
#include "rpc/runtime/rpc.h"
#include "rpc/runtime/string_binding.h"

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

  // A healthy idle connection bound for `interface_id`, or a new one. The
  // first connection of the association is made alone, so that every other
  // joins its group. Throws RpcException on failure (kServerUnavailable,
  // a bind status, RPC_S_NO_ENDPOINT_FOUND without an endpoint).
  std::unique_ptr<ClientConnection> acquire(const SyntaxId& interface_id);

  // Returns a connection after a call: pooled when `reusable` and usable,
  // closed otherwise.
  void release(std::unique_ptr<ClientConnection> connection, bool reusable);

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

  std::mutex lock_;
  std::condition_variable first_done_;
  std::vector<std::unique_ptr<ClientConnection>> idle_;  // guarded by lock_
  std::size_t open_count_ = 0;                           // guarded by lock_
  std::uint32_t group_id_ = 0;                           // guarded by lock_; 0 = none yet
  bool first_pending_ = false;                           // guarded by lock_
  std::unique_ptr<ClientReader> reader_;                 // guarded by lock_
};

}  // namespace rpc
