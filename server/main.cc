// trvs, the replication server: serves the configured disks to trvc until
// SIGINT or SIGTERM. The main thread parses, starts the RPC server and then
// only waits for the signal; the server's connection threads do the work.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rpc/service_server.h"
#include "server/disk_store.h"
#include "server/event_log.h"
#include "server/options.h"

namespace {

int reject(const std::string& error) {
  std::fprintf(stderr, "trvs: %s\n\n%s", error.c_str(), kTrvsUsage);
  return 2;
}

std::string describe_disks(const std::vector<DiskConfig>& disks) {
  std::string text;
  for (const auto& disk : disks) {
    if (!text.empty()) text += ", ";
    text += std::to_string(disk.number) + " = " + disk.path;
    if (disk.fixed_size) text += " (fixed size)";
  }
  return text;
}

// Each connection costs a descriptor and each open disk two; the soft limit
// is often 1024 while the hard one is far higher. When descriptors run out
// anyway, the runtime logs it and keeps retrying.
void raise_descriptor_limit() {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine command_line =
      parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (command_line.action == CommandLine::Action::Help) {
    std::fputs(kTrvsUsage, stdout);
    return 0;
  }
  if (command_line.action == CommandLine::Action::Reject) return reject(command_line.error);
  const TrvsOptions& options = command_line.options;
  if (const std::string problem = check_disk_paths(options.disks); !problem.empty()) {
    return reject(problem);
  }

  // Blocked before any thread exists, so that every thread inherits the mask
  // and the signals reach only the sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();

  EventLog log(STDERR_FILENO);
  DiskStore store(options.disks, [&log](const std::string& line) { log.write(line); });

  ReplicationServerOptions server_options;
  server_options.listen_address = options.listen_address;
  server_options.port = options.port;
  server_options.accept_ndr64 = options.accept_ndr64;
  server_options.limits.idle_timeout_ms = options.idle_timeout_seconds * 1000;
  server_options.on_event = [&log](const std::string& line) { log.write(line); };
  ReplicationServer server(server_options);
  if (const rpc::Status status = server.start(store); !status.ok()) {
    log.write("cannot listen on " + format_endpoint(options.listen_address, options.port) + ": " +
              status.to_string());
    return 1;
  }
  const std::string endpoint = format_endpoint(options.listen_address, server.port());
  std::printf("listening on %s\n", endpoint.c_str());
  std::fflush(stdout);
  log.write("listening on " + endpoint + (options.accept_ndr64 ? "" : " (NDR 2.0 only)") +
            ", disks " + describe_disks(options.disks));

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  log.write(std::string("stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  // Disks first, so that the exit status tells whether every flush
  // succeeded: a call still running finishes before its disk is closed, and
  // one that comes after is refused. Then the connections go.
  const bool flushed = store.close_all();
  server.stop();
  log.write(flushed ? "stopped" : "stopped, but a disk could not be flushed");
  return flushed ? 0 : 1;
}
