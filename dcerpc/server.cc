// The runtime's server: one listener thread, one thread per connection.
// Here are the listener, the connection caps and association groups; what a
// connection's thread does is in server_connection.cc and server_request.cc.
// Shared state (connection list, association groups) is behind one mutex
// that is held only for bookkeeping, never across I/O or a dispatch.
//
// Known differences from a Windows server: no concurrent multiplexing
// (CONC_MPX is never granted, so one call at a time per connection), no
// authentication, no header signing, and the fragment size granted to a
// client never exceeds what that client said it can receive (the lower clamp
// is 1432, the size every peer must accept, not 2048), and a connection that
// delivers no complete PDU within the idle bound is closed (Windows keeps an
// idle connection as long as TCP does), a PDU must arrive within its own
// bound once its first byte has, a call has at most so many fragments, and a
// bind may join an association group only from the address that created it.
#include "dcerpc/server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "dcerpc/report_limiter.h"
#include "dcerpc/server_internal.h"
#include "dcerpc/socket.h"
#include "dcerpc/stub_pool.h"
#include "dcerpc/system_random.h"

namespace rpc {

using server_internal::Clock;
using server_internal::ConnectionHandler;

namespace {

// Pauses between failed accepts: long enough not to spin while descriptors
// are short, short enough to pick up again soon after they are back.
constexpr std::chrono::milliseconds kFirstAcceptPause{50};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

// "180 s", "0.25 s".
std::string seconds_text(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  std::string text = std::to_string(milliseconds / 1000) + ".";
  const std::string fraction = std::to_string(1000 + milliseconds % 1000).substr(1);
  return text + fraction.substr(0, fraction.find_last_not_of('0') + 1) + " s";
}

// The peer address a connection counts under: an IPv4-mapped IPv6 address
// (a v4 client of a dual-stack listener) as the IPv4 address it carries.
std::string peer_key(const std::string& address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && address.compare(0, kMapped.size(), kMapped) == 0 &&
      address.find('.') != std::string::npos) {
    return address.substr(kMapped.size());
  }
  return address;
}

// How a peer is named in a line: its address, or a phrase when it has none.
std::string shown(const std::string& address) {
  return address.empty() ? "an unknown peer" : address;
}

ServerEvent peer_event(ServerEvent::Kind kind, const std::string& peer, std::string text) {
  ServerEvent event;
  event.kind = kind;
  event.peer = peer;
  event.text = std::move(text);
  return event;
}

}  // namespace

// --- groups ------------------------------------------------------------------

Server::Impl::Join Server::Impl::join_group(std::uint32_t group, const std::string& address) {
  std::lock_guard lock(mu);
  auto it = groups.find(group);
  if (it == groups.end()) return Join::Unknown;
  if (it->second.creator != address) return Join::Foreign;
  ++it->second.connections;
  return Join::Joined;
}

std::uint32_t Server::Impl::new_group(const std::string& address) {
  // A few draws at most: a live id is hit with odds of 512 in 2^32.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint32_t id = 0;
    if (!system_random(&id, sizeof id).is_ok()) return 0;
    std::lock_guard lock(mu);
    if (id == 0 || groups.count(id) != 0) continue;
    groups[id] = Group{1, address};
    return id;
  }
  return 0;
}

void Server::Impl::leave_group(std::uint32_t group) {
  {
    std::lock_guard lock(mu);
    auto it = groups.find(group);
    if (it == groups.end() || --it->second.connections > 0) return;
    groups.erase(it);
  }
  dispatcher->group_ended(group);
  // Counted once the dispatcher has been told: whoever sees the count finds
  // the group's end handled.
  ++counters.groups_ended;
}

// --- threads -----------------------------------------------------------------

void Server::Impl::serve(Connection* connection) {
  std::uint32_t group = 0;
  ConnectionHandler::Bound bound = ConnectionHandler::Bound::None;
  {
    ConnectionHandler handler(this, connection);
    group = handler.run();
    bound = handler.bound_hit();
  }
  // Counted and reported before the peer sees the close, so that whoever
  // sees it finds it counted.
  const std::string closed = "connection from " + connection->peer + " closed: ";
  const auto closed_event = [&](std::string why) {
    return peer_event(ServerEvent::Kind::ConnectionClosed, connection->peer, closed + why);
  };
  switch (bound) {
    case ConnectionHandler::Bound::None:
      break;
    case ConnectionHandler::Bound::Idle:
      ++counters.idle_closed;
      report_limited("idle", connection->address,
                     closed_event("no PDU for " + seconds_text(options.limits.idle_timeout_ms)));
      break;
    case ConnectionHandler::Bound::SlowPdu:
      ++counters.slow_pdus;
      report_limited(
          "slow", connection->address,
          closed_event("a PDU took longer than " + seconds_text(options.limits.pdu_timeout_ms)));
      break;
    case ConnectionHandler::Bound::Fragments:
      ++counters.fragment_limit_closed;
      report_limited(
          "fragments", connection->address,
          closed_event("a call of more than " +
                       std::to_string(options.limits.max_fragments_per_call) + " fragments"));
      break;
  }
  // The peer sees EOF now; the descriptor is closed when the thread is reaped,
  // so that stop() never shuts down a reused descriptor.
  connection->socket.shutdown();
  if (group != 0) leave_group(group);
  {
    std::lock_guard lock(mu);
    release_slot(connection);
  }
  connection->finished = true;
}

void Server::Impl::release_slot(Connection* connection) {
  if (!connection->holds_slot) return;
  connection->holds_slot = false;
  auto it = peer_connections.find(connection->address);
  if (it != peer_connections.end() && --it->second == 0) peer_connections.erase(it);
  --counters.open_connections;
}

bool Server::Impl::mark_bound(Connection* connection) {
  std::lock_guard lock(mu);
  if (connection->evicted) return false;
  connection->bound = true;
  return true;
}

bool Server::Impl::evict_unbound(const std::string* address, std::string* closed) {
  // Oldest first: a real client binds within a round trip of connecting, so
  // the connections that have waited longest without a bind are the ones
  // least likely to be about to.
  for (const auto& c : connections) {
    if (!c->holds_slot || c->bound || (address != nullptr && c->address != *address)) continue;
    c->evicted = true;
    release_slot(c.get());
    // Its thread sees the end at once and finishes; the descriptor is
    // closed when the thread is reaped.
    c->socket.shutdown();
    ++counters.unbound_evicted;
    *closed = c->peer;
    return true;
  }
  return false;
}

void Server::Impl::reap_finished() {
  for (auto it = connections.begin(); it != connections.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Impl::accept_loop() {
  // While accepting fails: the pause before the next try, and whether the
  // episode has been reported.
  std::chrono::milliseconds pause{0};
  for (;;) {
    Socket socket;
    Status s = listener.accept(&socket);
    std::unique_lock lock(mu);
    if (stopping) return;
    reap_finished();
    if (!s.is_ok()) {
      // Out of descriptors or similar: the connections that finish meanwhile
      // give them back. The pending connection waits in the backlog.
      ++counters.accept_failures;
      if (pause.count() == 0) {
        lock.unlock();
        report(ServerEvent::Kind::AcceptFailed,
               "cannot accept connections: " + error_text(s.sys_error()) + "; retrying");
        lock.lock();
        pause = kFirstAcceptPause;
      } else {
        pause = std::min(pause * 2, kLongestAcceptPause);
      }
      wake.wait_for(lock, pause, [this] { return stopping; });
      if (stopping) return;
      continue;
    }
    if (pause.count() != 0) {
      pause = std::chrono::milliseconds{0};
      lock.unlock();
      report(ServerEvent::Kind::AcceptingAgain, "accepting connections again");
      lock.lock();
      if (stopping) return;
      reap_finished();
    }
    // Nothing of a refused connection is read: it is closed at once, right
    // after its line (at most one a minute per peer), so that a peer that
    // sees the close finds it reported.
    const std::string address = peer_key(socket.peer_address());
    std::string refusal;
    const char* kind = nullptr;
    // Connections closed to make room, named for their lines.
    std::string evicted_peer;
    std::string evicted_other;
    const auto peer_count = [this, &address] {
      const auto it = peer_connections.find(address);
      return it == peer_connections.end() ? std::size_t{0} : it->second;
    };
    if (!options.allow.empty() && !address_allowed(options.allow, address)) {
      ++counters.refused_not_allowed;
      kind = "allow";
      refusal = "not in the allow list";
    } else if (peer_count() >= options.limits.max_connections_per_peer &&
               !evict_unbound(&address, &evicted_peer)) {
      ++counters.refused_peer_limit;
      kind = "peer limit";
      refusal = std::to_string(peer_count()) + " connections open from it (the most per peer)";
    } else if (counters.open_connections >= options.limits.max_connections &&
               !evict_unbound(nullptr, &evicted_other)) {
      ++counters.refused_limit;
      kind = "limit";
      refusal = std::to_string(counters.open_connections.load()) + " connections open (the most)";
    } else {
      auto connection = std::make_unique<Connection>();
      connection->peer = socket.peer_name();
      connection->address = address;
      connection->socket = std::move(socket);
      Connection* raw = connection.get();
      ++counters.open_connections;  // before the thread can count it out
      ++peer_connections[address];
      try {
        raw->thread = std::thread([this, raw] { serve(raw); });
        ++counters.connections_accepted;
        connections.push_back(std::move(connection));
      } catch (const std::system_error&) {
        // No thread to serve it: refuse the connection like one over a cap.
        release_slot(raw);
        socket = std::move(connection->socket);
        kind = "thread";
        refusal = "no thread to serve it";
      }
    }
    if (kind != nullptr) ++counters.connections_refused;
    lock.unlock();
    report_evicted(evicted_peer, address);
    report_evicted(evicted_other, address);
    if (kind == nullptr) continue;
    report_limited(kind, address,
                   peer_event(ServerEvent::Kind::ConnectionRefused, address,
                              "refused connection from " + shown(address) + ": " + refusal));
    socket.close();
  }
}

void Server::Impl::report_evicted(const std::string& closed, const std::string& newcomer) {
  if (closed.empty()) return;
  // Limited per address of the connection let in: a peer that keeps opening
  // connections past a cap costs one line a minute.
  report_limited("unbound", newcomer,
                 peer_event(ServerEvent::Kind::ConnectionClosed, closed,
                            "connection from " + closed +
                                " closed: not bound, its slot given to a new connection from " +
                                shown(newcomer)));
}

// --- Server ------------------------------------------------------------------

Server::Server(ServerOptions options, const SyntaxId& interface_id, std::uint16_t procedure_count,
               Dispatcher* dispatcher)
    : impl_(std::make_unique<Impl>(std::move(options), interface_id, procedure_count, dispatcher)) {
}

Server::~Server() { stop(); }

Status Server::listen() {
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->listening) return Status::failure(status::kInvalidArg, "server already listening");
    impl_->listening = true;
  }
  Status s = impl_->listener.listen(impl_->options.address, impl_->options.port);
  if (!s.is_ok()) {
    std::lock_guard lock(impl_->mu);
    impl_->listening = false;
  }
  return s;
}

Status Server::start() {
  bool listening = false;
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->started) return Status::failure(status::kInvalidArg, "server already started");
    listening = impl_->listening;
  }
  if (!listening) {
    if (Status s = listen(); !s.is_ok()) return s;
  }
  std::lock_guard lock(impl_->mu);
  if (impl_->stopping) return Status::failure(status::kInvalidArg, "server stopped");
  try {
    impl_->accept_thread = std::thread([impl = impl_.get()] { impl->accept_loop(); });
  } catch (const std::system_error& e) {
    return Status::failure(status::kServerUnavailable,
                           std::string("cannot start the listener thread: ") + e.what());
  }
  impl_->started = true;
  return Status::ok();
}

std::uint16_t Server::port() const { return impl_->listener.port(); }

void Server::stop() {
  {
    std::lock_guard lock(impl_->mu);
    if (!impl_->listening || impl_->stopping) return;
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->listener.shutdown();
  if (impl_->accept_thread.joinable()) impl_->accept_thread.join();
  impl_->listener.close();
  std::list<std::unique_ptr<Impl::Connection>> connections;
  {
    std::lock_guard lock(impl_->mu);
    connections.swap(impl_->connections);
  }
  for (auto& c : connections) c->socket.shutdown();
  for (auto& c : connections) c->thread.join();
}

ServerStats Server::stats() const {
  const Impl::Counters& c = impl_->counters;
  ServerStats s;
  s.connections_accepted = c.connections_accepted;
  s.connections_refused = c.connections_refused;
  s.refused_not_allowed = c.refused_not_allowed;
  s.refused_peer_limit = c.refused_peer_limit;
  s.refused_limit = c.refused_limit;
  s.open_connections = c.open_connections;
  s.binds_ndr20 = c.binds_ndr20;
  s.binds_ndr64 = c.binds_ndr64;
  s.bind_naks = c.bind_naks;
  s.calls = c.calls;
  s.faults = c.faults;
  s.protocol_errors = c.protocol_errors;
  s.groups_ended = c.groups_ended;
  s.idle_closed = c.idle_closed;
  s.slow_pdus = c.slow_pdus;
  s.fragment_limit_closed = c.fragment_limit_closed;
  s.group_refusals = c.group_refusals;
  s.accept_failures = c.accept_failures;
  s.unbound_evicted = c.unbound_evicted;
  return s;
}

std::uint16_t Server::negotiate_fragment(std::uint16_t client_max_xmit,
                                         std::uint16_t client_max_recv, std::uint16_t server_max) {
  // One size for both directions, as Windows answers. Never above what the
  // client can receive, except below the size every peer must accept.
  const std::uint16_t offered = std::min(client_max_xmit, client_max_recv);
  const std::uint16_t upper = std::max<std::uint16_t>(server_max, kMustRecvFragment);
  return std::clamp<std::uint16_t>(offered, kMustRecvFragment, upper) & ~7;
}

}  // namespace rpc
