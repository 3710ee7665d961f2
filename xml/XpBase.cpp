#include "xml/XpBase.h"

#include "text/Ansi.h"
#include "xml/XpExcept.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

// ---- component ----------------------------------------------------------------

std::string TXpComponent::Version() const
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%5.4f", 25300 / 10000.0);
    return buf;
}

// ---- wide-text helpers ----------------------------------------------------------

std::u16string WideCopy(std::u16string_view text, int start, int count)
{
    if (start < 1 || count <= 0 || static_cast<std::size_t>(start) > text.size())
        return {};
    return std::u16string(text.substr(static_cast<std::size_t>(start) - 1, static_cast<std::size_t>(count)));
}

// Exact search by code units. With a single-byte code page the positions are
// those of the 8-bit form, and characters the code page cannot hold no longer
// all look alike ("?").
int WidePos(std::u16string_view part, std::u16string_view text)
{
    if (part.empty())
        return 0;
    std::size_t p = text.find(part);
    return p == std::u16string_view::npos ? 0 : static_cast<int>(p) + 1;
}

int WideLastPos(std::u16string_view part, std::u16string_view text)
{
    if (part.empty() || text.size() < part.size())
        return 0;
    std::size_t p = text.rfind(part);
    return p == std::u16string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::u16string WideReplaceAll(std::u16string_view text, std::u16string_view oldPart,
                              std::u16string_view newPart)
{
    if (text.empty() || oldPart.empty())
        return std::u16string(text);
    std::u16string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (;;) {
        std::size_t p = text.find(oldPart, from);
        if (p == std::u16string_view::npos)
            break;
        out.append(text.substr(from, p - from));
        out.append(newPart);
        from = p + oldPart.size();
    }
    out.append(text.substr(from));
    return out;
}

// ---- conversions ------------------------------------------------------------------

bool Latin1ToCodePoint(unsigned char byte, char32_t& codePoint)
{
    codePoint = byte;
    return true;
}

bool CodePointToLatin1(char32_t codePoint, unsigned char& byte)
{
    if (codePoint <= 0xFF) {
        byte = static_cast<unsigned char>(codePoint);
        return true;
    }
    byte = 0;
    return false;
}

bool CodePointToUnit(char32_t codePoint, char16_t& unit)
{
    if (codePoint <= 0xFFFF) {
        unit = static_cast<char16_t>(codePoint);
        return true;
    }
    unit = 0;
    return false;
}

bool PairToCodePoint(char16_t first, char16_t second, char32_t& codePoint, bool& bothUsed)
{
    bothUsed = false;
    if (first < 0xD800 || first > 0xDFFF) {
        codePoint = first;
        return true;
    }
    if (first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) {
        codePoint = 0x10000 + (char32_t(first - 0xD800) << 10) + char32_t(second - 0xDC00);
        bothUsed = true;
        return true;
    }
    codePoint = 0;
    return false;
}

int Utf8Length(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead < 0xC0)
        return 0;
    if (lead < 0xE0)
        return 2;
    if (lead < 0xF0)
        return 3;
    if (lead < 0xF8)
        return 4;
    if (lead < 0xFC)
        return 5;
    if (lead < 0xFE)
        return 6;
    return 0;
}

bool Utf8Decode(const unsigned char* bytes, std::size_t length, int expectedLength, char32_t& codePoint)
{
    codePoint = 0;
    if (length == 0 || expectedLength <= 0 || length != static_cast<std::size_t>(expectedLength))
        return false;
    unsigned char lead = bytes[0];
    char32_t cp;
    if (lead < 0x80)
        cp = lead & 0x7F;
    else if (lead <= 0xDF)
        cp = lead & 0x1F;
    else if (lead <= 0xEF)
        cp = lead & 0x0F;
    else if (lead <= 0xF7)
        cp = lead & 0x07;
    else if (lead <= 0xFB)
        cp = lead & 0x03;
    else
        cp = lead & 0x01;
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (bytes[i] & 0x3F);
    }
    codePoint = cp;
    return true;
}

// ---- character classes --------------------------------------------------------------

namespace {

struct XpCharRange {
    char32_t lo, hi;
};

#include "xml/XpCharClasses.inc"

template <std::size_t N>
constexpr bool sortedAndDisjoint(const XpCharRange (&t)[N])
{
    for (std::size_t i = 0; i < N; ++i) {
        if (t[i].lo > t[i].hi)
            return false;
        if (i > 0 && t[i].lo <= t[i - 1].hi)
            return false;
    }
    return true;
}

static_assert(sortedAndDisjoint(kBaseChar) && sortedAndDisjoint(kIdeographic) &&
              sortedAndDisjoint(kCombiningChar) && sortedAndDisjoint(kDigit) &&
              sortedAndDisjoint(kExtender));

template <std::size_t N>
bool inTable(const XpCharRange (&t)[N], char32_t c)
{
    if (c < t[0].lo || c > t[N - 1].hi)
        return false;
    // First range whose upper end is not below c.
    const XpCharRange* r = std::lower_bound(t, t + N, c, [](const XpCharRange& x, char32_t v) { return x.hi < v; });
    return r != t + N && r->lo <= c;
}

// Name character classes of the ASCII range, decided without a table search.
enum : unsigned char { kAsciiNameStart = 1, kAsciiNameChar = 2 };

struct AsciiNameTable {
    unsigned char flags[128] = {};
    constexpr AsciiNameTable()
    {
        for (int c = 'A'; c <= 'Z'; ++c)
            flags[c] = kAsciiNameStart | kAsciiNameChar;
        for (int c = 'a'; c <= 'z'; ++c)
            flags[c] = kAsciiNameStart | kAsciiNameChar;
        for (int c = '0'; c <= '9'; ++c)
            flags[c] = kAsciiNameChar;
        flags[int('_')] = flags[int(':')] = kAsciiNameStart | kAsciiNameChar;
        flags[int('.')] = flags[int('-')] = kAsciiNameChar;
    }
};

constexpr AsciiNameTable kAsciiName;

} // namespace

bool IsXmlChar(char32_t c)
{
    if (c < 0x20)
        return c == 0x09 || c == 0x0A || c == 0x0D;
    return c <= 0xD7FF || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsBaseChar(char32_t c) { return inTable(kBaseChar, c); }
bool IsIdeographic(char32_t c) { return inTable(kIdeographic, c); }
bool IsLetter(char32_t c) { return IsBaseChar(c) || IsIdeographic(c); }
bool IsCombiningChar(char32_t c) { return inTable(kCombiningChar, c); }
bool IsDigitChar(char32_t c) { return inTable(kDigit, c); }
bool IsExtender(char32_t c) { return inTable(kExtender, c); }

bool IsNameChar(char32_t c)
{
    if (c < 0x80)
        return (kAsciiName.flags[c] & kAsciiNameChar) != 0;
    return IsLetter(c) || IsDigitChar(c) || IsCombiningChar(c) || IsExtender(c);
}

bool IsNameStartChar(char32_t c)
{
    if (c < 0x80)
        return (kAsciiName.flags[c] & kAsciiNameStart) != 0;
    return IsLetter(c);
}

bool IsPubidChar(char32_t c)
{
    if (c == 0x20 || c == 0x0D || c == 0x0A)
        return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '-': case '\'': case '(': case ')': case '+': case ',': case '.': case '/': case ':':
    case '=': case '?': case ';': case '!': case '*': case '#': case '@': case '$': case '_':
    case '%':
        return true;
    default:
        return false;
    }
}

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

bool IsNameUnit(char16_t unit, bool first)
{
    return first ? IsNameStartChar(unit) : IsNameChar(unit);
}

void RequireRegularFile(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw EXpParserError(0, 0, widen(path), u"File \"" + widen(path) + u"\" is not a regular file");
}
