// How one trvs event becomes a log line: the text line with its local time
// and zone offset, or a JSON object for machines, and the syslog priority of
// each event. The event's fields (disk, group, code, figures) are read back
// from the text the server writes, so the call sites only ever write text.
// Plain functions without state; any thread.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class LogFormat { Text, Json };

// syslog(3) priorities, as journald reads them from a "<N>" line prefix.
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;

struct EventFields {
  std::string event = "message";  // "disk_opened", "failure", ...; see the .cc
  int priority = kPriorityInfo;
  std::optional<std::int64_t> disk;
  std::optional<std::uint32_t> group;
  std::optional<std::int64_t> code;  // the failure code answered
  std::string code_name;             // "busy", ...; empty without a code
  std::string procedure;             // the call that failed, for failures
  std::string peer;                  // "ADDR:PORT" or "ADDR", when one is named
  std::string reason;                // why a disk closed: "close_device", ...
  std::vector<std::pair<std::string, std::int64_t>> figures;  // in line order
};

// The fields of one log message ("disk 1 closed for group 7 (...): ...").
// A message of no known shape is the event "message" with no fields.
EventFields parse_event(std::string_view message);

// "[2026-12-08 10:11:12.345 +0100] " for `now` in the local time zone.
std::string text_time_prefix(const timeval& now);

// "2026-12-08T09:11:12.345Z".
std::string utc_timestamp(const timeval& now);

// {"time":"...","priority":6,"event":"...","disk":1,...,"message":"..."}
// without a line end; always valid JSON, whatever bytes `message` holds.
std::string format_json_event(const timeval& now, std::string_view message);

// `text` as the contents of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string json_escape(std::string_view text);

// `text` with control characters (a line end in a path, say) written as
// \xNN, so that one event stays one line.
std::string escape_controls(std::string_view text);
