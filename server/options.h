// The command line of trvs: what it listens on and which disks it serves.
// Plain functions without state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/disk_store.h"

inline constexpr int kDefaultIdleTimeoutSeconds = 180;
// Longest --idle-timeout: a day.
inline constexpr int kMaxIdleTimeoutSeconds = 86400;

struct TrvsOptions {
  std::string listen_address = "127.0.0.1";
  std::uint16_t port = 0;  // 0 = a free port, printed at start
  bool accept_ndr64 = true;
  // A connection that delivers no complete PDU for this long is closed.
  int idle_timeout_seconds = kDefaultIdleTimeoutSeconds;
  std::vector<DiskConfig> disks;  // distinct numbers, at least one
};

struct CommandLine {
  enum class Action { Serve, Help, Reject };
  Action action = Action::Reject;
  TrvsOptions options;
  std::string error;  // for Reject: what is wrong, naming the argument
};

// `args` excludes the program name.
CommandLine parse_command_line(const std::vector<std::string>& args);

// Checks that every disk's path names an existing block device or regular
// file; returns what is wrong, or an empty text.
std::string check_disk_paths(const std::vector<DiskConfig>& disks);

// "127.0.0.1:4747", "[::1]:4747", "localhost:4747".
std::string format_endpoint(const std::string& address, std::uint16_t port);

extern const char kTrvsUsage[];
