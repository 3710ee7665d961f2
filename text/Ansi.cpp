#include "text/Ansi.h"

#include <array>
#include <clocale>
#include <cwctype>
#include <locale.h>

namespace ansi {
namespace {

// Bytes 80..9F of Windows-1252; the undefined ones map to themselves.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool narrowSpecial(char16_t unit, char& out) noexcept
{
    for (int i = 0; i < 32; ++i) {
        if (kHigh1252[i] == unit) {
            out = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

// A locale with full Unicode case tables; null when the C library lacks it.
locale_t caseLocale()
{
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (!l)
            l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return loc;
}

} // namespace

char16_t widenByte(unsigned char byte) noexcept
{
    if (byte >= 0x80 && byte < 0xA0)
        return kHigh1252[byte - 0x80];
    return byte;
}

bool narrowUnit(char16_t unit, char& out) noexcept
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        out = static_cast<char>(unit);
        return true;
    }
    if (narrowSpecial(unit, out))
        return true;
    out = '?';
    return false;
}

std::u16string widen(std::string_view bytes)
{
    std::u16string out;
    out.resize(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        out[i] = widenByte(static_cast<unsigned char>(bytes[i]));
    return out;
}

std::string narrow(std::u16string_view text)
{
    std::string out;
    out.resize(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u < 0x80)
            out[i] = static_cast<char>(u);
        else
            narrowUnit(u, out[i]);
    }
    return out;
}

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        char32_t c;
        size_t len;
        if (b < 0x80) { c = b; len = 1; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; len = 2; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; len = 3; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; len = 4; }
        else { out += u'\uFFFD'; ++i; continue; }
        if (i + len > text.size()) { out += u'\uFFFD'; break; }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) { ok = false; break; }
            c = (c << 6) | (t & 0x3F);
        }
        if (!ok || c > 0x10FFFF) { out += u'\uFFFD'; ++i; continue; }
        i += len;
        appendCodePoint(out, c);
    }
    return out;
}

char16_t upperChar(char16_t c) noexcept
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    locale_t loc = caseLocale();
    if (!loc)
        return c;
    wint_t r = towupper_l(static_cast<wint_t>(c), loc);
    return r <= 0xFFFF ? static_cast<char16_t>(r) : c;
}

char16_t lowerChar(char16_t c) noexcept
{
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    locale_t loc = caseLocale();
    if (!loc)
        return c;
    wint_t r = towlower_l(static_cast<wint_t>(c), loc);
    return r <= 0xFFFF ? static_cast<char16_t>(r) : c;
}

std::u16string upper(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out)
        c = upperChar(c);
    return out;
}

std::u16string lower(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out)
        c = lowerChar(c);
    return out;
}

int compareText(std::u16string_view a, std::u16string_view b) noexcept
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = upperChar(a[i]);
        char16_t y = upperChar(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string upper(std::string_view text)
{
    return narrow(upper(widen(text)));
}

int compareText(std::string_view a, std::string_view b) noexcept
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = upperChar(widenByte(static_cast<unsigned char>(a[i])));
        char16_t y = upperChar(widenByte(static_cast<unsigned char>(b[i])));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

} // namespace ansi
