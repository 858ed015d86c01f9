// The trvs events: the text and fields of each kind of record, JSON that
// stays valid whatever bytes a path holds, UTC and zone offsets, and the
// journal's priority prefix.
#include "server/event_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "server/event_log.h"
#include "server/events.h"
#include "server/status.h"
#include "server/testing.h"
#include "testing/scoped_environment.h"

namespace {

using trv_testing::ScopedEnvironment;

// 2026-12-08 10:11:12.345 UTC.
constexpr timeval kMoment{1796724672, 345678};

// Sets TZ for its lifetime.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) : zone_("TZ", zone) { ::tzset(); }
  ~ScopedZone() { ::tzset(); }

 private:
  ScopedEnvironment zone_;
};

TEST(EventRecords, CarryTheFieldsOfTheLineTheyWrite) {
  OpenCounts counts;
  counts.replicated = 301;
  counts.bytes_written = 315621376;
  counts.identical = 5;
  counts.different = 2;
  counts.failures = 1;
  const Event closed = disk_closed_event(1, 2864823345u, "close_device", counts, 0);
  EXPECT_EQ(closed.text,
            "disk 1 closed for group 2864823345 (close_device): replicated 301 chunks (315621376 "
            "bytes written), compared 7 (identical 5, different 2), failures 1");
  EXPECT_EQ(closed.kind, "disk_closed");
  EXPECT_EQ(closed.disk, 1);
  EXPECT_EQ(closed.group, 2864823345u);
  EXPECT_EQ(closed.reason, "close_device");
  EXPECT_FALSE(closed.code);
  EXPECT_EQ(closed.priority, kPriorityInfo);
  const std::vector<std::pair<std::string, std::int64_t>> figures = {
      {"replicated", 301}, {"bytes_written", 315621376},
      {"compared", 7},     {"identical", 5},
      {"different", 2},    {"failures", 1}};
  EXPECT_EQ(closed.figures, figures);

  // Whatever stuck first, a close that failed lost the open's durability;
  // only a changed destination is told apart.
  for (const std::int32_t ending : {FlushFailed, OutOfMemory, NoSpace}) {
    const Event lost = disk_closed_event(-3, 9, "connection ended", OpenCounts{}, ending);
    EXPECT_EQ(lost.text,
              "disk -3 closed for group 9 (connection ended): replicated 0 chunks (0 bytes "
              "written), compared 0 (identical 0, different 0), failures 0, not flushed");
    EXPECT_EQ(lost.code, 8);
    EXPECT_EQ(lost.code_name, "flush failed");
    EXPECT_EQ(lost.priority, kPriorityError);
  }
  const Event changed = disk_closed_event(1, 9, "shutdown", OpenCounts{}, DestinationChanged);
  EXPECT_TRUE(changed.text.ends_with("failures 0, destination changed")) << changed.text;
  EXPECT_EQ(changed.code, 11);

  const Event failure =
      failure_event(PastEnd, "replicate", 2, 40173981, 1048576, "non-zero bytes past the end");
  EXPECT_EQ(failure.text,
            "failure 9 (past end): replicate disk 2 group 40173981 offset 1048576: non-zero "
            "bytes past the end");
  EXPECT_EQ(failure.kind, "failure");
  EXPECT_EQ(failure.code, 9);
  EXPECT_EQ(failure.code_name, "past end");
  EXPECT_EQ(failure.procedure, "replicate");
  EXPECT_EQ(failure.disk, 2);
  EXPECT_EQ(failure.group, 40173981u);
  EXPECT_EQ(failure.figures,
            (std::vector<std::pair<std::string, std::int64_t>>{{"offset", 1048576}}));
  EXPECT_EQ(failure.priority, kPriorityWarning);

  const Event at_end =
      failure_event(DestinationChanged, "close at connection end", 1, 5, {}, "file replaced");
  EXPECT_EQ(at_end.text,
            "failure 11 (destination changed): close at connection end disk 1 group 5: file "
            "replaced");
  EXPECT_EQ(at_end.priority, kPriorityError);
  EXPECT_TRUE(at_end.figures.empty());
  // A full file system stops every run until someone acts.
  EXPECT_EQ(failure_event(NoSpace, "replicate", 1, 5, 0, "x").priority, kPriorityError);
  EXPECT_EQ(failure_event(NoSpace, "replicate", 1, 5, 0, "x").code_name, "no space");

  const Event opened = disk_opened_event(1, 7, "/srv/a.img", "image file of 0 bytes");
  EXPECT_EQ(opened.text, "disk 1 opened by group 7: /srv/a.img, image file of 0 bytes");
  EXPECT_EQ(opened.kind, "disk_opened");
  EXPECT_EQ(opened.group, 7u);
  EXPECT_EQ(disk_already_open_event(1, 7).text, "disk 1 already open by group 7");

  const Event moved = destination_changed_event(3, 8, "/srv/a.img was removed");
  EXPECT_EQ(moved.text,
            "disk 3: destination changed under group 8: /srv/a.img was removed; this open fails "
            "from now on");
  EXPECT_EQ(moved.code, 11);
  EXPECT_EQ(moved.priority, kPriorityError);
  const Event notice = disk_notice_event(3, "cannot zero ranges (x), writing zero chunks");
  EXPECT_EQ(notice.text, "disk 3: cannot zero ranges (x), writing zero chunks");
  EXPECT_EQ(notice.priority, kPriorityNotice);

  const Event held = failures_suppressed_event("10.0.0.1", 12);
  EXPECT_EQ(held.text, "failures from 10.0.0.1: 12 lines suppressed");
  EXPECT_EQ(held.kind, "failures_suppressed");
  EXPECT_EQ(held.peer, "10.0.0.1");
  EXPECT_EQ(held.figures, (std::vector<std::pair<std::string, std::int64_t>>{{"suppressed", 12}}));
  EXPECT_EQ(failures_suppressing_event("10.0.0.1", 10, 10).text,
            "failures from 10.0.0.1: more than 10 lines in 10 s, suppressing the rest of them");

  EXPECT_EQ(stopped_event(true).priority, kPriorityNotice);
  EXPECT_EQ(stopped_event(false).text, "stopped, but a disk could not be flushed");
  EXPECT_EQ(stopped_event(false).priority, kPriorityError);
  EXPECT_EQ(listening_event("[::1]:4747", true, "1 = /a", "every peer").text,
            "listening on [::1]:4747 (NDR 2.0 only), disks 1 = /a, allowing every peer");
  EXPECT_EQ(root_given_up_event("nobody", 65534, 65534).text,
            "running as nobody (uid 65534, gid 65534); root given up");
}

TEST(EventRecords, TellTheSystemsReasonWithoutRuntimeStatusNumbers) {
  const rpc::Status in_use = rpc::Status::failure(1722, "listen 127.0.0.1:4747", EADDRINUSE);
  const Event listen = listen_failed_event("127.0.0.1:4747", runtime_reason(in_use));
  EXPECT_EQ(listen.text, "cannot listen on 127.0.0.1:4747: Address already in use");
  EXPECT_EQ(listen.kind, "listen_failed");
  EXPECT_EQ(listen.priority, kPriorityError);
  // Without a system error, the runtime's own words.
  EXPECT_EQ(runtime_reason(rpc::Status::failure(1722, "resolve nowhere: Name unknown")),
            "resolve nowhere: Name unknown");

  // The runtime's events keep their text and gain their kind and fields.
  rpc::ServerEvent bind;
  bind.kind = rpc::ServerEvent::Kind::BindRefused;
  bind.peer = "192.168.1.7:50512";
  bind.group = 77;
  bind.text = "refused bind from 192.168.1.7:50512: association group 77 does not exist";
  const Event refused = runtime_event(bind);
  EXPECT_EQ(refused.kind, "bind_refused");
  EXPECT_EQ(refused.peer, "192.168.1.7:50512");
  EXPECT_EQ(refused.group, 77u);
  EXPECT_EQ(refused.text, bind.text);
  EXPECT_EQ(refused.priority, kPriorityWarning);
  const struct {
    rpc::ServerEvent::Kind kind;
    const char* name;
    int priority;
  } kinds[] = {{rpc::ServerEvent::Kind::ConnectionClosed, "connection_closed", kPriorityNotice},
               {rpc::ServerEvent::Kind::ConnectionRefused, "connection_refused", kPriorityWarning},
               {rpc::ServerEvent::Kind::AcceptFailed, "accept_failed", kPriorityError},
               {rpc::ServerEvent::Kind::AcceptingAgain, "accepting_again", kPriorityNotice}};
  for (const auto& expected : kinds) {
    rpc::ServerEvent event;
    event.kind = expected.kind;
    const Event written = runtime_event(event);
    EXPECT_EQ(written.kind, expected.name);
    EXPECT_EQ(written.priority, expected.priority) << expected.name;
    EXPECT_FALSE(written.group) << expected.name;
  }
}

TEST(JsonEvents, AreOneObjectWithUtcTimeAndEveryField) {
  ScopedZone zone("XYZ-2");  // two hours east of UTC: the JSON must not show it
  EXPECT_EQ(
      format_json_event(kMoment,
                        failure_event(Busy, "open_device", 1, 4, {}, "disk is open by group 3")),
      R"({"time":"2026-12-08T10:11:12.345Z","priority":4,"event":"failure","disk":1,)"
      R"("group":4,"code":10,"code_name":"busy","procedure":"open_device","figures":{},)"
      R"("message":"failure 10 (busy): open_device disk 1 group 4: disk is open by group 3"})");
  EXPECT_EQ(format_json_event(kMoment, stopped_event(true)),
            R"({"time":"2026-12-08T10:11:12.345Z","priority":5,"event":"stopped","disk":null,)"
            R"("group":null,"code":null,"figures":{},"message":"stopped"})");
  OpenCounts counts;
  counts.replicated = 3;
  counts.bytes_written = 3145728;
  const Event closed = disk_closed_event(1, 7, "close_device", counts, 0);
  EXPECT_EQ(format_json_event(kMoment, closed),
            R"({"time":"2026-12-08T10:11:12.345Z","priority":6,"event":"disk_closed","disk":1,)"
            R"("group":7,"code":null,"reason":"close_device","figures":{"replicated":3,)"
            R"("bytes_written":3145728,"compared":0,"identical":0,"different":0,"failures":0},)"
            R"("message":")" +
                closed.text + R"("})");
  EXPECT_EQ(format_json_event(kMoment, failures_suppressed_event("::1", 4)),
            R"({"time":"2026-12-08T10:11:12.345Z","priority":4,"event":"failures_suppressed",)"
            R"("disk":null,"group":null,"code":null,"peer":"::1","figures":{"suppressed":4},)"
            R"("message":"failures from ::1: 4 lines suppressed"})");
}

TEST(JsonEvents, EscapeAnyBytesAPathMayHold) {
  EXPECT_EQ(json_escape(R"(/srv/"a"\b.img)"), R"(/srv/\"a\"\\b.img)");
  EXPECT_EQ(json_escape("line\nend\ttab\r\x01\x1f\x7f"), R"(line\nend\ttab\r\u0001\u001f\u007f)");
  EXPECT_EQ(json_escape("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe");  // UTF-8 passes as it is
  // Bytes that are not UTF-8 become U+FFFD, one per byte: a lone
  // continuation byte, a cut sequence, an overlong form, a surrogate.
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(json_escape("a\x80z"), "a" + replacement + "z");
  EXPECT_EQ(json_escape("a\xe2\x82"), "a" + replacement + replacement);
  EXPECT_EQ(json_escape("\xc0\xaf"), replacement + replacement);
  EXPECT_EQ(json_escape("\xed\xa0\x80"), replacement + replacement + replacement);
  EXPECT_EQ(json_escape(std::string("nul\0byte", 8)), R"(nul\u0000byte)");

  const std::string json =
      format_json_event(kMoment, disk_opened_event(1, 2, "/x\n\"y\xff", "image file of 0 bytes"));
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_NE(json.find(R"("message":"disk 1 opened by group 2: /x\n\"y)" + replacement +
                      ", image file of 0 bytes\"}"),
            std::string::npos)
      << json;
}

TEST(TextEvents, CarryTheirZoneOffset) {
  {
    ScopedZone zone("UTC0");
    EXPECT_EQ(text_time_prefix(kMoment), "[2026-12-08 10:11:12.345 +0000] ");
  }
  {
    ScopedZone zone("XYZ-5:30");
    EXPECT_EQ(text_time_prefix(kMoment), "[2026-12-08 15:41:12.345 +0530] ");
  }
  {
    ScopedZone zone("XYZ3");
    EXPECT_EQ(text_time_prefix(kMoment), "[2026-12-08 07:11:12.345 -0300] ");
    EXPECT_EQ(utc_timestamp(kMoment), "2026-12-08T10:11:12.345Z");
  }
  EXPECT_EQ(escape_controls("/srv/a\nb\x1b[1m.img"), "/srv/a\\x0ab\\x1b[1m.img");
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    path_ = (scratch_.path() / "log").string();
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { ::close(fd_); }
  std::string written() {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string stream_of(int fd) {
    struct stat st;
    EXPECT_EQ(::fstat(fd, &st), 0);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

  trvs_testing::ScratchDir scratch_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(EventLogTest, WritesOneLineInEachFormat) {
  EventLog text(fd_);
  text.write(disk_notice_event(1, "a\nforged line"));
  EventLog json(fd_, LogFormat::Json);
  json.write(stopped_event(true));
  const std::string lines = written();
  ASSERT_EQ(lines.size() > 0 && lines.back() == '\n', true) << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
  EXPECT_EQ(lines.substr(0, 1), "[");
  EXPECT_NE(lines.find("] disk 1: a\\x0aforged line\n{\"time\":\""), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"message\":\"stopped\"}\n"), std::string::npos) << lines;
}

TEST_F(EventLogTest, TheJournalGetsPrioritiesAndKeepsItsOwnTime) {
  EventLog journal(fd_, LogFormat::Text, true);
  journal.write(listening_event("127.0.0.1:4747", false, "1 = /a", "every peer"));
  journal.write(failure_event(FlushFailed, "replicate", 1, 2, {}, "fdatasync: EIO"));
  EventLog json(fd_, LogFormat::Json, true);
  rpc::ServerEvent refused;
  refused.kind = rpc::ServerEvent::Kind::ConnectionRefused;
  refused.text = "refused connection from 10.1.1.1: not allowed";
  json.write(runtime_event(refused));
  const std::string lines = written();
  EXPECT_EQ(lines.rfind("<6>listening on 127.0.0.1:4747", 0), 0u) << lines;
  EXPECT_NE(lines.find("\n<3>failure 8 (flush failed)"), std::string::npos) << lines;
  EXPECT_NE(lines.find("\n<4>{\"time\":"), std::string::npos) << lines;
}

TEST_F(EventLogTest, KnowsTheJournalStreamByItsDeviceAndInode) {
  {
    ScopedEnvironment stream("JOURNAL_STREAM", stream_of(fd_));
    EXPECT_TRUE(EventLog::is_journal_stream(fd_));
    int other = ::open(scratch_.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_FALSE(EventLog::is_journal_stream(other));  // a descriptor systemd did not set up
    ::close(other);
  }
  for (const std::string& value : {std::string(), std::string("garbage"), stream_of(fd_) + "x"}) {
    ScopedEnvironment stream("JOURNAL_STREAM", value);
    EXPECT_FALSE(EventLog::is_journal_stream(fd_)) << value;
  }
}

}  // namespace
