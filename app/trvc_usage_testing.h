// What the app tests expect of trvc beyond its log: the usage text it
// prints for a refused command line, and shell quoting for the tests that
// start it through a shell. trvc itself is started by testing/trvc_process.h.
// Header-only; tests only; any thread.
#pragma once

#include <string>

namespace trvc_testing {

inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

inline const std::string& usage_text() {
  static const std::string usage =
      "Tarvo Utility\n"
      "Client Usage: TRVC.exe server_addr server_port src_disk_index dest_disk_index "
      "bandwidth_limit [incremental_sync | last_incremental_sync] \n";
  return usage;
}

}  // namespace trvc_testing
