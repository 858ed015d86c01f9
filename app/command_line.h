// The first stage of the client's entry point: checks the command line, logs
// the three numeric arguments, chooses the run mode and hands an accepted
// command line to the run step. Main thread only.
#pragma once

#include <cstdint>
#include <string>

// The base-10 parse of a numeric argument, as std::stoi does it: leading
// white space, an optional sign, digits up to the first non-digit. Fails
// (ok false) when no digit is read or the value does not fit 32 signed bits.
struct ParsedArgument {
  bool ok;
  std::int32_t value;
  const wchar_t* problem;  // why it failed; null when ok
};
ParsedArgument parse_numeric_argument(const std::wstring& text);

// The entry point proper: argc counts the program name, argv holds the
// arguments as wide text. Returns the exit code: -1 for a rejected command
// line (after the usage text), otherwise that of the run step (0 or 1).
// A numeric argument that does not parse, and a dest_disk_index outside the
// 16-bit range that the server receives, are rejected with one Error line
// naming the argument and its text; like the start lines, that line goes
// through the logger and so creates the log file.
int client_main(int argc, const wchar_t* const* argv);
