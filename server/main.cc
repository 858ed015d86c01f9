// trvs, the replication server: serves the configured disks to trvc until
// SIGINT or SIGTERM. The main thread parses, starts the RPC server and then
// only waits for the signal; the server's connection threads do the work.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/disk_store.h"
#include "server/event_log.h"
#include "server/options.h"
#include "server/privileges.h"
#include "service/service_server.h"
#include "trv_version.h"

namespace {

// A configuration that cannot be served: one line saying why, and for a
// command line a hint where the usage is (the usage itself would bury the
// line).
int reject(const std::string& error, bool hint = true) {
  // In the journal, the error line is an error; the hint is not.
  const char* level = EventLog::is_journal_stream(STDERR_FILENO) ? "<3>" : "";
  std::fprintf(stderr, "%strvs: %s\n%s", level, error.c_str(), hint ? kTrvsHint : "");
  return 2;
}

std::string describe_disks(const std::vector<DiskConfig>& disks) {
  std::string text;
  for (const auto& disk : disks) {
    if (!text.empty()) text += ", ";
    text += std::to_string(disk.number) + " = " + disk.path;
    if (disk.fixed_size) text += " (fixed size)";
    if (disk.read_only) text += " (read-only)";
    if (disk.max_size > 0) text += " (at most " + std::to_string(disk.max_size) + " bytes)";
  }
  return text;
}

std::string describe_allow(const std::vector<rpc::AddressRange>& allow) {
  if (allow.empty()) return "every peer";
  std::string text;
  for (const auto& range : allow) {
    if (!text.empty()) text += ", ";
    text += rpc::address_range_text(range);
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
  CommandLine command_line = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (command_line.action == CommandLine::Action::Help) {
    std::fputs(kTrvsUsage, stdout);
    std::fputs("\ntrvs " TRV_VERSION "\n", stdout);
    return 0;
  }
  if (command_line.action == CommandLine::Action::Version) {
    std::fputs("trvs " TRV_VERSION "\n", stdout);
    return 0;
  }
  if (command_line.action == CommandLine::Action::Reject) return reject(command_line.error);
  TrvsOptions& options = command_line.options;
  Identity identity;
  if (!options.user.empty()) {
    std::string error;
    if (::geteuid() != 0) {
      return reject("--user: trvs is not running as root, so it has no root to give up");
    }
    if (!resolve_identity(options.user, options.group, &identity, &error)) return reject(error);
  }
  if (const std::string problem = check_disk_paths(options.disks); !problem.empty()) {
    return reject(problem, false);
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

  EventLog log(STDERR_FILENO, options.log_format, EventLog::is_journal_stream(STDERR_FILENO));
  HashCombiner hasher;
  DiskStore store(
      options.disks, [&log](const Event& event) { log.write(event); }, hasher);
  // Every disk is opened now, as who trvs is at start, and kept: a disk that
  // cannot be served stops it here rather than failing the first client.
  if (const Status status = store.open_disks(); !status.is_ok()) {
    return reject("cannot serve " + status.message(), false);
  }

  options.server.on_event = [&log](const rpc::ServerEvent& event) {
    log.write(runtime_event(event));
  };
  ReplicationServer server(options.server);
  if (const rpc::Status status = server.listen(store); !status.is_ok()) {
    log.write(listen_failed_event(format_endpoint(options.server.address, options.server.port),
                                  runtime_reason(status)));
    return 1;
  }
  // The port is bound and the disks are open: root is not needed any more.
  // Nothing has been accepted yet (clients wait in the backlog), so no call
  // ever runs as root.
  if (!options.user.empty()) {
    std::string error;
    if (!drop_privileges(identity, &error)) {
      log.write(root_not_given_up_event(error));
      (void)store.close_all();
      server.stop();
      return 1;
    }
    if (const Status status = store.check_paths(); !status.is_ok()) {
      server.stop();
      return reject("as " + identity.user + ", " + status.message(), false);
    }
    log.write(root_given_up_event(identity.user, identity.uid, identity.gid));
  }
  const std::string endpoint = format_endpoint(options.server.address, server.port());
  // Written before the first connection is accepted, so that it comes before
  // any line about a connection.
  log.write(listening_event(endpoint, !options.server.accept_ndr64, describe_disks(options.disks),
                            describe_allow(options.server.allow)));
  if (const rpc::Status status = server.accept(); !status.is_ok()) {
    log.write(accept_failed_event(runtime_reason(status)));
    (void)store.close_all();
    server.stop();
    return 1;
  }
  // Whoever waits for the port on standard output finds the line above in
  // the log by then.
  std::printf("listening on %s\n", endpoint.c_str());
  std::fflush(stdout);

  // Between signals, the counts of suppressed failure lines are written
  // once their interval is over.
  int signal_number = -1;
  const timespec tick{1, 0};
  while (signal_number != SIGINT && signal_number != SIGTERM) {
    signal_number = sigtimedwait(&stop_signals, nullptr, &tick);
    if (signal_number < 0) store.report_suppressed();
  }
  log.write(stopping_event(signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  // Disks first, so that the exit status tells whether every flush
  // succeeded: a call still running finishes before its disk is closed, and
  // one that comes after is refused. Then the connections go.
  const bool flushed = store.close_all();
  server.stop();
  store.report_suppressed(true);
  if (options.log_digests) log.write(digests_event(store.lane_stats()));
  log.write(stopped_event(flushed));
  return flushed ? 0 : 1;
}
