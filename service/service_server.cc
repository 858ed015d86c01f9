// Glue between the runtime's server and a ReplicationHandler: decodes each
// call's stub in the syntax its context negotiated, calls the handler and
// encodes the i32 result. Runs on the runtime's connection threads.
#include "service/service_server.h"

#include "service/interface.h"
#include "service/service_ndr.h"

class ReplicationServer::Adapter : public rpc::Dispatcher {
 public:
  explicit Adapter(ReplicationHandler& handler) : handler_(handler) {}

  rpc::DispatchResult dispatch(const rpc::CallInfo& call, std::span<const std::uint8_t> stub,
                               std::vector<std::uint8_t>* reply) override {
    std::optional<std::int32_t> result;
    rpc::Status decoded;
    const Caller caller{call.assoc_group, call.peer};
    switch (call.opnum) {
      case kOpenDeviceOpnum:
      case kCloseDeviceOpnum: {
        std::int16_t dest = 0;
        decoded = decode_device_request(call.syntax, stub, &dest);
        if (!decoded.is_ok()) break;
        result = call.opnum == kOpenDeviceOpnum ? handler_.open_device(caller, dest)
                                                : handler_.close_device(caller, dest);
        break;
      }
      case kReplicateOpnum: {
        ReplicateRequest request;
        decoded = decode_replicate_request(call.syntax, stub, &request);
        if (!decoded.is_ok()) break;
        result = handler_.replicate(caller, request);
        break;
      }
      case kCompareOpnum: {
        CompareRequest request;
        decoded = decode_compare_request(call.syntax, stub, &request);
        if (!decoded.is_ok()) break;
        result = handler_.compare(caller, request);
        break;
      }
      default:
        // The runtime checks opnums against the procedure count.
        return rpc::DispatchResult::fault(rpc::nca::kOpRngError, true);
    }
    // Stub data that does not decode never reaches the handler.
    if (!decoded.is_ok()) return rpc::DispatchResult::fault(rpc::nca::kFaultNdr, true);
    if (!result) return rpc::DispatchResult::drop();
    reply->resize(kResultResponseSize);
    encode_result_response(*result, reply->data());
    return rpc::DispatchResult::reply();
  }

  // A replicate's data is placed for the disk's direct writes, and the
  // handler learns of chunks on their way.
  std::size_t call_arriving(std::uint16_t opnum, Syntax syntax,
                            std::span<const std::uint8_t> first_stub) override {
    if (opnum != kReplicateOpnum) return 0;
    handler_.chunk_arriving();
    return replicate_data_offset(syntax, first_stub);
  }
  void call_arrived(std::uint16_t opnum) override {
    if (opnum == kReplicateOpnum) handler_.chunk_arrived();
  }

  void group_ended(std::uint32_t group) override { handler_.group_ended(group); }

 private:
  ReplicationHandler& handler_;
};

ReplicationServer::ReplicationServer() = default;

ReplicationServer::ReplicationServer(rpc::ServerOptions options) : options_(std::move(options)) {}

ReplicationServer::~ReplicationServer() { stop(); }

rpc::Status ReplicationServer::start(ReplicationHandler& handler) {
  if (rpc::Status s = listen(handler); !s.is_ok()) return s;
  return accept();
}

rpc::Status ReplicationServer::listen(ReplicationHandler& handler) {
  if (server_) return rpc::Status::failure(rpc::status::kInvalidArg, "server already started");
  adapter_ = std::make_unique<Adapter>(handler);
  server_ = std::make_unique<rpc::Server>(options_, replication_service_interface(),
                                          kReplicationProcedureCount, adapter_.get());
  rpc::Status s = server_->listen();
  if (!s.is_ok()) {
    // Nothing was started: a later start may try again (another port).
    server_.reset();
    adapter_.reset();
  }
  return s;
}

rpc::Status ReplicationServer::accept() {
  if (!server_) return rpc::Status::failure(rpc::status::kInvalidArg, "server not listening");
  return server_->start();
}

std::uint16_t ReplicationServer::port() const { return server_ ? server_->port() : 0; }

void ReplicationServer::stop() {
  if (server_) server_->stop();
}

rpc::ServerStats ReplicationServer::stats() const {
  return server_ ? server_->stats() : rpc::ServerStats{};
}
