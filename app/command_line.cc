// Command-line checks of the client's entry point. Every numeric argument is
// checked before it is used: an argument that does not parse, or a
// destination number that the 16-bit wire type would silently truncate to
// another disk's, ends the process with the usage text and -1.
#include "app/command_line.h"

#include <iostream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>

#include "app/run.h"
#include "log/logger.h"

namespace {

void print_usage() {
  std::cout << "Tarvo Utility" << std::endl;
  std::cout << "Client Usage: TRVC.exe server_addr server_port src_disk_index dest_disk_index "
               "bandwidth_limit [incremental_sync | last_incremental_sync] "
            << std::endl;
}

// The three numeric arguments in the order they are parsed and logged. Only
// the destination number is narrower than the parse: the server receives it
// as a 16-bit value.
struct NumericArgument {
  int position;
  const wchar_t* name;
  std::int32_t minimum;
  std::int32_t maximum;
  const wchar_t* range_problem;
};

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

constexpr NumericArgument kNumericArguments[] = {
    {3, L"src_disk_index", kInt32Min, kInt32Max, nullptr},
    {4, L"dest_disk_index", std::numeric_limits<std::int16_t>::min(),
     std::numeric_limits<std::int16_t>::max(), L"outside -32768..32767"},
    {5, L"bandwidth_limit", kInt32Min, kInt32Max, nullptr},
};

}  // namespace

ParsedArgument parse_numeric_argument(const std::wstring& text) {
  try {
    return {true, std::stoi(text), nullptr};
  } catch (const std::invalid_argument&) {
    return {false, 0, L"not a number"};
  } catch (const std::out_of_range&) {
    return {false, 0, L"out of 32-bit range"};
  }
}

int client_main(int argc, const wchar_t* const* argv) {
  if (argc != 6 && argc != 7) {
    print_usage();
    return -1;
  }

  std::int32_t values[std::size(kNumericArguments)] = {};
  for (std::size_t i = 0; i < std::size(kNumericArguments); ++i) {
    const NumericArgument& argument = kNumericArguments[i];
    const std::wstring text = argv[argument.position];
    ParsedArgument parsed = parse_numeric_argument(text);
    if (parsed.ok && (parsed.value < argument.minimum || parsed.value > argument.maximum)) {
      parsed = {false, 0, argument.range_problem};
    }
    if (!parsed.ok) {
      Logger::instance().error(L"Invalid " + std::wstring(argument.name) + L": \"" + text +
                               L"\" (" + parsed.problem + L")");
      print_usage();
      return -1;
    }
    Logger::instance().info(L"start trvc, " + std::wstring(argument.name) + L": " +
                            std::to_wstring(parsed.value));
    values[i] = parsed.value;
  }

  std::wstring mode;
  if (argc == 7) {
    mode = argv[6];
    if (mode != L"incremental_sync" && mode != L"last_incremental_sync") {
      print_usage();
      return -1;
    }
  }
  // values[0] (the source number) is only checked: the device path is built
  // from its text as typed.
  return run_and_teardown({argv[1], argv[2], argv[3], values[1], values[2], mode.c_str()});
}
