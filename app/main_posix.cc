// trvc on Linux: copies a local disk, block for block, to a disk on a remote
// machine.
// The operating system hands Linux programs their arguments as bytes; they
// are decoded as UTF-8 into the wide text the client works in.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "records/records.h"
#include "platform/text.h"
#include "platform/win32.h"

int main(int argc, char** argv) {
  FreeConsole();
  // A reader of the console echo that goes away must not end a copy: the
  // write fails and the stream's state absorbs it, as on Windows.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(from_utf8(argv[i]));
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  const int status = client_main(argc, pointers.data());
#ifdef TRV_TEST_HOOKS
  // A measurement aid for benchmarks, which run the build tree's trvc: how
  // the chunks' digests were grouped into vector passes. An installed trvc
  // takes nothing but its command line.
  if (const char* path = std::getenv("TRV_LANE_STATS"); path != nullptr && *path != '\0') {
    if (std::FILE* out = std::fopen(path, "w")) {
      std::fprintf(out, "%s\n", HashCombiner::describe(chunk_hasher.stats()).c_str());
      std::fclose(out);
    }
  }
#endif
  return status;
}
