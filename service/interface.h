// ReplicationService's identity and the bind its client offers: the one place
// that names the interface. The runtime, client and server alike, takes both
// as parameters. Immutable after first use; safe from any thread.
#pragma once

#include "dcerpc/pdu.h"

// 28ca6c91-a6eb-423d-82cf-548f5df542bc version 1.0.
const rpc::SyntaxId& replication_service_interface();

// The three presentation contexts a 64-bit Windows client offers for the
// interface: ctx 0 NDR 2.0, ctx 1 NDR64, ctx 2 bind-time feature negotiation
// offering security context multiplexing and keep-connection-on-orphan (0x03).
const rpc::BindOffer& replication_service_offer();
