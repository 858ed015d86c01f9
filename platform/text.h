// Conversions between the wide text the client works in (wchar_t, one code
// point per unit on this platform) and UTF-8 and UTF-16. Pure functions; any
// thread may call them.
#pragma once

#include <string>
#include <string_view>

// Code points that cannot be encoded (lone surrogates, values above
// U+10FFFF) become U+FFFD. A high surrogate directly followed by a low one is
// joined into the code point they stand for.
std::string to_utf8(std::wstring_view text);

// Bytes that do not form well-formed UTF-8 become U+FFFD, one per maximal
// ill-formed subsequence (overlong forms, encoded surrogates and values above
// U+10FFFF are ill-formed).
std::wstring from_utf8(std::string_view text);

// Exact UTF-16 code units: code points above U+FFFF become surrogate pairs;
// code points that cannot be encoded become U+FFFD.
std::u16string to_utf16(std::wstring_view text);

// The reverse of to_utf16; unpaired surrogates become U+FFFD.
std::wstring from_utf16(std::u16string_view text);
