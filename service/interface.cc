// ReplicationService's interface identity and bind offer.
#include "service/interface.h"

const rpc::SyntaxId& replication_service_interface() {
  static const rpc::SyntaxId id{*rpc::Uuid::parse("28ca6c91-a6eb-423d-82cf-548f5df542bc"), 1, 0};
  return id;
}

const rpc::BindOffer& replication_service_offer() {
  static const rpc::BindOffer offer{replication_service_interface(),
                                    {rpc::ndr20_syntax(), rpc::ndr64_syntax(),
                                     rpc::btfn_syntax(rpc::btfn::kSecurityContextMultiplexing |
                                                      rpc::btfn::kKeepConnectionOnOrphan)}};
  return offer;
}
