// The builders of trvs's events. Each text is the line docs/trvs.md lists for
// its kind; the fields beside it are the same values, never read back from
// it.
#include "server/events.h"

#include <cstring>

#include "server/status.h"

namespace {

Event make(const char* kind, int priority, std::string text) {
  Event event;
  event.kind = kind;
  event.priority = priority;
  event.text = std::move(text);
  return event;
}

void set_code(Event* event, std::int32_t code) {
  event->code = code;
  event->code_name = failure_name(code);
}

std::int64_t figure(std::uint64_t value) { return static_cast<std::int64_t>(value); }

}  // namespace

Event listening_event(const std::string& endpoint, bool ndr20_only, const std::string& disks,
                      const std::string& allow) {
  return make("listening", kPriorityInfo,
              "listening on " + endpoint + (ndr20_only ? " (NDR 2.0 only)" : "") + ", disks " +
                  disks + ", allowing " + allow);
}

Event root_given_up_event(const std::string& user, unsigned uid, unsigned gid) {
  return make("root_given_up", kPriorityInfo,
              "running as " + user + " (uid " + std::to_string(uid) + ", gid " +
                  std::to_string(gid) + "); root given up");
}

Event root_not_given_up_event(const std::string& why) {
  return make("root_not_given_up", kPriorityError, "cannot give up root: " + why);
}

Event listen_failed_event(const std::string& endpoint, const std::string& why) {
  return make("listen_failed", kPriorityError, "cannot listen on " + endpoint + ": " + why);
}

Event accept_failed_event(const std::string& why) {
  return make("accept_failed", kPriorityError, "cannot accept connections: " + why);
}

Event stopping_event(const char* signal_name) {
  return make("stopping", kPriorityNotice, std::string("stopping on ") + signal_name);
}

Event digests_event(const HashCombiner::Stats& stats) {
  Event event = make("digests", kPriorityInfo, "digests: " + HashCombiner::describe(stats));
  event.figures = {{"digests", figure(stats.digests)},
                   {"steps", figure(stats.steps)},
                   {"waits", figure(stats.waits)}};
  return event;
}

Event stopped_event(bool flushed) {
  return flushed ? make("stopped", kPriorityNotice, "stopped")
                 : make("stopped", kPriorityError, "stopped, but a disk could not be flushed");
}

std::string runtime_reason(const rpc::Status& status) {
  if (status.sys_error() == 0) return status.message();
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  return strerror_r(status.sys_error(), buffer, sizeof buffer);
}

Event disk_opened_event(std::int16_t disk, std::uint32_t group, const std::string& path,
                        const std::string& description) {
  Event event = make("disk_opened", kPriorityInfo,
                     "disk " + std::to_string(disk) + " opened by group " + std::to_string(group) +
                         ": " + path + ", " + description);
  event.disk = disk;
  event.group = group;
  return event;
}

Event disk_already_open_event(std::int16_t disk, std::uint32_t group) {
  Event event =
      make("disk_already_open", kPriorityInfo,
           "disk " + std::to_string(disk) + " already open by group " + std::to_string(group));
  event.disk = disk;
  event.group = group;
  return event;
}

Event disk_closed_event(std::int16_t disk, std::uint32_t group, const std::string& why,
                        const OpenCounts& counts, std::int32_t ending) {
  const std::uint64_t compared = counts.identical + counts.different;
  std::string text = "disk " + std::to_string(disk) + " closed for group " + std::to_string(group) +
                     " (" + why + "): replicated " + std::to_string(counts.replicated) +
                     " chunks (" + std::to_string(counts.bytes_written) +
                     " bytes written), compared " + std::to_string(compared) + " (identical " +
                     std::to_string(counts.identical) + ", different " +
                     std::to_string(counts.different) + "), failures " +
                     std::to_string(counts.failures);
  // Any close that did not succeed lost the open's durability, whatever
  // stuck first; only a changed destination is told apart.
  const std::int32_t code =
      ending == 0 ? 0 : (ending == DestinationChanged ? DestinationChanged : FlushFailed);
  if (code == DestinationChanged) text += ", destination changed";
  if (code == FlushFailed) text += ", not flushed";
  Event event = make("disk_closed", code == 0 ? kPriorityInfo : kPriorityError, std::move(text));
  event.disk = disk;
  event.group = group;
  event.reason = why;
  if (code != 0) set_code(&event, code);
  event.figures = {{"replicated", figure(counts.replicated)},
                   {"bytes_written", figure(counts.bytes_written)},
                   {"compared", figure(compared)},
                   {"identical", figure(counts.identical)},
                   {"different", figure(counts.different)},
                   {"failures", figure(counts.failures)}};
  return event;
}

Event failure_event(std::int32_t code, const std::string& procedure, std::int16_t disk,
                    std::uint32_t group, std::optional<std::int64_t> offset,
                    const std::string& reason) {
  std::string text = "failure " + std::to_string(code) + " (" + failure_name(code) +
                     "): " + procedure + " disk " + std::to_string(disk) + " group " +
                     std::to_string(group);
  if (offset) text += " offset " + std::to_string(*offset);
  text += ": " + reason;
  // A lost flush, a changed destination or a full file system mean a copy
  // that cannot go on until someone acts; the rest are a client's calls
  // refused one by one.
  const bool serious = code == FlushFailed || code == DestinationChanged || code == NoSpace;
  Event event = make("failure", serious ? kPriorityError : kPriorityWarning, std::move(text));
  set_code(&event, code);
  event.procedure = procedure;
  event.disk = disk;
  event.group = group;
  if (offset) event.figures.emplace_back("offset", *offset);
  return event;
}

Event disk_notice_event(std::int16_t disk, const std::string& notice) {
  Event event =
      make("disk_notice", kPriorityNotice, "disk " + std::to_string(disk) + ": " + notice);
  event.disk = disk;
  return event;
}

Event destination_changed_event(std::int16_t disk, std::uint32_t group, const std::string& what) {
  Event event = make("destination_changed", kPriorityError,
                     "disk " + std::to_string(disk) + ": destination changed under group " +
                         std::to_string(group) + ": " + what + "; this open fails from now on");
  event.disk = disk;
  event.group = group;
  set_code(&event, DestinationChanged);
  return event;
}

Event failures_suppressing_event(const std::string& peer, int lines, long long seconds) {
  Event event =
      make("failures_suppressed", kPriorityWarning,
           "failures from " + peer + ": more than " + std::to_string(lines) + " lines in " +
               std::to_string(seconds) + " s, suppressing the rest of them");
  event.peer = peer;
  return event;
}

Event failures_suppressed_event(const std::string& peer, std::uint64_t count) {
  Event event = make("failures_suppressed", kPriorityWarning,
                     "failures from " + peer + ": " + std::to_string(count) + " lines suppressed");
  event.peer = peer;
  event.figures.emplace_back("suppressed", figure(count));
  return event;
}

Event runtime_event(const rpc::ServerEvent& from) {
  using Kind = rpc::ServerEvent::Kind;
  Event event;
  switch (from.kind) {
    case Kind::ConnectionClosed:
      event = make("connection_closed", kPriorityNotice, from.text);
      break;
    case Kind::ConnectionRefused:
      event = make("connection_refused", kPriorityWarning, from.text);
      break;
    case Kind::BindRefused:
      event = make("bind_refused", kPriorityWarning, from.text);
      event.group = from.group;
      break;
    case Kind::AcceptFailed:
      event = make("accept_failed", kPriorityError, from.text);
      break;
    case Kind::AcceptingAgain:
      event = make("accepting_again", kPriorityNotice, from.text);
      break;
  }
  event.peer = from.peer;
  return event;
}
