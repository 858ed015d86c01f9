// Parsing of the trvs command line. Numbers are strict decimal: a disk number
// or port that does not fit is refused, never wrapped.
#include "server/options.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>

const char kTrvsUsage[] =
    "usage: trvs [--listen ADDR:PORT] --disk N=PATH [--disk N=PATH ...]\n"
    "            [--fixed-disk N=PATH ...] [--idle-timeout SECONDS] [--ndr20-only]\n"
    "\n"
    "Serves the replication interface to trvc, writing each disk number N\n"
    "that a client names to the block device or image file PATH.\n"
    "\n"
    "  --listen ADDR:PORT   address and TCP port to listen on (default\n"
    "                       127.0.0.1:0); ADDR is an IPv4 address, a host name\n"
    "                       or an IPv6 address in brackets ([::1]); PORT 0\n"
    "                       picks a free port. The first line on standard\n"
    "                       output is \"listening on ADDR:PORT\".\n"
    "  --disk N=PATH        serve disk number N (-32768..32767) from PATH, a\n"
    "                       block device or an existing image file, which grows\n"
    "                       as chunks are written past its end\n"
    "  --fixed-disk N=PATH  as --disk, but an image file keeps its size: data\n"
    "                       past its end must be zero and is not written\n"
    "  --idle-timeout SECONDS\n"
    "                       close a connection that delivers no complete\n"
    "                       request for SECONDS (1..86400, default 180); a\n"
    "                       group's disks close with its last connection\n"
    "  --ndr20-only         offer only the NDR 2.0 transfer syntax\n"
    "  --help               show this text\n";

namespace {

template <typename Integer>
bool parse_decimal(const std::string& text, Integer* out) {
  if (text.empty() || text.size() > 12) return false;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (*first == '+') return false;
  auto [end, error] = std::from_chars(first, last, *out);
  return error == std::errc() && end == last;
}

// "ADDR:PORT", "[V6]:PORT".
bool parse_listen(const std::string& text, TrvsOptions* options, std::string* error) {
  std::string address;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "--listen: expected [IPV6]:PORT, got \"" + text + "\"";
      return false;
    }
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
      *error = "--listen: expected ADDR:PORT, got \"" + text + "\"";
      return false;
    }
    if (text.find(':') != colon) {
      *error = "--listen: write an IPv6 address in brackets, as [::1]:PORT";
      return false;
    }
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (address.empty()) {
    *error = "--listen: the address is missing in \"" + text + "\"";
    return false;
  }
  std::uint16_t number = 0;
  if (!parse_decimal(port, &number)) {
    *error = "--listen: the port must be a number from 0 to 65535, got \"" + port + "\"";
    return false;
  }
  options->listen_address = address;
  options->port = number;
  return true;
}

bool parse_idle_timeout(const std::string& text, TrvsOptions* options, std::string* error) {
  int seconds = 0;
  if (!parse_decimal(text, &seconds) || seconds < 1 || seconds > kMaxIdleTimeoutSeconds) {
    *error = "--idle-timeout: the number of seconds must be from 1 to " +
             std::to_string(kMaxIdleTimeoutSeconds) + ", got \"" + text + "\"";
    return false;
  }
  options->idle_timeout_seconds = seconds;
  return true;
}

bool parse_disk(const std::string& option, const std::string& text, bool fixed,
                TrvsOptions* options, std::string* error) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals + 1 == text.size()) {
    *error = option + ": expected N=PATH, got \"" + text + "\"";
    return false;
  }
  std::int16_t number = 0;
  const std::string number_text = text.substr(0, equals);
  if (!parse_decimal(number_text, &number)) {
    *error = option + ": the disk number must be from -32768 to 32767, got \"" + number_text + "\"";
    return false;
  }
  for (const auto& disk : options->disks) {
    if (disk.number == number) {
      *error = option + ": disk number " + number_text + " is given twice";
      return false;
    }
  }
  options->disks.push_back(DiskConfig{number, text.substr(equals + 1), fixed});
  return true;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine result;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    if (name.rfind("--", 0) == 0) {
      if (const auto equals = name.find('='); equals != std::string::npos) {
        // --listen=ADDR:PORT; for --disk=N=PATH the first '=' ends the name.
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        has_value = true;
      }
    }
    if (name == "--help" || name == "-h") {
      result.action = CommandLine::Action::Help;
      return result;
    }
    if (name == "--ndr20-only" && !has_value) {
      result.options.accept_ndr64 = false;
      continue;
    }
    if (name == "--listen" || name == "--disk" || name == "--fixed-disk" ||
        name == "--idle-timeout") {
      if (!has_value) {
        if (i + 1 == args.size()) {
          result.error = name + ": a value is missing";
          return result;
        }
        value = args[++i];
      }
      bool ok = false;
      if (name == "--listen") {
        ok = parse_listen(value, &result.options, &result.error);
      } else if (name == "--idle-timeout") {
        ok = parse_idle_timeout(value, &result.options, &result.error);
      } else {
        ok = parse_disk(name, value, name == "--fixed-disk", &result.options, &result.error);
      }
      if (!ok) return result;
      continue;
    }
    result.error = "unknown argument \"" + args[i] + "\"";
    return result;
  }
  if (result.options.disks.empty()) {
    result.error = "no disk to serve: give at least one --disk N=PATH";
    return result;
  }
  result.action = CommandLine::Action::Serve;
  return result;
}

std::string check_disk_paths(const std::vector<DiskConfig>& disks) {
  for (const auto& disk : disks) {
    struct stat st;
    if (::stat(disk.path.c_str(), &st) != 0) {
      return "disk " + std::to_string(disk.number) + ": " + disk.path + ": " + std::strerror(errno);
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
      return "disk " + std::to_string(disk.number) + ": " + disk.path +
             " is neither a block device nor a regular file";
    }
  }
  return {};
}

std::string format_endpoint(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}
