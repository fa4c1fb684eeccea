// Conversions between the two text forms the audio units carry: 8-bit text (UTF-8, the
// system's code page on Linux) in std::string and UTF-16 text in std::u16string.
//
// Both conversions never fail: a malformed UTF-8 sequence (stray continuation byte, truncated
// sequence, overlong form, surrogate code point, value above U+10FFFF) and an unpaired UTF-16
// surrogate each become U+FFFD, so foreign text read from streams and files cannot stop a
// component. Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to UTF-16.
std::u16string Utf8ToUtf16(std::string_view Text);
// UTF-16 to UTF-8.
std::string Utf16ToUtf8(std::u16string_view Text);
