// Log line formats of trvs. The shapes parse_event knows are the lines that
// docs/trvs.md lists; a line it does not know still gets a time, a priority
// and its message.
#include "server/event_format.h"

#include <cstdio>
#include <ctime>

namespace {

// Reads a message from left to right; each step consumes on success only.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : rest_(text) {}

  bool literal(std::string_view word) {
    if (rest_.substr(0, word.size()) != word) return false;
    rest_.remove_prefix(word.size());
    return true;
  }
  bool number(std::int64_t* out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < rest_.size() && rest_[i] == '-') {
      negative = true;
      ++i;
    }
    const std::size_t first = i;
    std::int64_t value = 0;
    while (i < rest_.size() && rest_[i] >= '0' && rest_[i] <= '9' && i - first < 18) {
      value = value * 10 + (rest_[i] - '0');
      ++i;
    }
    if (i == first) return false;
    *out = negative ? -value : value;
    rest_.remove_prefix(i);
    return true;
  }
  // The text up to `stop`, which is consumed too.
  bool until(std::string_view stop, std::string* out) {
    const auto at = rest_.find(stop);
    if (at == std::string_view::npos) return false;
    out->assign(rest_.substr(0, at));
    rest_.remove_prefix(at + stop.size());
    return true;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool group_number(Cursor& in, EventFields* fields) {
  std::int64_t group = 0;
  if (!in.number(&group) || group < 0 || group > 0xFFFFFFFFll) return false;
  fields->group = static_cast<std::uint32_t>(group);
  return true;
}

// "failure C (NAME): PROCEDURE disk N group G[ offset O]: MESSAGE"
bool parse_failure(Cursor in, EventFields* fields) {
  std::int64_t code = 0;
  std::int64_t disk = 0;
  std::string name;
  std::string procedure;
  if (!in.literal("failure ") || !in.number(&code) || !in.literal(" (") ||
      !in.until("): ", &name) || !in.until(" disk ", &procedure) || !in.number(&disk) ||
      !in.literal(" group ") || !group_number(in, fields)) {
    return false;
  }
  std::int64_t offset = 0;
  if (in.literal(" offset ") && in.number(&offset)) fields->figures.emplace_back("offset", offset);
  fields->event = "failure";
  fields->code = code;
  fields->code_name = name;
  fields->procedure = procedure;
  fields->disk = disk;
  // A lost flush or a changed destination means a copy that cannot be
  // trusted; the rest are a client's calls refused one by one.
  fields->priority = code == 8 || code == 11 ? kPriorityError : kPriorityWarning;
  return true;
}

// "disk N closed for group G (WHY): replicated R chunks (B bytes written),
//  compared C (identical I, different D), failures F[, not flushed | ...]"
void parse_closed(Cursor in, EventFields* fields) {
  fields->event = "disk_closed";
  if (!group_number(in, fields) || !in.literal(" (") || !in.until("): ", &fields->reason)) return;
  const struct {
    const char* before;
    const char* name;
  } figures[] = {{"replicated ", "replicated"},
                 {" chunks (", "bytes_written"},
                 {" bytes written), compared ", "compared"},
                 {" (identical ", "identical"},
                 {", different ", "different"},
                 {"), failures ", "failures"}};
  for (const auto& figure : figures) {
    std::int64_t value = 0;
    if (!in.literal(figure.before) || !in.number(&value)) return;
    fields->figures.emplace_back(figure.name, value);
  }
  if (in.literal(", not flushed")) {
    fields->priority = kPriorityError;
    fields->code = 8;
    fields->code_name = "flush failed";
  } else if (in.literal(", destination changed")) {
    fields->priority = kPriorityError;
    fields->code = 11;
    fields->code_name = "destination changed";
  }
}

// Every "disk N ..." line.
void parse_disk(Cursor in, EventFields* fields) {
  std::int64_t disk = 0;
  if (!in.literal("disk ") || !in.number(&disk)) return;
  fields->disk = disk;
  if (in.literal(" opened by group ")) {
    fields->event = "disk_opened";
    group_number(in, fields);
  } else if (in.literal(" already open by group ")) {
    fields->event = "disk_already_open";
    group_number(in, fields);
  } else if (in.literal(" closed for group ")) {
    parse_closed(in, fields);
  } else if (in.literal(": destination changed under group ")) {
    fields->event = "destination_changed";
    fields->priority = kPriorityError;
    fields->code = 11;
    fields->code_name = "destination changed";
    group_number(in, fields);
  } else if (in.literal(": ")) {
    fields->event = "disk_notice";  // no direct I/O, no zero ranges
    fields->priority = kPriorityNotice;
  }
}

void parse_peer_line(Cursor in, EventFields* fields) {
  std::string peer;
  if (in.literal("connection from ") && in.until(" closed: ", &peer)) {
    fields->event = "connection_closed";
    fields->peer = peer;
    fields->priority = kPriorityNotice;
  } else if (in.literal("refused connection from ") && in.until(": ", &peer)) {
    fields->event = "connection_refused";
    fields->peer = peer;
    fields->priority = kPriorityWarning;
  } else if (in.literal("refused bind from ") && in.until(": ", &peer)) {
    fields->event = "bind_refused";
    fields->peer = peer;
    fields->priority = kPriorityWarning;
    if (in.literal("association group ")) group_number(in, fields);
  } else if (in.literal("failures from ") && in.until(": ", &peer)) {
    fields->event = "failures_suppressed";
    fields->peer = peer;
    fields->priority = kPriorityWarning;
    std::int64_t count = 0;
    if (in.number(&count) && in.literal(" lines suppressed")) {
      fields->figures.emplace_back("suppressed", count);
    }
  }
}

void append_utf8(std::string* out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    *out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out += static_cast<char>(0xC0 | (code_point >> 6));
    *out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out += static_cast<char>(0xE0 | (code_point >> 12));
    *out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code_point >> 18));
    *out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0; *code_point gets its value.
std::size_t utf8_sequence(std::string_view text, std::size_t i, std::uint32_t* code_point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint32_t least = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

void json_string(std::string* out, std::string_view text) {
  *out += '"';
  *out += json_escape(text);
  *out += '"';
}

std::string millis(const timeval& now) {
  char text[8];
  std::snprintf(text, sizeof text, ".%03d", static_cast<int>(now.tv_usec / 1000));
  return text;
}

}  // namespace

EventFields parse_event(std::string_view message) {
  EventFields fields;
  Cursor in(message);
  if (starts_with(message, "failure ")) {
    EventFields failure;
    if (parse_failure(in, &failure)) return failure;
  } else if (starts_with(message, "disk ")) {
    parse_disk(in, &fields);
  } else if (starts_with(message, "listening on ")) {
    fields.event = "listening";
  } else if (starts_with(message, "running as ")) {
    fields.event = "root_given_up";
  } else if (starts_with(message, "cannot give up root")) {
    fields.event = "root_not_given_up";
    fields.priority = kPriorityError;
  } else if (starts_with(message, "cannot listen on ")) {
    fields.event = "listen_failed";
    fields.priority = kPriorityError;
  } else if (starts_with(message, "cannot accept connections")) {
    fields.event = "accept_failed";
    fields.priority = kPriorityError;
  } else if (starts_with(message, "accepting connections again")) {
    fields.event = "accepting_again";
    fields.priority = kPriorityNotice;
  } else if (starts_with(message, "stopping on ")) {
    fields.event = "stopping";
    fields.priority = kPriorityNotice;
  } else if (message == "stopped") {
    fields.event = "stopped";
    fields.priority = kPriorityNotice;
  } else if (starts_with(message, "stopped, ")) {
    fields.event = "stopped";
    fields.priority = kPriorityError;
  } else {
    parse_peer_line(in, &fields);
    // The runtime's limiter says how many lines of one kind it held back.
    if (fields.event == "message" && ends_with(message, "suppressed")) {
      fields.priority = kPriorityWarning;
    }
  }
  return fields;
}

std::string text_time_prefix(const timeval& now) {
  std::tm local;
  ::localtime_r(&now.tv_sec, &local);
  char date[32];
  char zone[16];
  const std::size_t date_length = std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  const std::size_t zone_length = std::strftime(zone, sizeof zone, "%z", &local);
  return "[" + std::string(date, date_length) + millis(now) + " " + std::string(zone, zone_length) +
         "] ";
}

std::string utc_timestamp(const timeval& now) {
  std::tm utc;
  ::gmtime_r(&now.tv_sec, &utc);
  char date[32];
  const std::size_t length = std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(date, length) + millis(now) + "Z";
}

std::string format_json_event(const timeval& now, std::string_view message) {
  const EventFields fields = parse_event(message);
  std::string out = "{\"time\":\"" + utc_timestamp(now) + "\"";
  out += ",\"priority\":" + std::to_string(fields.priority);
  out += ",\"event\":";
  json_string(&out, fields.event);
  out += ",\"disk\":" + (fields.disk ? std::to_string(*fields.disk) : "null");
  out += ",\"group\":" + (fields.group ? std::to_string(*fields.group) : "null");
  out += ",\"code\":" + (fields.code ? std::to_string(*fields.code) : "null");
  if (!fields.code_name.empty()) {
    out += ",\"code_name\":";
    json_string(&out, fields.code_name);
  }
  if (!fields.procedure.empty()) {
    out += ",\"procedure\":";
    json_string(&out, fields.procedure);
  }
  if (!fields.reason.empty()) {
    out += ",\"reason\":";
    json_string(&out, fields.reason);
  }
  if (!fields.peer.empty()) {
    out += ",\"peer\":";
    json_string(&out, fields.peer);
  }
  out += ",\"figures\":{";
  for (std::size_t i = 0; i < fields.figures.size(); ++i) {
    if (i > 0) out += ',';
    json_string(&out, fields.figures[i].first);
    out += ':' + std::to_string(fields.figures[i].second);
  }
  out += "},\"message\":";
  json_string(&out, message);
  out += '}';
  return out;
}

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = utf8_sequence(text, i, &code_point);
    if (length == 0) {
      append_utf8(&out, 0xFFFD);
      ++i;
      continue;
    }
    i += length;
    switch (code_point) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (code_point < 0x20 || code_point == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code_point));
          out += escaped;
        } else {
          append_utf8(&out, code_point);
        }
    }
  }
  return out;
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}
