// The reply reader's wait on Windows: WSAPoll over the registered sockets
// and a datagram socket bound to loopback, which wake() sends a byte to.
// Winsock has no registration like epoll, so every wait polls the set as it
// is when the wait starts; add() wakes a wait under way, so that a new
// socket is polled at once.
#include "dcerpc/poller.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace rpc {
namespace {

SOCKET native(NativeSocket socket) { return static_cast<SOCKET>(socket); }

}  // namespace

Poller::~Poller() {
  if (wake_handle_ != -1) closesocket(native(wake_handle_));
}

Status Poller::open() {
  WSADATA data;
  if (const int error = WSAStartup(MAKEWORD(2, 2), &data); error != 0) {
    return Status::failure(status::kOutOfResources, "WSAStartup", error);
  }
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    return Status::failure(status::kOutOfResources, "socket", WSAGetLastError());
  }
  wake_handle_ = static_cast<NativeSocket>(s);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  // Connected to itself, so that only its own datagrams reach it.
  if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    return Status::failure(status::kOutOfResources, "the wake-up socket", WSAGetLastError());
  }
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    return Status::failure(status::kOutOfResources, "the wake-up socket", WSAGetLastError());
  }
  return Status::ok();
}

bool Poller::add(NativeSocket socket, void* tag) {
  {
    std::lock_guard lock(lock_);
    entries_.push_back({socket, tag});
  }
  wake();
  return true;
}

void Poller::remove(NativeSocket socket) {
  std::lock_guard lock(lock_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->socket == socket) {
      entries_.erase(it);
      return;
    }
  }
}

int Poller::wait(int milliseconds, void** tags, int capacity) {
  std::vector<WSAPOLLFD> polled;
  std::vector<void*> polled_tags;
  {
    std::lock_guard lock(lock_);
    polled.reserve(entries_.size() + 1);
    for (const Entry& entry : entries_) {
      WSAPOLLFD p{};
      p.fd = native(entry.socket);
      p.events = POLLRDNORM;
      polled.push_back(p);
      polled_tags.push_back(entry.tag);
    }
  }
  WSAPOLLFD wake{};
  wake.fd = native(wake_handle_);
  wake.events = POLLRDNORM;
  polled.push_back(wake);
  const int count = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), milliseconds);
  if (count == SOCKET_ERROR) return -1;
  if (polled.back().revents != 0) {
    char drained[64];
    while (recv(native(wake_handle_), drained, sizeof drained, 0) > 0) {
    }
  }
  int ready = 0;
  for (std::size_t i = 0; i + 1 < polled.size() && ready < capacity; ++i) {
    if (polled[i].revents != 0) tags[ready++] = polled_tags[i];
  }
  return ready;
}

void Poller::wake() {
  const char one = 1;
  send(native(wake_handle_), &one, 1, 0);
}

}  // namespace rpc
