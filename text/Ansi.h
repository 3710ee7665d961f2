// The one place where wide text (UTF-16) and 8-bit text meet.
//
// 8-bit text is in the system's ANSI code page, which here is Windows-1252.
// The five bytes 1252 leaves undefined (81 8D 8F 90 9D) widen to the C1
// control of the same number and narrow back, so widening then narrowing
// returns every byte unchanged. A character the code page cannot hold
// narrows to "?", its default character.
#pragma once

#include <string>
#include <string_view>

namespace ansi {

// One byte of the ANSI code page as a UTF-16 unit.
char16_t widenByte(unsigned char byte) noexcept;

// One UTF-16 unit as a byte of the ANSI code page; false (and "?") when the
// code page has no such character.
bool narrowUnit(char16_t unit, char& out) noexcept;

std::u16string widen(std::string_view bytes);
std::string narrow(std::u16string_view text);

// Appends a code point (at most U+10FFFF) as one unit or a surrogate pair.
inline void appendCodePoint(std::u16string& out, char32_t code)
{
    if (code >= 0x10000) {
        code -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (code >> 10));
        out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
        out += static_cast<char16_t>(code);
    }
}

// UTF-8, for the boundaries that speak it (test output, the desktop toolkit).
std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view text);

// Case mapping of single UTF-16 units, by the full Unicode simple case
// tables where the C library offers them, else ASCII only.
char16_t upperChar(char16_t c) noexcept;
char16_t lowerChar(char16_t c) noexcept;
std::u16string upper(std::u16string_view text);
std::u16string lower(std::u16string_view text);

// Case-insensitive comparison of wide text: <0, 0, >0.
int compareText(std::u16string_view a, std::u16string_view b) noexcept;
inline bool sameText(std::u16string_view a, std::u16string_view b) noexcept
{
    return a.size() == b.size() && compareText(a, b) == 0;
}

// The same for 8-bit text (compared as the characters the code page gives).
std::string upper(std::string_view text);
int compareText(std::string_view a, std::string_view b) noexcept;
inline bool sameText(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && compareText(a, b) == 0;
}

} // namespace ansi

// Short forms used across the code base.
inline std::u16string widen(std::string_view bytes) { return ansi::widen(bytes); }
inline std::string narrow(std::u16string_view text) { return ansi::narrow(text); }
