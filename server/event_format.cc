// Log line formats of trvs: the time prefixes, the JSON object of an event
// and the escaping that keeps every event one line.
#include "server/event_format.h"

#include <cstdio>
#include <ctime>

namespace {

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

std::string format_json_event(const timeval& now, const Event& event) {
  std::string out = "{\"time\":\"" + utc_timestamp(now) + "\"";
  out += ",\"priority\":" + std::to_string(event.priority);
  out += ",\"event\":";
  json_string(&out, event.kind);
  out += ",\"disk\":" + (event.disk ? std::to_string(*event.disk) : "null");
  out += ",\"group\":" + (event.group ? std::to_string(*event.group) : "null");
  out += ",\"code\":" + (event.code ? std::to_string(*event.code) : "null");
  if (!event.code_name.empty()) {
    out += ",\"code_name\":";
    json_string(&out, event.code_name);
  }
  if (!event.procedure.empty()) {
    out += ",\"procedure\":";
    json_string(&out, event.procedure);
  }
  if (!event.reason.empty()) {
    out += ",\"reason\":";
    json_string(&out, event.reason);
  }
  if (!event.peer.empty()) {
    out += ",\"peer\":";
    json_string(&out, event.peer);
  }
  out += ",\"figures\":{";
  for (std::size_t i = 0; i < event.figures.size(); ++i) {
    if (i > 0) out += ',';
    json_string(&out, event.figures[i].first);
    out += ':' + std::to_string(event.figures[i].second);
  }
  out += "},\"message\":";
  json_string(&out, event.text);
  out += '}';
  return out;
}

std::string format_event_line(const timeval& now, const Event& event, LogFormat format,
                              bool journal) {
  std::string line;
  if (journal) line = "<" + std::to_string(event.priority) + ">";
  if (format == LogFormat::Json) {
    line += format_json_event(now, event);
  } else {
    if (!journal) line += text_time_prefix(now);
    line += escape_controls(event.text);
  }
  line += '\n';
  return line;
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
