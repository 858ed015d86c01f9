// Conformance of the wide-text conversions: surrogate pairs, astral characters,
// and U+FFFD for input that does not convert. Single-threaded.
#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

constexpr wchar_t kFffd = 0xFFFD;

TEST(TextConversion, RoundTripsEveryEncodingLength) {
  const std::wstring text = {L'A', 0xE9, 0x4E2D, 0x1F600, 0x10FFFF};
  const std::string utf8 = to_utf8(text);
  EXPECT_EQ(utf8, bytes({0x41, 0xC3, 0xA9, 0xE4, 0xB8, 0xAD, 0xF0, 0x9F, 0x98, 0x80, 0xF4, 0x8F,
                         0xBF, 0xBF}));
  EXPECT_EQ(from_utf8(utf8), text);
  const std::u16string utf16 = to_utf16(text);
  EXPECT_EQ(utf16, (std::u16string{u'A', 0xE9, 0x4E2D, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
  EXPECT_EQ(from_utf16(utf16), text);
}

TEST(TextConversion, EmbeddedZeroIsKept) {
  const std::wstring text(L"a\0b", 3);
  EXPECT_EQ(to_utf8(text), std::string("a\0b", 3));
  EXPECT_EQ(from_utf8(std::string("a\0b", 3)), text);
  EXPECT_EQ(to_utf16(text).size(), 3u);
}

TEST(TextConversion, UnencodableCodePointsBecomeReplacement) {
  const std::wstring lone_high = {L'x', static_cast<wchar_t>(0xD800), L'y'};
  EXPECT_EQ(to_utf8(lone_high), bytes({'x', 0xEF, 0xBF, 0xBD, 'y'}));
  EXPECT_EQ(to_utf16(lone_high), (std::u16string{u'x', 0xFFFD, u'y'}));
  const std::wstring lone_low = {static_cast<wchar_t>(0xDC00)};
  EXPECT_EQ(to_utf16(lone_low), std::u16string(1, 0xFFFD));
  const std::wstring too_big = {static_cast<wchar_t>(0x110000)};
  EXPECT_EQ(to_utf8(too_big), bytes({0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(to_utf16(too_big), std::u16string(1, 0xFFFD));
  // Reversed pair: two lone surrogates.
  const std::wstring reversed = {static_cast<wchar_t>(0xDE00), static_cast<wchar_t>(0xD83D)};
  EXPECT_EQ(to_utf16(reversed), (std::u16string{0xFFFD, 0xFFFD}));
}

TEST(TextConversion, SurrogatePairInWideTextIsJoined) {
  const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  EXPECT_EQ(to_utf8(pair), bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(to_utf16(pair), (std::u16string{0xD83D, 0xDE00}));
}

TEST(TextConversion, Utf16LoneSurrogatesBecomeReplacement) {
  EXPECT_EQ(from_utf16(std::u16string{u'a', 0xDC00, u'b'}), (std::wstring{L'a', kFffd, L'b'}));
  EXPECT_EQ(from_utf16(std::u16string{0xD800}), std::wstring(1, kFffd));
}

struct Malformed {
  const char* name;
  std::string input;
  std::wstring expected;
};

void PrintTo(const Malformed& m, std::ostream* out) { *out << m.name; }

class MalformedUtf8 : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedUtf8, EachMaximalSubpartBecomesOneReplacement) {
  EXPECT_EQ(from_utf8(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TextConversion, MalformedUtf8,
    ::testing::Values(
        Malformed{"StrayContinuation", bytes({0x80}), {kFffd}},
        Malformed{"TruncatedAtEnd", bytes({'a', 0xE4, 0xB8}), {L'a', kFffd}},
        Malformed{"TruncatedBeforeAscii", bytes({0xE4, 0xB8, 'A'}), {kFffd, L'A'}},
        Malformed{"OverlongTwoByte", bytes({0xC0, 0x80}), {kFffd, kFffd}},
        Malformed{"OverlongThreeByte", bytes({0xE0, 0x80, 0x80}), {kFffd, kFffd, kFffd}},
        Malformed{"EncodedSurrogate", bytes({0xED, 0xA0, 0x80}), {kFffd, kFffd, kFffd}},
        Malformed{"AboveMaximum", bytes({0xF4, 0x90, 0x80, 0x80}), {kFffd, kFffd, kFffd, kFffd}},
        Malformed{"InvalidLead", bytes({0xF5, 'z', 0xFF}), {kFffd, L'z', kFffd}},
        // The example the Unicode standard gives for U+FFFD substitution.
        Malformed{
            "StandardExample",
            bytes({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
            {L'a', kFffd, kFffd, kFffd, L'b', kFffd, L'c', kFffd, kFffd, L'd'}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
