// The part of Socket that is the same on every system: moving, the peer's
// address, whole reads and writes built on the system's read_some and
// write_all, and the bookkeeping of a gathered write. The system's side is
// socket_posix.cc or socket_windows.cc. Thread rules as in socket.h.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "dcerpc/socket.h"

namespace rpc {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

std::string Socket::peer_address() const {
  const std::string name = peer_name();
  if (name == "an unknown peer") return "";
  std::string address = name.substr(0, name.rfind(':'));
  if (address.size() >= 2 && address.front() == '[')
    address = address.substr(1, address.size() - 2);
  return address;
}

Status Socket::read_exact(void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    std::size_t got = 0;
    if (Status s = read_some(p, size, &got); !s.is_ok()) return s;
    p += got;
    size -= got;
  }
  return Status::ok();
}

Status Socket::write_all(const void* data, std::size_t size) {
  ConstBuffer piece{data, size};
  return write_all(std::span<const ConstBuffer>(&piece, 1));
}

void Socket::skip_sent(std::span<const ConstBuffer> buffers, std::size_t sent,
                       std::size_t* first, std::size_t* done_in_first) {
  while (*first < buffers.size()) {
    const std::size_t left = buffers[*first].size - *done_in_first;
    if (sent < left) {
      *done_in_first += sent;
      return;
    }
    sent -= left;
    ++*first;
    *done_in_first = 0;
  }
}

}  // namespace rpc
