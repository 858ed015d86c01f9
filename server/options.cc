// Parsing of the trvs command line. Numbers are strict decimal: a disk number
// or port that does not fit is refused, never wrapped.
#include "server/options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "server/privileges.h"

const char kTrvsUsage[] =
    "usage: trvs [--listen ADDR:PORT] [--allow ADDR[/PREFIX] | any ...]\n"
    "            --disk N=PATH [--disk N=PATH ...] [--fixed-disk N=PATH ...]\n"
    "            [--verify-disk N=PATH ...] [--max-size N=SIZE ...]\n"
    "            [--max-connections N] [--max-peer-connections N]\n"
    "            [--user NAME[:GROUP]] [--idle-timeout SECONDS] [--ndr20-only]\n"
    "            [--log-format text|json] [--log-digests]\n"
    "            [--digest-map DIR]\n"
    "       trvs --help | --version\n"
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
    "  --verify-disk N=PATH serve PATH read-only: compare as usual, every\n"
    "                       replicate refused with 12 (read-only)\n"
    "  --max-size N=SIZE    an image of disk N grows to SIZE bytes at most\n"
    "                       (suffix K, M, G or T: powers of 1024; default the\n"
    "                       size of its file system, at most 16T)\n"
    "  --allow ADDR[/PREFIX]\n"
    "                       serve only peers in this range (repeatable; IPv4\n"
    "                       or IPv6; \"any\" for every peer); required when\n"
    "                       --listen is not a loopback address\n"
    "  --max-connections N  connections served at once (1..65536, default 512)\n"
    "  --max-peer-connections N\n"
    "                       connections served at once from one address\n"
    "                       (1..65536, default 288)\n"
    "  --user NAME[:GROUP]  once the port and the disks are open, give up root\n"
    "                       for good and run as NAME (and GROUP)\n"
    "  --idle-timeout SECONDS\n"
    "                       close a connection that delivers no complete\n"
    "                       request for SECONDS (1..86400, default 180); a\n"
    "                       group's disks close with its last connection\n"
    "  --ndr20-only         offer only the NDR 2.0 transfer syntax\n"
    "  --log-format FORMAT  the events on standard error: \"text\" lines with\n"
    "                       the local time (default) or \"json\", one object\n"
    "                       per line with the time in UTC\n"
    "  --log-digests        at the stop, log how the digests were hashed\n"
    "                       (for diagnosing hashing performance)\n"
    "  --digest-map DIR     keep the MD5 of each 1 MiB chunk of every image\n"
    "                       served for writing in a file in DIR, so that\n"
    "                       compare answers from it instead of reading the\n"
    "                       image while the image is as trvs left it\n"
    "  --help               show this text\n"
    "  --version            show the version\n";

const char kTrvsHint[] = "Try 'trvs --help' for more information.\n";

// The usage text gives the runtime's defaults as trvs's own.
static_assert(rpc::ServerLimits{}.max_connections == 512);
static_assert(rpc::ServerLimits{}.max_connections_per_peer == 288);
static_assert(rpc::ServerLimits{}.idle_timeout_ms == 180 * 1000);

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
  options->server.address = address;
  options->server.port = number;
  return true;
}

bool parse_idle_timeout(const std::string& text, TrvsOptions* options, std::string* error) {
  int seconds = 0;
  if (!parse_decimal(text, &seconds) || seconds < 1 || seconds > kMaxIdleTimeoutSeconds) {
    *error = "--idle-timeout: the number of seconds must be from 1 to " +
             std::to_string(kMaxIdleTimeoutSeconds) + ", got \"" + text + "\"";
    return false;
  }
  options->server.limits.idle_timeout_ms = seconds * 1000;
  return true;
}

// "N=VALUE" with N a disk number; false with *error naming `option`.
bool parse_numbered(const std::string& option, const std::string& text, const char* what,
                    std::int16_t* number, std::string* value, std::string* error) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals + 1 == text.size()) {
    *error = option + ": expected N=" + what + ", got \"" + text + "\"";
    return false;
  }
  const std::string number_text = text.substr(0, equals);
  if (!parse_decimal(number_text, number)) {
    *error = option + ": the disk number must be from -32768 to 32767, got \"" + number_text + "\"";
    return false;
  }
  *value = text.substr(equals + 1);
  return true;
}

bool parse_count(const std::string& option, const std::string& text, std::size_t* out,
                 std::string* error) {
  std::int64_t count = 0;
  if (!parse_decimal(text, &count) || count < 1 ||
      count > static_cast<std::int64_t>(kMaxConnectionsLimit)) {
    *error = option + ": expected a number from 1 to " + std::to_string(kMaxConnectionsLimit) +
             ", got \"" + text + "\"";
    return false;
  }
  *out = static_cast<std::size_t>(count);
  return true;
}

bool parse_allow(const std::string& text, TrvsOptions* options, std::string* error) {
  rpc::AddressRange range;
  std::string why;
  if (!rpc::parse_address_range(text, &range, &why)) {
    *error = "--allow: " + why;
    return false;
  }
  options->server.allow.push_back(range);
  return true;
}

bool parse_user(const std::string& text, TrvsOptions* options, std::string* error) {
  const auto colon = text.find(':');
  options->user = text.substr(0, colon);
  options->group = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  if (options->user.empty() || (colon != std::string::npos && options->group.empty())) {
    *error = "--user: expected NAME or NAME:GROUP, got \"" + text + "\"";
    return false;
  }
  return true;
}

bool parse_log_format(const std::string& text, TrvsOptions* options, std::string* error) {
  if (text == "text") {
    options->log_format = LogFormat::Text;
  } else if (text == "json") {
    options->log_format = LogFormat::Json;
  } else {
    *error = "--log-format: expected text or json, got \"" + text + "\"";
    return false;
  }
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
  DiskConfig disk{number, text.substr(equals + 1), fixed};
  disk.read_only = option == "--verify-disk";
  options->disks.push_back(std::move(disk));
  return true;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine result;
  // --max-size may come before the disk it names.
  std::vector<std::pair<std::int16_t, std::int64_t>> sizes;
  std::string digest_map_dir;
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
    if (name == "--version" && !has_value) {
      result.action = CommandLine::Action::Version;
      return result;
    }
    if (name == "--ndr20-only" && !has_value) {
      result.options.server.accept_ndr64 = false;
      continue;
    }
    if (name == "--log-digests" && !has_value) {
      result.options.log_digests = true;
      continue;
    }
    if (name == "--listen" || name == "--disk" || name == "--fixed-disk" ||
        name == "--verify-disk" || name == "--idle-timeout" || name == "--max-size" ||
        name == "--allow" || name == "--max-connections" || name == "--max-peer-connections" ||
        name == "--user" || name == "--log-format" || name == "--digest-map") {
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
      } else if (name == "--max-size") {
        std::int16_t number = 0;
        std::string size_text;
        std::int64_t bytes = 0;
        ok = parse_numbered(name, value, "SIZE", &number, &size_text, &result.error);
        if (ok && !parse_size(size_text, &bytes)) {
          result.error =
              "--max-size: expected a size in bytes with an optional K, M, G or T, "
              "got \"" +
              size_text + "\"";
          ok = false;
        }
        if (ok) sizes.emplace_back(number, bytes);
      } else if (name == "--allow") {
        ok = parse_allow(value, &result.options, &result.error);
      } else if (name == "--max-connections") {
        ok = parse_count(name, value, &result.options.server.limits.max_connections, &result.error);
      } else if (name == "--max-peer-connections") {
        ok = parse_count(name, value, &result.options.server.limits.max_connections_per_peer,
                         &result.error);
      } else if (name == "--user") {
        ok = parse_user(value, &result.options, &result.error);
      } else if (name == "--log-format") {
        ok = parse_log_format(value, &result.options, &result.error);
      } else if (name == "--digest-map") {
        ok = !value.empty() && digest_map_dir.empty();
        if (!ok) {
          result.error =
              value.empty() ? "--digest-map: the folder is missing" : "--digest-map: given twice";
        }
        digest_map_dir = value;
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
  for (const auto& [number, bytes] : sizes) {
    auto disk = std::find_if(result.options.disks.begin(), result.options.disks.end(),
                             [number = number](const DiskConfig& d) { return d.number == number; });
    if (disk == result.options.disks.end()) {
      result.error = "--max-size: disk " + std::to_string(number) + " is not served";
      return result;
    }
    if (disk->max_size != 0) {
      result.error = "--max-size: disk " + std::to_string(number) + " is given twice";
      return result;
    }
    disk->max_size = bytes;
  }
  for (auto& disk : result.options.disks) disk.digest_map_dir = digest_map_dir;
  // The protocol has no credentials: beyond loopback the allow list is all
  // that decides who may write the disks, so it must be given.
  if (!is_loopback_address(result.options.server.address) && result.options.server.allow.empty()) {
    result.error = "--listen " + result.options.server.address +
                   " reaches beyond this machine: give the peers to serve with --allow "
                   "ADDR[/PREFIX] (or --allow any)";
    return result;
  }
  result.action = CommandLine::Action::Serve;
  return result;
}

std::string check_disk_paths(const std::vector<DiskConfig>& disks) {
  for (const auto& disk : disks) {
    struct stat st;
    if (disk.digest_map_dir.empty()) continue;
    if (::stat(disk.digest_map_dir.c_str(), &st) != 0) {
      return "--digest-map: " + disk.digest_map_dir + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return "--digest-map: " + disk.digest_map_dir + " is not a folder";
    break;
  }
  for (const auto& disk : disks) {
    struct stat st;
    if (::stat(disk.path.c_str(), &st) != 0) {
      const int error = errno;
      std::string line =
          "disk " + std::to_string(disk.number) + ": " + disk.path + ": " + std::strerror(error);
      // trvs makes no image itself: the administrator chooses its place.
      if (error == ENOENT) {
        line += "; create the image first, e.g. install -o " + effective_user_name() + " -g " +
                effective_group_name() + " -m 0600 /dev/null " + disk.path + " (see trvs(8))";
      }
      return line;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
      return "disk " + std::to_string(disk.number) + ": " + disk.path +
             " is neither a block device nor a regular file";
    }
  }
  return {};
}

bool is_loopback_address(const std::string& address) {
  if (address == "localhost" || address == "::1" || address == "0:0:0:0:0:0:0:1") return true;
  std::string v4 = address;
  for (const char* mapped : {"::ffff:", "::FFFF:"}) {
    if (v4.rfind(mapped, 0) == 0) v4 = v4.substr(std::strlen(mapped));
  }
  rpc::AddressRange range;
  std::string ignored;
  if (v4.find('/') != std::string::npos || !rpc::parse_address_range(v4, &range, &ignored) ||
      range.any || range.family != 4) {
    return false;
  }
  return range.bytes[0] == 127;
}

bool parse_size(const std::string& text, std::int64_t* bytes) {
  if (text.empty()) return false;
  std::string digits = text;
  int shift = 0;
  switch (digits.back()) {
    case 'K':
    case 'k':
      shift = 10;
      break;
    case 'M':
    case 'm':
      shift = 20;
      break;
    case 'G':
    case 'g':
      shift = 30;
      break;
    case 'T':
    case 't':
      shift = 40;
      break;
    default:
      break;
  }
  if (shift != 0) digits.pop_back();
  std::int64_t value = 0;
  const char* last = digits.data() + digits.size();
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return false;
  if (auto [end, error] = std::from_chars(digits.data(), last, value);
      error != std::errc() || end != last || value <= 0) {
    return false;
  }
  if (value > (std::numeric_limits<std::int64_t>::max() >> shift)) return false;
  *bytes = value << shift;
  return true;
}

std::string format_endpoint(const std::string& address, std::uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}
