// The server end of ReplicationService: decodes the four procedures in either
// transfer syntax and hands them to a ReplicationHandler, on the runtime's
// connection threads. The server itself (trvs) and the tests supply the
// handler.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dcerpc/address_range.h"
#include "dcerpc/rpc_status.h"
#include "dcerpc/server.h"
#include "service/service_ndr.h"

// Who makes a call: the client's association group and the address it
// connects from ("192.0.2.7", "::1"; empty when not known).
struct Caller {
  // A caller known by its group alone (tests, and calls the server makes for
  // itself) converts from the group id.
  Caller(std::uint32_t group_id = 0, std::string peer_address = {})  // NOLINT: implicit on purpose
      : group(group_id), peer(std::move(peer_address)) {}
  std::uint32_t group;
  std::string peer;
};

// Called concurrently from connection threads; the spans in the arguments are
// valid only during the call.
class ReplicationHandler {
 public:
  virtual ~ReplicationHandler() = default;
  // `caller` names the client's association group and its address. Each
  // returns the result to send, or std::nullopt to drop the connection
  // without answering (used by tests to simulate a vanished server).
  virtual std::optional<std::int32_t> open_device(const Caller& caller, std::int16_t dest) = 0;
  virtual std::optional<std::int32_t> replicate(const Caller& caller, const ReplicateRequest&) = 0;
  virtual std::optional<std::int32_t> compare(const Caller& caller, const CompareRequest&) = 0;
  virtual std::optional<std::int32_t> close_device(const Caller& caller, std::int16_t dest) = 0;
  // The last connection of the group has closed.
  virtual void group_ended(std::uint32_t group) = 0;
  // A replicate of several fragments has begun to arrive on this thread;
  // chunk_arrived follows on the same thread, when its last fragment is in
  // (just before replicate) or when it is abandoned.
  virtual void chunk_arriving() {}
  virtual void chunk_arrived() {}
};

class ReplicationServer {
 public:
  ReplicationServer();
  // The runtime's options, passed on unchanged: limits.idle_timeout_ms closes
  // a connection that delivers no complete PDU in time (its last connection
  // gone, a group's disks are closed by ReplicationHandler::group_ended as
  // for any other end); `allow` refuses any other peer before its first PDU.
  explicit ReplicationServer(rpc::ServerOptions options);
  ~ReplicationServer();  // stop()
  ReplicationServer(const ReplicationServer&) = delete;
  ReplicationServer& operator=(const ReplicationServer&) = delete;

  // Listens and starts serving; `handler` must outlive stop(). Fails when the
  // address cannot be bound (the options may then be changed through a new
  // object, or start retried) or the server was already started.
  rpc::Status start(ReplicationHandler& handler);
  rpc::Status start(ReplicationHandler* handler) { return start(*handler); }
  // start() in two steps, for a server that gives up privileges in between:
  // listen() binds the port (connections wait in the backlog), accept()
  // starts serving them. No call is made before accept().
  rpc::Status listen(ReplicationHandler& handler);
  rpc::Status accept();
  std::uint16_t port() const;
  // Stops listening, drops every connection, joins every thread. Idempotent.
  void stop();
  // Counters, e.g. how many binds chose NDR64 over NDR 2.0.
  rpc::ServerStats stats() const;

 private:
  class Adapter;
  rpc::ServerOptions options_;
  std::unique_ptr<Adapter> adapter_;
  std::unique_ptr<rpc::Server> server_;
};
