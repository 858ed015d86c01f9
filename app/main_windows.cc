// trvc on Windows: copies a local disk, block for block, to a disk on a
// remote machine. Windows hands the program its arguments as UTF-16 text,
// which is the client's wide text as it is (built with -municode).
#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "records/records.h"
#include "platform/win32.h"

int wmain(int argc, wchar_t** argv) {
  FreeConsole();
  const int status = client_main(argc, const_cast<const wchar_t**>(argv));
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
