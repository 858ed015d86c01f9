// The wide-text conversions where they must agree whatever the width of
// wchar_t: 32 bits on Linux (code points), 16 bits on Windows (UTF-16). Built
// for both; text_test.cc covers the Linux representation in detail.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// U+0041, U+00E9, U+4E2D, U+1F600 (outside the first plane), U+10FFFF.
const std::string kUtf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
const std::u16string kUtf16 = {u'A', 0xE9, 0x4E2D, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF};

TEST(TextRoundTrip, EveryEncodingLengthSurvivesBothWays) {
  const std::wstring from8 = from_utf8(kUtf8);
  const std::wstring from16 = from_utf16(kUtf16);
  EXPECT_EQ(from8, from16);
  // One unit per code point, or a surrogate pair for each beyond U+FFFF.
  EXPECT_EQ(from8.size(), sizeof(wchar_t) == 2 ? 7u : 5u);
  EXPECT_EQ(to_utf8(from8), kUtf8);
  EXPECT_EQ(to_utf16(from8), kUtf16);
}

TEST(TextRoundTrip, BrokenInputBecomesReplacementCharacters) {
  // A lone high surrogate, then a truncated four-byte sequence.
  EXPECT_EQ(to_utf8(from_utf16(std::u16string{0xD800, u'x'})), "\xEF\xBF\xBDx");
  EXPECT_EQ(to_utf16(from_utf8("\xF0\x9F\x98")), std::u16string{0xFFFD});
  EXPECT_EQ(to_utf8(from_utf8("\xED\xA0\x80")), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
