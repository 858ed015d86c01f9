// The command line of trvc, run as a real process: argument counts, the
// numeric parse and its start lines, the mode keyword, the usage text and
// the exit status. The device folder is empty, so an accepted command line
// fails its run at the source disk (exit status 1) before any connection.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/trvc_usage_testing.h"
#include "platform/text.h"
#include "testing/log_reader.h"
#include "testing/trvc_process.h"

namespace {

namespace fs = std::filesystem;
using trv_testing::ProcessResult;
using trvc_testing::usage_text;
using Texts = std::vector<std::wstring>;
using Args = std::vector<std::string>;

TEST(ParseNumericArgument, ReadsLikeTheStandardIntegerParse) {
  struct Case {
    std::wstring text;
    std::int32_t value;
  };
  for (const Case& c : std::vector<Case>{{L"0", 0},
                                         {L"007", 7},
                                         {L"-0", 0},
                                         {L"+12", 12},
                                         {L" \t\n42", 42},
                                         {L"3abc", 3},
                                         {L"-512 KB", -512},
                                         {L"1e9", 1},
                                         {L"0x1F", 0},
                                         {L"2147483647", 2147483647},
                                         {L"-2147483648", -2147483647 - 1}}) {
    const ParsedArgument parsed = parse_numeric_argument(c.text);
    EXPECT_TRUE(parsed.ok) << c.value;
    EXPECT_EQ(parsed.value, c.value);
  }
}

TEST(ParseNumericArgument, RefusesTextWithoutDigitsAndValuesBeyond32Bits) {
  for (const std::wstring text : {L"", L" ", L"-", L"+-1", L"abc", L"x1"}) {
    const ParsedArgument parsed = parse_numeric_argument(text);
    EXPECT_FALSE(parsed.ok) << to_utf8(text);
    EXPECT_STREQ(parsed.problem, L"not a number") << to_utf8(text);
  }
  for (const std::wstring text :
       {L"2147483648", L"-2147483649", L"99999999999999999999999999", L"4294967296"}) {
    const ParsedArgument parsed = parse_numeric_argument(text);
    EXPECT_FALSE(parsed.ok);
    EXPECT_STREQ(parsed.problem, L"out of 32-bit range");
  }
}

// Whether a decimal digit of another script counts is the C runtime's
// choice: glibc's integer parse reads only 0-9; msvcrt's, which trvc.exe
// links (seen under Wine), reads the Arabic-Indic digit one (U+0661) as 1.
TEST(ParseNumericArgument, ADigitOfAnotherScriptIsTheRuntimesChoice) {
  const ParsedArgument parsed = parse_numeric_argument(L"\u0661");
#ifdef _WIN32
  EXPECT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.value, 1);
#else
  EXPECT_FALSE(parsed.ok);
  EXPECT_STREQ(parsed.problem, L"not a number");
#endif
}

class CommandLineTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(work());
    fs::create_directory(devices());
  }

  fs::path work() const { return root_.path() / "work"; }
  fs::path devices() const { return root_.path() / "devices"; }
  fs::path log_path() const { return work() / "TRV.log"; }

  ProcessResult run(const Args& arguments) {
    fs::remove(log_path());
    return trv_testing::run_trvc(work(), root_.path(), arguments,
                                 {{"TRV_DEVICE_DIR", devices().string()}});
  }

  Texts file_lines() const { return trv_testing::file_lines(trv_testing::read_bytes(log_path())); }
  Texts logged(const std::wstring& tag) const { return trv_testing::messages(file_lines(), tag); }

  static Texts start_lines(const std::wstring& src, const std::wstring& dest,
                           const std::wstring& bandwidth) {
    return {L"start trvc, src_disk_index: " + src, L"start trvc, dest_disk_index: " + dest,
            L"start trvc, bandwidth_limit: " + bandwidth};
  }

  // An accepted command line reaches the run step, which fails here for
  // want of a disk: no usage text, exit status 1.
  void expect_accepted(const Args& arguments, const Texts& start) {
    const ProcessResult result = run(arguments);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out.find("Tarvo Utility"), std::string::npos);
    const Texts info = logged(L"INFO");
    ASSERT_GE(info.size(), 3u);
    EXPECT_EQ(Texts(info.begin(), info.begin() + 3), start);
  }

  // A rejected command line: usage text last on standard output, -1.
  void expect_rejected(const ProcessResult& result) {
    EXPECT_EQ(result.status, 255);
    ASSERT_GE(result.out.size(), usage_text().size());
    EXPECT_EQ(result.out.substr(result.out.size() - usage_text().size()), usage_text());
  }

 private:
  trv_testing::TemporaryDirectory root_;
};

TEST_F(CommandLineTest, WrongArgumentCountPrintsOnlyTheUsageAndLogsNothing) {
  for (const Args& arguments :
       {Args{}, Args{"127.0.0.1"}, Args{"127.0.0.1", "9", "7", "3"},
        Args{"127.0.0.1", "9", "7", "3", "0", "incremental_sync", "extra"},
        Args{"127.0.0.1", "9", "7", "3", "0", "incremental_sync", "extra", "more"}}) {
    const ProcessResult result = run(arguments);
    EXPECT_EQ(result.status, 255) << arguments.size();
    EXPECT_EQ(result.out, usage_text());
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(log_path()));
  }
}

TEST_F(CommandLineTest, UsagePathLeavesAnEarlierLogUntouched) {
  trv_testing::write_bytes(log_path(), "an earlier run");
  const ProcessResult result =
      trv_testing::run_trvc(work(), work().parent_path(), {"127.0.0.1", "9"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(trv_testing::read_bytes(log_path()), "an earlier run");
}

TEST_F(CommandLineTest, FullCopyLineIsAcceptedAfterItsThreeStartLines) {
  expect_accepted({"127.0.0.1", "9", "7", "3", "0"}, start_lines(L"7", L"3", L"0"));
  // The start lines are echoed, whole, to standard output in file order.
  const ProcessResult result = run({"127.0.0.1", "9", "7", "3", "0"});
  const Texts console = trv_testing::console_lines(result.out);
  const Texts file = file_lines();
  ASSERT_GE(console.size(), 3u);
  ASSERT_GE(file.size(), 3u);
  EXPECT_EQ(Texts(console.begin(), console.begin() + 3), Texts(file.begin(), file.begin() + 3));
}

TEST_F(CommandLineTest, BothKeywordsAreAccepted) {
  expect_accepted({"127.0.0.1", "9", "1", "2", "100", "incremental_sync"},
                  start_lines(L"1", L"2", L"100"));
  expect_accepted({"127.0.0.1", "9", "1", "2", "100", "last_incremental_sync"},
                  start_lines(L"1", L"2", L"100"));
}

TEST_F(CommandLineTest, KeywordVariantsAreRejectedAfterTheStartLines) {
  for (const std::string keyword :
       {"Incremental_sync", "incremental_sync ", " incremental_sync", "", "INCREMENTAL_SYNC",
        "incremental", "last_incremental_syncx", "full"}) {
    const ProcessResult result = run({"127.0.0.1", "9", "4", "5", "-1", keyword});
    expect_rejected(result);
    EXPECT_EQ(file_lines().size(), 3u) << keyword;
    EXPECT_EQ(logged(L"INFO"), start_lines(L"4", L"5", L"-1")) << keyword;
    // Standard output: the three echoed start lines, then the usage text.
    const Texts console = trv_testing::console_lines(result.out);
    ASSERT_EQ(console.size(), 5u);
    EXPECT_EQ(Texts(console.begin(), console.begin() + 3), file_lines());
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandLineTest, StartLinesShowTheParsedNumbers) {
  // Leading zeros, signs, white space and trailing text: the start line
  // shows the number; the run still gets the text as typed.
  expect_accepted({"127.0.0.1", "9", "007", "+0012", "-512"}, start_lines(L"7", L"12", L"-512"));
  expect_accepted({"127.0.0.1", "9", "3abc", " \t8", "-0"}, start_lines(L"3", L"8", L"0"));
  expect_accepted({"127.0.0.1", "9", "2147483647", "32767", "-2147483648"},
                  start_lines(L"2147483647", L"32767", L"-2147483648"));
  expect_accepted({"127.0.0.1", "9", "-1", "-32768", "2147483647"},
                  start_lines(L"-1", L"-32768", L"2147483647"));
}

TEST_F(CommandLineTest, DestinationOutsideSixteenBitsIsRejected) {
  for (const std::string dest : {"32768", "65535", "65536", "70000", "-32769"}) {
    const ProcessResult result = run({"127.0.0.1", "9", "1", dest, "0"});
    expect_rejected(result);
    EXPECT_EQ(logged(L"INFO"), Texts{L"start trvc, src_disk_index: 1"}) << dest;
    const std::wstring error =
        L"Invalid dest_disk_index: \"" + from_utf8(dest) + L"\" (outside -32768..32767)";
    EXPECT_EQ(logged(L"ERROR"), Texts{error});
    EXPECT_NE(result.err.find(to_utf8(error) + "\n"), std::string::npos);
  }
}

TEST_F(CommandLineTest, ArgumentWithoutDigitsIsRejectedWithItsName) {
  ProcessResult result = run({"127.0.0.1", "9", "abc", "1", "0"});
  expect_rejected(result);
  EXPECT_EQ(result.out, usage_text());
  EXPECT_EQ(file_lines().size(), 1u);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Invalid src_disk_index: \"abc\" (not a number)"});

  result = run({"127.0.0.1", "9", "1", "2", ""});
  expect_rejected(result);
  EXPECT_EQ(logged(L"INFO"),
            (Texts{L"start trvc, src_disk_index: 1", L"start trvc, dest_disk_index: 2"}));
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Invalid bandwidth_limit: \"\" (not a number)"});

  result = run({"127.0.0.1", "9", "1", "-", "0", "incremental_sync"});
  expect_rejected(result);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Invalid dest_disk_index: \"-\" (not a number)"});
}

TEST_F(CommandLineTest, ArgumentBeyondThirtyTwoBitsIsRejectedWithItsName) {
  ProcessResult result = run({"127.0.0.1", "9", "1", "2", "2147483648"});
  expect_rejected(result);
  EXPECT_EQ(logged(L"INFO").size(), 2u);
  EXPECT_EQ(logged(L"ERROR"),
            Texts{L"Invalid bandwidth_limit: \"2147483648\" (out of 32-bit range)"});

  result = run({"127.0.0.1", "9", "-99999999999999999999", "2", "0"});
  expect_rejected(result);
  EXPECT_TRUE(logged(L"INFO").empty());
  EXPECT_EQ(logged(L"ERROR"),
            Texts{L"Invalid src_disk_index: \"-99999999999999999999\" (out of 32-bit range)"});
}

TEST_F(CommandLineTest, ArgumentTextThatIsNotAsciiIsReportedExactly) {
  // A character beyond the basic plane, and a byte that is not UTF-8.
  ProcessResult result = run({"127.0.0.1", "9", "\xF0\x9F\x98\x80", "2", "0"});
  expect_rejected(result);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Invalid src_disk_index: \"\U0001F600\" (not a number)"});
  EXPECT_NE(result.err.find("\"\xF0\x9F\x98\x80\""), std::string::npos);
  EXPECT_NE(trv_testing::read_bytes(log_path()).find(std::string("\"\x00\x3D\xD8\x00\xDE\"", 7)),
            std::string::npos);

  result = run({"127.0.0.1", "9", "1", "\xFF", "0"});
  expect_rejected(result);
  EXPECT_EQ(logged(L"ERROR"), Texts{L"Invalid dest_disk_index: \"\uFFFD\" (not a number)"});
  EXPECT_NE(result.err.find("\"\xEF\xBF\xBD\""), std::string::npos);
}

}  // namespace
