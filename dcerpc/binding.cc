// Binding handles: creation from a string binding, the connection pool of the
// association, and RpcBindingFree.
#include "dcerpc/binding.h"

#include <new>
#include <utility>

#include "platform/text.h"
#include "dcerpc/client.h"
#include "dcerpc/client_internal.h"
#include "dcerpc/client_reader.h"

namespace rpc {
namespace {

// Protocol sequences Windows knows but this runtime does not carry.
constexpr const wchar_t* kOtherProtseqs[] = {
    L"ncacn_np",     L"ncalrpc",       L"ncacn_http", L"ncadg_ip_udp",   L"ncacn_nb_tcp",
    L"ncacn_nb_ipx", L"ncacn_nb_nb",   L"ncacn_spx",  L"ncadg_ipx",      L"ncacn_dnet_nsp",
    L"ncacn_at_dsp", L"ncacn_vns_spp", L"ncadg_mq",   L"ncacn_hvsocket",
};

RPC_STATUS check_protseq(const std::wstring& protseq) {
  if (protseq == L"ncacn_ip_tcp") return RPC_S_OK;
  for (const wchar_t* other : kOtherProtseqs) {
    if (protseq == other) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  }
  return RPC_S_INVALID_RPC_PROTSEQ;
}

// A TCP port in decimal, 1..65535; an empty endpoint is 0 (none).
bool parse_port(const std::wstring& endpoint, std::uint16_t* port) {
  if (endpoint.empty()) {
    *port = 0;
    return true;
  }
  if (endpoint.size() > 5) return false;
  std::uint32_t value = 0;
  for (wchar_t c : endpoint) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

using Clock = std::chrono::steady_clock;

Binding::Binding(StringBindingParts parts, std::string host, std::uint16_t port)
    : parts_(std::move(parts)), host_(std::move(host)), port_(port) {
  idle_.reserve(kMaxAsyncCalls + 1);
}

Binding::~Binding() {
  std::unique_ptr<ClientReader> reader;
  {
    std::lock_guard lock(lock_);
    reader = std::move(reader_);
  }
  reader.reset();  // hands its connections back through release()
  magic_ = 0;
}

Binding* Binding::from_handle(RPC_BINDING_HANDLE handle) {
  auto* binding = static_cast<Binding*>(handle);
  return binding != nullptr && binding->magic_ == kMagic ? binding : nullptr;
}

std::unique_ptr<ClientConnection> Binding::acquire(const BindOffer& offer) {
  if (port_ == 0) throw RpcException{RPC_S_NO_ENDPOINT_FOUND};
  const Clock::time_point ping_wait_end =
      Clock::now() + std::chrono::milliseconds(reply_timeout_ms());
  std::uint32_t group = 0;
  std::optional<std::uint64_t> unanswered_before;
  for (;;) {
    std::unique_ptr<ClientConnection> candidate;
    {
      std::unique_lock lock(lock_);
      if (!unanswered_before) unanswered_before = unanswered_pings_;
      // The newest idle connection first: it is the likeliest to be alive.
      for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->connection->interface_id() == offer.interface_id) {
          candidate = std::move(it->connection);
          idle_.erase(std::next(it).base());
          break;
        }
      }
      if (candidate == nullptr) {
        if (unanswered_pings_ != *unanswered_before) throw RpcException{last_ping_failure_};
        // A connection out for its keepalive ping is back in a round trip.
        if (pinging_ > 0 && Clock::now() < ping_wait_end) {
          changed_.wait_until(lock, ping_wait_end);
          continue;
        }
        if (group_id_ != 0) {
          group = group_id_;
          break;
        }
        if (!first_pending_) {
          first_pending_ = true;
          break;
        }
        changed_.wait(lock);
        continue;
      }
    }
    if (candidate->idle_and_healthy()) return candidate;
    release(std::move(candidate), false);  // closed by the server meanwhile
  }

  std::unique_ptr<ClientConnection> connection;
  Status s = ClientConnection::open_with_fragment(host_, port_, offer, group, offered_fragment_,
                                                  &connection);
  std::lock_guard lock(lock_);
  if (group == 0) {
    first_pending_ = false;
    changed_.notify_all();
  }
  if (!s.is_ok()) throw RpcException{s.code()};
  ++open_count_;
  if (group == 0) group_id_ = connection->assoc_group_id();
  return connection;
}

void Binding::pool_locked(std::unique_ptr<ClientConnection>& connection, bool reusable) {
  if (reusable && connection->usable()) {
    idle_.push_back({std::move(connection), Clock::now()});
    changed_.notify_all();
    return;
  }
  // The server ends the group with its last connection; the next connection
  // starts a new one.
  if (--open_count_ == 0) group_id_ = 0;
}

void Binding::release(std::unique_ptr<ClientConnection> connection, bool reusable) {
  std::lock_guard lock(lock_);
  pool_locked(connection, reusable);
  // A closed `connection` closes as this returns, after the lock is let go.
}

void Binding::take_for_ping(Clock::time_point idle_before,
                            std::vector<std::unique_ptr<ClientConnection>>* due) {
  std::lock_guard lock(lock_);
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (it->since > idle_before) {
      ++it;
      continue;
    }
    due->push_back(std::move(it->connection));
    it = idle_.erase(it);
    ++pinging_;
  }
}

void Binding::end_ping(std::unique_ptr<ClientConnection> connection, RPC_STATUS status) {
  std::lock_guard lock(lock_);
  --pinging_;
  pool_locked(connection, status == RPC_S_OK);
  if (status != RPC_S_OK) {
    ++unanswered_pings_;
    last_ping_failure_ = status;
    if (keepalive_flag_ != nullptr) keepalive_flag_->store(true);
  }
  changed_.notify_all();
}

void Binding::watch_keepalive(std::atomic<bool>* unanswered) {
  std::lock_guard lock(lock_);
  keepalive_flag_ = unanswered;
}

std::optional<Clock::time_point> Binding::oldest_idle() {
  std::lock_guard lock(lock_);
  std::optional<Clock::time_point> oldest;
  for (const Idle& idle : idle_) {
    if (!oldest || idle.since < *oldest) oldest = idle.since;
  }
  return oldest;
}

ClientReader& Binding::reader() {
  std::lock_guard lock(lock_);
  if (reader_ == nullptr) {
    auto reader = std::make_unique<ClientReader>(this);
    if (Status s = reader->start(); !s.is_ok()) throw RpcException{s.code()};
    reader_ = std::move(reader);
  }
  return *reader_;
}

std::size_t Binding::open_connections() {
  std::lock_guard lock(lock_);
  return open_count_;
}

std::uint32_t Binding::assoc_group_id() {
  std::lock_guard lock(lock_);
  return group_id_;
}

}  // namespace rpc

RPC_STATUS RpcBindingFromStringBindingW(const wchar_t* string_binding,
                                        RPC_BINDING_HANDLE* binding) {
  if (binding == nullptr) return rpc::fail_with(RPC_S_INVALID_ARG);
  *binding = nullptr;
  RPC_STATUS status;
  if (rpc::injected_status("RpcBindingFromStringBindingW", &status)) return status;
  if (string_binding == nullptr) return rpc::fail_with(RPC_S_INVALID_STRING_BINDING);

  rpc::StringBindingParts parts;
  status = rpc::parse_string_binding(string_binding, &parts);
  if (status != RPC_S_OK) return rpc::fail_with(status);
  status = rpc::check_protseq(parts.protseq);
  if (status != RPC_S_OK) return rpc::fail_with(status);
  std::uint16_t port = 0;
  if (!rpc::parse_port(parts.endpoint, &port)) return rpc::fail_with(RPC_S_INVALID_ENDPOINT_FORMAT);
  // An empty address is this machine.
  std::string host = parts.network_addr.empty() ? "localhost" : to_utf8(parts.network_addr);

  auto* made = new (std::nothrow) rpc::Binding(std::move(parts), std::move(host), port);
  if (made == nullptr) return rpc::fail_with(RPC_S_OUT_OF_MEMORY);
  *binding = made;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) {
  RPC_STATUS status;
  if (rpc::injected_status("RpcBindingFree", &status)) return status;
  if (binding == nullptr) return rpc::fail_with(RPC_S_INVALID_BINDING);
  rpc::Binding* target = rpc::Binding::from_handle(*binding);
  if (target == nullptr) return rpc::fail_with(RPC_S_INVALID_BINDING);
  delete target;
  *binding = nullptr;
  return RPC_S_OK;
}
