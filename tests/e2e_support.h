// Shared pieces of the end-to-end tests: a private temporary folder per test,
// disk images, trvc and trvs as real child processes, the client's log read
// back from UTF-16LE, and an in-process replication server whose answers a
// test scripts. Children die with the test process, so a hung or killed test
// leaves no process behind.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/service_server.h"
#include "testing/bytes.h"
#include "testing/child_program.h"
#include "testing/log_reader.h"
#include "testing/temporary_directory.h"
#include "testing/trvc_process.h"
#include "testing/trvs_process.h"

namespace e2e {

// A unit of image sizes in the tests (the chunk itself is kChunkLength).
constexpr std::uint64_t kMiB = 1048576;

// The tests' temporary directory; its devices() folder holds the disk images
// (what TRV_DEVICE_DIR points at), and it is the client's working directory.
using TempDir = trv_testing::TemporaryDirectory;

// Bytes that differ from chunk to chunk and within a chunk, so that a chunk
// written at the wrong offset or a short write shows.
using trv_testing::pattern;
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
// A file of `length` bytes that takes no space (all zero).
void make_sparse_file(const std::filesystem::path& path, std::uint64_t length);
// Writes `bytes` at `offset` into an existing file.
void write_at(const std::filesystem::path& path, std::uint64_t offset,
              const std::vector<std::uint8_t>& bytes);

// The MD5 of a buffer, for checking what the client sent.
using trv_testing::md5_of;

// The client's log, read by the tests' one log reader (testing/log_reader.h).
using trv_testing::count_prefix;
using trv_testing::find_message;
using trv_testing::LogLine;
using trv_testing::messages;
using trv_testing::parse_log;
using trv_testing::parse_progress_line;
using trv_testing::read_log;
using trv_testing::read_log_text;

struct RunResult {
  int exit_code = -1;  // -1 also when the process did not exit normally
  std::string out;
  std::string err;
  std::vector<LogLine> log;
  double seconds = 0;  // wall time of the run
};

// trvc started with `args` in `dir` (its working directory), TRV_DEVICE_DIR
// pointing at dir.devices() and `environment` added, running until wait().
// Its standard output and error go to files in `dir`. A process that was
// never waited for is killed and reaped on destruction.
class TrvcProcess {
 public:
  TrvcProcess(const TempDir& dir, const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& environment = {});
  ~TrvcProcess();
  TrvcProcess(const TrvcProcess&) = delete;
  TrvcProcess& operator=(const TrvcProcess&) = delete;

  // Sends `signal` to the process while it runs.
  void signal(int signal);
  // Whether the process has not exited yet.
  bool running();
  // Waits for the exit and collects the outputs and the log.
  RunResult wait();

 private:
  const TempDir& dir_;
  std::unique_ptr<trv_testing::ChildProgram> program_;
  std::chrono::steady_clock::time_point started_;
};

// Runs trvc as TrvcProcess does and waits for it.
RunResult run_trvc(const TempDir& dir, const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& environment = {});

// trvs as a child process on a free loopback port (testing/trvs_process.h).
using trv_testing::TrvsProcess;

// Polls `done` every 10 ms until it holds; false after a minute. A safety
// net against a hang, never a measurement.
bool eventually(const std::function<bool()>& done);

// A port on 127.0.0.1 with nothing listening (it was free a moment ago).
std::uint16_t unused_port();

// A replication server in the test process. By default it behaves like a
// real server over one in-memory destination disk: it opens and closes any
// disk, stores what replicate sends (checking its digest), and answers
// compare by the stored bytes. Tests change its answers through `script`
// before start(), which publishes it to the server's threads, and read back
// what it saw.
class ScriptedReplicationServer : public ReplicationHandler {
 public:
  struct Script {
    std::int32_t open_result = 107;
    std::int32_t close_result = 108;
    // Keep the replicated bytes (false: answer without storing them).
    bool store = true;
    // Every compare answered with this instead of the real verdict.
    std::optional<std::int32_t> compare_result;
    // Replicate at exactly this offset answered with `replicate_result`, or
    // the connection dropped when that is nullopt.
    std::optional<std::uint64_t> replicate_fault_offset;
    std::optional<std::int32_t> replicate_result;
    // Replicate at this offset answers `slow_result` only after `slow_delay`.
    std::optional<std::uint64_t> slow_offset;
    std::chrono::milliseconds slow_delay{0};
    std::int32_t slow_result = 100;
  };

  ScriptedReplicationServer();
  ~ScriptedReplicationServer() override;

  // Listens on 127.0.0.1 at a free port.
  void start();
  std::uint16_t port() const { return server_.port(); }
  std::string port_text() const { return std::to_string(port()); }

  Script script;

  // What the client did so far (complete once the client has exited).
  int open_calls() const;
  int close_calls() const;
  std::vector<std::int16_t> dests() const;                // of every call, in arrival order
  std::vector<std::uint64_t> replicated_offsets() const;  // sorted
  std::vector<std::uint64_t> compared_offsets() const;    // sorted
  int bad_digests() const;  // replicate calls whose digest was not their data's
  int bad_lengths()
      const;  // calls whose digest or data length was not kDigestLength / kChunkLength
  // The stored destination, zero-extended or cut to `length` bytes.
  std::vector<std::uint8_t> destination(std::uint64_t length) const;
  // Puts bytes on the destination before a run, as an earlier run would.
  void preload(const std::vector<std::uint8_t>& bytes);
  // Whether the slow replicate had been answered when close_device came.
  bool close_came_after_slow_answer() const;

  std::optional<std::int32_t> open_device(const Caller& caller, std::int16_t dest) override;
  std::optional<std::int32_t> replicate(const Caller& caller,
                                        const ReplicateRequest& args) override;
  std::optional<std::int32_t> compare(const Caller& caller, const CompareRequest& args) override;
  std::optional<std::int32_t> close_device(const Caller& caller, std::int16_t dest) override;
  void group_ended(std::uint32_t group) override;

 private:
  ReplicationServer server_;
  mutable std::mutex mutex_;
  int open_calls_ = 0;
  int close_calls_ = 0;
  int bad_digests_ = 0;
  int bad_lengths_ = 0;
  std::vector<std::int16_t> dests_;
  std::vector<std::uint64_t> replicated_;
  std::vector<std::uint64_t> compared_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> chunks_;  // by offset
  bool slow_answered_ = false;
  bool close_after_slow_ = false;
};

}  // namespace e2e
