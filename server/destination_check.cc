// The destination checks of the disk store: whether the file an open works
// on is still the destination, and the probe byte they read back. Any thread;
// the probe's state is guarded by the session's probe mutex, which is taken
// after the disk's mutex, never before it.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "server/disk_session.h"
#include "server/disk_store.h"

Status DiskStore::lost_status(Session& session) {
  if (!session.lost.load(std::memory_order_acquire)) return Status::ok();
  return session.flushes.status();
}

Status DiskStore::lose(Session& session, std::string what) {
  bool first = false;
  Status status = session.flushes.stick(Status::failure(DestinationChanged, what), &first);
  if (!first) return status;
  session.lost.store(true, std::memory_order_release);
  log_change(session, what);
  if (session.map) session.map->discard("destination changed");
  return status;
}

void DiskStore::log_change(const Session& session, const std::string& what) const {
  log(destination_changed_event(session.disk, session.group, what));
}

Status DiskStore::check_length(Session& session, std::int64_t* length) {
  std::string failed;
  if (std::string found = length_change(session, length, &failed); !found.empty()) {
    return lose(session, std::move(found));
  }
  if (!failed.empty()) return lose(session, std::move(failed));
  return Status::ok();
}

Status DiskStore::check_before_compare(Session& session, std::int64_t* length) {
  if (std::string found = path_change(session); !found.empty()) {
    return lose(session, std::move(found));
  }
  if (session.block_device) return Status::ok();
  std::string failed;
  if (std::string found = length_change(session, length, &failed); !found.empty()) {
    return lose(session, std::move(found));
  }
  // Without the length nothing is known of the image, but nothing says it
  // changed either: this compare fails, the open goes on.
  if (!failed.empty()) return Status::failure(ReadFailed, std::move(failed));
  return Status::ok();
}

std::string DiskStore::path_change(const Session& session) {
  struct stat named;
  if (io_.stat(session.path.c_str(), &named) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return session.path + " was removed";
    return describe_errno(("stat " + session.path).c_str(), error);
  }
  if (named.st_dev != session.dev || named.st_ino != session.ino ||
      (session.block_device && named.st_rdev != session.rdev)) {
    return session.path + " now names another file";
  }
  return {};
}

std::string DiskStore::length_change(Session& session, std::int64_t* length, std::string* failed) {
  // What was vouched for is read before the length: every write it counts
  // has ended, so its growth of the file shows in the fstat that follows.
  // The other order lets a write that ends in between look like a cut.
  const std::int64_t written = session.written_end.load(std::memory_order_acquire);
  const std::int64_t compared = session.compared_end.load(std::memory_order_acquire);
  struct stat opened;
  if (io_.fstat(session.fd, &opened) != 0) {
    *failed = describe_errno("fstat", errno);
    return {};
  }
  if (length) *length = opened.st_size;
  const std::string head =
      session.path + " is " + std::to_string(opened.st_size) + " bytes long, shorter than the ";
  if (opened.st_size < written) return head + std::to_string(written) + " bytes written to it";
  if (opened.st_size < compared) {
    return head + std::to_string(compared) + " bytes this open found identical to the source";
  }
  return {};
}

std::string DiskStore::find_change(Session& session) {
  if (std::string found = path_change(session); !found.empty()) return found;
  if (session.block_device) return {};
  std::string failed;
  if (std::string found = length_change(session, nullptr, &failed); !found.empty()) return found;
  if (!failed.empty()) return failed;
  // The length can look right again after a cut and a later write past it;
  // the probe byte, below any later write, cannot.
  std::lock_guard lock(session.probe_mutex);
  const Session::Probe& probe = session.probe;
  if (!probe.set || probe.writers > 0) return {};
  std::uint8_t byte = 0;
  ssize_t n;
  do {
    n = io_.pread(session.fd, &byte, 1, probe.position);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return describe_errno("pread", errno);
  const char* how = probe.compared ? "found identical" : "written";
  if (n == 0) {
    return session.path + " ends before byte " + std::to_string(probe.position) + ", which was " +
           how;
  }
  if (byte != probe.value) {
    char text[80];
    std::snprintf(text, sizeof text, " reads 0x%02x where 0x%02x was %s", byte, probe.value, how);
    return "byte " + std::to_string(probe.position) + " of " + session.path + text;
  }
  return {};
}

DiskStore::ProbeTicket DiskStore::probe_write_starts(Session& session, std::int64_t offset,
                                                     std::size_t length) {
  ProbeTicket ticket;
  if (session.block_device || length == 0) return ticket;
  std::lock_guard lock(session.probe_mutex);
  Session::Probe& probe = session.probe;
  ++probe.writes_started;
  ++probe.writes_running;
  if (probe.set && probe.position >= offset &&
      probe.position - offset < static_cast<std::int64_t>(length)) {
    ++probe.writers;
    ticket.covers = true;
    ticket.generation = probe.generation;
  }
  return ticket;
}

void DiskStore::probe_write_ended(Session& session, const ProbeTicket& ticket,
                                  const std::uint8_t* data, std::size_t length, std::int64_t offset,
                                  bool written, bool zero) {
  if (session.block_device || length == 0) return;
  if (written) {
    // Only a write that surely reached the file counts toward its length.
    raise_to(session.written_end, offset + static_cast<std::int64_t>(length));
  }
  const bool non_zero = written && !zero;
  std::lock_guard lock(session.probe_mutex);
  Session::Probe& probe = session.probe;
  --probe.writes_running;
  const bool over_probe = ticket.covers && ticket.generation == probe.generation;
  if (over_probe) --probe.writers;
  // A write over the probe's byte changed it: take the byte anew from this
  // write, or have none until the next non-zero chunk.
  if (!over_probe && !(non_zero && (!probe.set || offset < probe.chunk))) return;
  ++probe.generation;
  probe.writers = 0;
  probe.set = false;
  if (!non_zero) return;
  const std::uint8_t* first =
      std::find_if(data, data + length, [](std::uint8_t byte) { return byte != 0; });
  if (first == data + length) return;
  probe.set = true;
  probe.compared = false;
  probe.chunk = offset;
  probe.position = offset + (first - data);
  probe.value = *first;
}

ProbeOffer DiskStore::probe_offer(Session& session, std::int64_t offset) {
  ProbeOffer offer;
  if (session.block_device) return offer;
  std::lock_guard lock(session.probe_mutex);
  const Session::Probe& probe = session.probe;
  offer.wanted = probe.writes_running == 0 && (!probe.set || offset < probe.chunk);
  offer.writes_started = probe.writes_started;
  return offer;
}

void DiskStore::compared_identical(Session& session, std::int64_t offset, std::int64_t end,
                                   const ProbeOffer& offer, const FirstNonZero& first) {
  if (session.block_device) return;
  raise_to(session.compared_end, end);
  if (!offer.wanted || !first.found) return;
  std::lock_guard lock(session.probe_mutex);
  Session::Probe& probe = session.probe;
  // A write that ran meanwhile may have changed what was read.
  if (probe.writes_started != offer.writes_started || probe.writes_running != 0) return;
  if (probe.set && offset >= probe.chunk) return;
  ++probe.generation;
  probe.writers = 0;
  probe.set = true;
  probe.compared = true;
  probe.chunk = offset;
  probe.position = first.position;
  probe.value = first.value;
}

void DiskStore::raise_to(std::atomic<std::int64_t>& end, std::int64_t value) {
  std::int64_t known = end.load(std::memory_order_relaxed);
  while (known < value && !end.compare_exchange_weak(known, value, std::memory_order_release)) {
  }
}
