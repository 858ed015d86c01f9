// The trvs log formats: the fields read back from each kind of line, JSON
// that stays valid whatever bytes a path holds, UTC and zone offsets, and
// the journal's priority prefix.
#include "server/event_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "testing/scoped_environment.h"
#include "server/event_log.h"
#include "server/testing.h"

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

TEST(EventFields, ReadsTheDiskGroupCodeAndFiguresOfEachKindOfLine) {
  EventFields closed = parse_event(
      "disk 1 closed for group 2864823345 (close_device): replicated 301 chunks (315621376 bytes "
      "written), compared 7 (identical 5, different 2), failures 1");
  EXPECT_EQ(closed.event, "disk_closed");
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

  EventFields lost = parse_event(
      "disk -3 closed for group 9 (connection ended): replicated 0 chunks (0 bytes written), "
      "compared 0 (identical 0, different 0), failures 2, not flushed");
  EXPECT_EQ(lost.disk, -3);
  EXPECT_EQ(lost.reason, "connection ended");
  EXPECT_EQ(lost.code, 8);
  EXPECT_EQ(lost.priority, kPriorityError);

  EventFields failure = parse_event(
      "failure 9 (past end): replicate disk 2 group 40173981 offset 1048576: non-zero bytes past "
      "the end");
  EXPECT_EQ(failure.event, "failure");
  EXPECT_EQ(failure.code, 9);
  EXPECT_EQ(failure.code_name, "past end");
  EXPECT_EQ(failure.procedure, "replicate");
  EXPECT_EQ(failure.disk, 2);
  EXPECT_EQ(failure.group, 40173981u);
  ASSERT_EQ(failure.figures.size(), 1u);
  EXPECT_EQ(failure.figures[0].second, 1048576);
  EXPECT_EQ(failure.priority, kPriorityWarning);

  // A procedure name with spaces, and no offset.
  EventFields at_end = parse_event(
      "failure 11 (destination changed): close at connection end disk 1 group 5: file replaced");
  EXPECT_EQ(at_end.procedure, "close at connection end");
  EXPECT_EQ(at_end.priority, kPriorityError);
  EXPECT_TRUE(at_end.figures.empty());

  EventFields opened = parse_event("disk 1 opened by group 7: /srv/a.img, image file of 0 bytes");
  EXPECT_EQ(opened.event, "disk_opened");
  EXPECT_EQ(opened.group, 7u);

  EventFields idle = parse_event("connection from 192.168.1.7:50512 closed: no PDU for 180 s");
  EXPECT_EQ(idle.event, "connection_closed");
  EXPECT_EQ(idle.peer, "192.168.1.7:50512");

  EventFields held = parse_event("failures from 10.0.0.1: 12 lines suppressed");
  EXPECT_EQ(held.event, "failures_suppressed");
  ASSERT_EQ(held.figures.size(), 1u);
  EXPECT_EQ(held.figures[0].second, 12);

  EXPECT_EQ(parse_event("stopped, but a disk could not be flushed").priority, kPriorityError);
  EXPECT_EQ(parse_event("cannot listen on 192.0.2.1:0: in use").event, "listen_failed");
}

TEST(EventFields, ALineOfNoKnownShapeIsAPlainMessage) {
  for (const char* text : {"", "disk", "disk x opened", "failure 9 (past end", "something else"}) {
    SCOPED_TRACE(text);
    const EventFields fields = parse_event(text);
    EXPECT_EQ(fields.event, "message");
    EXPECT_FALSE(fields.disk);
    EXPECT_FALSE(fields.group);
    EXPECT_FALSE(fields.code);
  }
  // A group id beyond 32 bits is not taken for one.
  EXPECT_FALSE(parse_event("disk 1 opened by group 99999999999: x").group);
}

TEST(JsonEvents, AreOneObjectWithUtcTimeAndEveryField) {
  ScopedZone zone("XYZ-2");  // two hours east of UTC: the JSON must not show it
  EXPECT_EQ(
      format_json_event(kMoment,
                        "failure 10 (busy): open_device disk 1 group 4: disk is open by "
                        "group 3"),
      R"({"time":"2026-12-08T10:11:12.345Z","priority":4,"event":"failure","disk":1,)"
      R"("group":4,"code":10,"code_name":"busy","procedure":"open_device","figures":{},)"
      R"("message":"failure 10 (busy): open_device disk 1 group 4: disk is open by group 3"})");
  EXPECT_EQ(format_json_event(kMoment, "stopped"),
            R"({"time":"2026-12-08T10:11:12.345Z","priority":5,"event":"stopped","disk":null,)"
            R"("group":null,"code":null,"figures":{},"message":"stopped"})");
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

  const std::string json = format_json_event(kMoment, "disk 1 opened by group 2: /x\n\"y\xff");
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_NE(json.find(R"("message":"disk 1 opened by group 2: /x\n\"y)" + replacement + "\"}"),
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
  text.write("disk 1: a\nforged line");
  EventLog json(fd_, LogFormat::Json);
  json.write("stopped");
  const std::string lines = written();
  ASSERT_EQ(lines.size() > 0 && lines.back() == '\n', true) << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
  EXPECT_EQ(lines.substr(0, 1), "[");
  EXPECT_NE(lines.find("] disk 1: a\\x0aforged line\n{\"time\":\""), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"message\":\"stopped\"}\n"), std::string::npos) << lines;
}

TEST_F(EventLogTest, TheJournalGetsPrioritiesAndKeepsItsOwnTime) {
  EventLog journal(fd_, LogFormat::Text, true);
  journal.write("listening on 127.0.0.1:4747, disks 1 = /a, allowing every peer");
  journal.write("failure 8 (flush failed): replicate disk 1 group 2: fdatasync: EIO");
  EventLog json(fd_, LogFormat::Json, true);
  json.write("refused connection from 10.1.1.1: not allowed");
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
