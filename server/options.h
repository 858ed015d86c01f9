// The command line of trvs: what it listens on and which disks it serves.
// Plain functions without state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dcerpc/server.h"
#include "server/disk_store.h"
#include "server/event_format.h"

// Longest --idle-timeout: a day.
inline constexpr int kMaxIdleTimeoutSeconds = 86400;
// The largest --max-connections and --max-peer-connections taken (each
// connection is a thread and a descriptor). Their defaults are the runtime's.
inline constexpr std::size_t kMaxConnectionsLimit = 65536;

struct TrvsOptions {
  // What the RPC server listens on and whom it serves, handed to it as it
  // is: --listen (address; port 0 = a free port, printed at start),
  // --ndr20-only (accept_ndr64), --allow (empty = every peer, only allowed
  // on loopback), --idle-timeout (limits.idle_timeout_ms, whole seconds),
  // --max-connections and --max-peer-connections. The parser leaves
  // on_event empty; main sets it.
  rpc::ServerOptions server;
  std::vector<DiskConfig> disks;  // distinct numbers, at least one
  // --user NAME[:GROUP]: who trvs becomes once its port and disks are open;
  // empty = it stays who it is.
  std::string user;
  std::string group;
  LogFormat log_format = LogFormat::Text;  // --log-format
  bool log_digests = false;                // --log-digests: the hashing figures at the stop
};

struct CommandLine {
  enum class Action { Serve, Help, Version, Reject };
  Action action = Action::Reject;
  TrvsOptions options;
  std::string error;  // for Reject: what is wrong, naming the argument
};

// `args` excludes the program name.
CommandLine parse_command_line(const std::vector<std::string>& args);

// Checks that every disk's path names an existing block device or regular
// file; returns what is wrong, or an empty text. (DiskStore::open_disks
// checks all the rest when it opens them.)
std::string check_disk_paths(const std::vector<DiskConfig>& disks);

// Whether a --listen address reaches only this machine: 127.0.0.0/8, ::1
// (also as ::ffff:127.x.y.z) or the name "localhost". Any other name counts
// as reaching beyond, whatever it resolves to.
bool is_loopback_address(const std::string& address);

// "1048576", "64K", "2G", "16T": bytes, with powers of 1024; false when the
// text is not such a size, or it is 0 or does not fit.
bool parse_size(const std::string& text, std::int64_t* bytes);

// "127.0.0.1:4747", "[::1]:4747", "localhost:4747".
std::string format_endpoint(const std::string& address, std::uint16_t port);

extern const char kTrvsUsage[];
// The line after a refused command line, in place of the usage.
extern const char kTrvsHint[];
