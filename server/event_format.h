// How one trvs event (server/events.h) becomes a log line: its text with the
// local time and zone offset, or a JSON object for machines. Plain functions
// without state; any thread.
#pragma once

#include <sys/time.h>

#include <string>
#include <string_view>

#include "server/events.h"

enum class LogFormat { Text, Json };

// "[2026-12-08 10:11:12.345 +0100] " for `now` in the local time zone.
std::string text_time_prefix(const timeval& now);

// "2026-12-08T09:11:12.345Z".
std::string utc_timestamp(const timeval& now);

// {"time":"...","priority":6,"event":"...","disk":1,...,"message":"..."}
// without a line end; always valid JSON, whatever bytes the event's strings
// hold.
std::string format_json_event(const timeval& now, const Event& event);

// The whole line of `event`, line end included: the local time and the
// text (control characters escaped), or the JSON object. For the journal
// (`journal`), the line starts with the priority as "<N>" and a text line
// leaves the time to journald.
std::string format_event_line(const timeval& now, const Event& event, LogFormat format,
                              bool journal);

// `text` as the contents of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string json_escape(std::string_view text);

// `text` with control characters (a line end in a path, say) written as
// \xNN, so that one event stays one line.
std::string escape_controls(std::string_view text);
