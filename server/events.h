// The events of trvs as records: each is built once, where it happens, with
// its kind, its fields and its syslog priority, and the text line a person
// reads is composed from the same values. The log writes the text or a JSON
// object from the record (server/event_format.h); nothing reads the text
// back. Plain values and functions without state; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dcerpc/server.h"
#include "digest/hash_combiner.h"

// syslog(3) priorities, as journald reads them from a "<N>" line prefix.
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;

struct Event {
  // "disk_opened", "failure", ...: the JSON "event"; docs/trvs.md lists them.
  std::string kind;
  int priority = kPriorityInfo;
  std::optional<std::int64_t> disk;
  std::optional<std::uint32_t> group;
  std::optional<std::int64_t> code;  // the failure code answered
  std::string code_name;             // "busy", ...; empty without a code
  std::string procedure;             // the call that failed, for failures
  std::string peer;                  // "ADDR:PORT" or "ADDR", when the line names one
  std::string reason;                // why a disk closed: "close_device", ...
  std::vector<std::pair<std::string, std::int64_t>> figures;  // in line order
  std::string text;  // the line, without its time and line end
};

// --- The server's start and stop (main.cc) ---------------------------------

// "listening on ENDPOINT[ (NDR 2.0 only)], disks DISKS, allowing ALLOW".
Event listening_event(const std::string& endpoint, bool ndr20_only, const std::string& disks,
                      const std::string& allow);
// "running as USER (uid U, gid G); root given up".
Event root_given_up_event(const std::string& user, unsigned uid, unsigned gid);
Event root_not_given_up_event(const std::string& why);
// `why` is the system's reason, never a status number of the RPC runtime.
Event listen_failed_event(const std::string& endpoint, const std::string& why);
Event accept_failed_event(const std::string& why);
Event stopping_event(const char* signal_name);
// The hashing figures at the stop, for --log-digests.
Event digests_event(const HashCombiner::Stats& stats);
Event stopped_event(bool flushed);

// The reason of a failed call of the RPC runtime as trvs tells it: the
// system's error text when there is one, else the runtime's message.
std::string runtime_reason(const rpc::Status& status);

// --- The disk store ---------------------------------------------------------

Event disk_opened_event(std::int16_t disk, std::uint32_t group, const std::string& path,
                        const std::string& description);
Event disk_already_open_event(std::int16_t disk, std::uint32_t group);

// What one open did, for the summary at its close.
struct OpenCounts {
  std::uint64_t replicated = 0;
  std::uint64_t bytes_written = 0;
  std::uint64_t identical = 0;
  std::uint64_t different = 0;
  std::uint64_t failures = 0;
};
// `ending` is the close's failure code, 0 when it succeeded.
Event disk_closed_event(std::int16_t disk, std::uint32_t group, const std::string& why,
                        const OpenCounts& counts, std::int32_t ending);
Event failure_event(std::int32_t code, const std::string& procedure, std::int16_t disk,
                    std::uint32_t group, std::optional<std::int64_t> offset,
                    const std::string& reason);
// "disk N: NOTICE": a way of writing the disk could not be used.
Event disk_notice_event(std::int16_t disk, const std::string& notice);
Event destination_changed_event(std::int16_t disk, std::uint32_t group, const std::string& what);
// A peer's failure lines are being held back for `seconds` after `lines`.
Event failures_suppressing_event(const std::string& peer, int lines, long long seconds);
// `count` of a peer's failure lines were held back.
Event failures_suppressed_event(const std::string& peer, std::uint64_t count);

// --- The RPC runtime's own events -------------------------------------------

Event runtime_event(const rpc::ServerEvent& event);
