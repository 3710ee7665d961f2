#include "text/Encoding.h"

#include "text/Ansi.h"
#include "text/cputils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace encoding {

namespace {

constexpr std::size_t prescanLength = 1024;
constexpr char16_t replacement = 0xFFFD;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool sameAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool startsWithAscii(std::string_view s, std::size_t at, std::string_view prefix)
{
    return s.size() - at >= prefix.size() && sameAscii(s.substr(at, prefix.size()), prefix);
}

std::string trimmed(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return std::string(s.substr(b, e - b));
}

// One attribute of a tag; the scan position moves past it. False at the end
// of the tag (">" or the end of the bytes).
bool nextAttribute(std::string_view s, std::size_t& i, std::string& name, std::string& value)
{
    name.clear();
    value.clear();
    while (i < s.size() && (isBlank(s[i]) || s[i] == '/'))
        ++i;
    if (i >= s.size() || s[i] == '>')
        return false;
    while (i < s.size() && !isBlank(s[i]) && s[i] != '=' && s[i] != '>' &&
           !(s[i] == '/' && !name.empty()))
        name += lowerAscii(s[i++]);
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i >= s.size() || s[i] != '=')
        return true;
    ++i;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
        const char quote = s[i++];
        while (i < s.size() && s[i] != quote)
            value += s[i++];
        if (i < s.size())
            ++i;
    } else {
        while (i < s.size() && !isBlank(s[i]) && s[i] != '>')
            value += s[i++];
    }
    return true;
}

// The encoding named by an XML declaration at the very start.
std::string xmlDeclaration(std::string_view s)
{
    if (!startsWithAscii(s, 0, "<?xml") || s.size() < 6 || !isBlank(s[5]))
        return {};
    std::size_t end = s.find("?>");
    std::string_view decl = s.substr(0, end);
    std::size_t at = decl.find("encoding");
    if (at == std::string_view::npos)
        return {};
    std::size_t i = at + 8;
    while (i < decl.size() && isBlank(decl[i]))
        ++i;
    if (i >= decl.size() || decl[i] != '=')
        return {};
    ++i;
    while (i < decl.size() && isBlank(decl[i]))
        ++i;
    if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\''))
        return {};
    const char quote = decl[i++];
    std::size_t close = decl.find(quote, i);
    if (close == std::string_view::npos)
        return {};
    return trimmed(decl.substr(i, close - i));
}

iconv_t openIconv(const std::string& name)
{
    // Suffixes such as "//IGNORE" would change how errors are handled.
    if (name.empty() || name.find('/') != std::string::npos)
        return reinterpret_cast<iconv_t>(-1);
    return iconv_open("UTF-16LE", name.c_str());
}

// Names the single-byte table maps to an unrelated code page; iconv has the
// real set.
bool mappedAmiss(const std::string& name)
{
    return sameAscii(name, "koi8-u") || sameAscii(name, "koi8-ru");
}

} // namespace

std::string charsetFromContentType(std::string_view value)
{
    for (std::size_t at = 0; at + 7 <= value.size(); ++at) {
        if (!startsWithAscii(value, at, "charset"))
            continue;
        std::size_t i = at + 7;
        while (i < value.size() && isBlank(value[i]))
            ++i;
        if (i >= value.size() || value[i] != '=')
            continue;
        ++i;
        while (i < value.size() && isBlank(value[i]))
            ++i;
        if (i < value.size() && (value[i] == '"' || value[i] == '\'')) {
            const char quote = value[i++];
            std::size_t close = value.find(quote, i);
            if (close == std::string_view::npos)
                return {};
            return trimmed(value.substr(i, close - i));
        }
        std::size_t e = i;
        while (e < value.size() && !isBlank(value[e]) && value[e] != ';')
            ++e;
        return std::string(value.substr(i, e - i));
    }
    return {};
}

std::string prescan(std::string_view bytes)
{
    const std::string_view s = bytes.substr(0, prescanLength);
    if (std::string found = xmlDeclaration(s); !found.empty())
        return found;

    std::size_t i = 0;
    std::string name, value;
    while ((i = s.find('<', i)) != std::string_view::npos) {
        if (s.compare(i, 4, "<!--") == 0) {
            std::size_t end = s.find("-->", i + 4);
            if (end == std::string_view::npos)
                return {};
            i = end + 3;
        } else if (startsWithAscii(s, i, "<meta") && i + 5 < s.size() &&
                   (isBlank(s[i + 5]) || s[i + 5] == '/')) {
            i += 5;
            std::string charset, content;
            bool contentType = false;
            while (nextAttribute(s, i, name, value)) {
                if (name == "charset" && charset.empty())
                    charset = trimmed(value);
                else if (name == "content" && content.empty())
                    content = value;
                else if (name == "http-equiv")
                    contentType = sameAscii(trimmed(value), "content-type");
            }
            if (!charset.empty())
                return charset;
            if (contentType)
                if (std::string found = charsetFromContentType(content); !found.empty())
                    return found;
        } else if (i + 1 < s.size() &&
                   (isAsciiLetter(s[i + 1]) ||
                    (s[i + 1] == '/' && i + 2 < s.size() && isAsciiLetter(s[i + 2])))) {
            // Another tag: its attribute values may hold ">" or "<meta".
            i += 2;
            while (i < s.size() && !isBlank(s[i]) && s[i] != '>')
                ++i;
            while (nextAttribute(s, i, name, value)) {
            }
        } else if (i + 1 < s.size() && (s[i + 1] == '!' || s[i + 1] == '/' || s[i + 1] == '?')) {
            std::size_t end = s.find('>', i + 1);
            if (end == std::string_view::npos)
                return {};
            i = end + 1;
        } else {
            ++i;
        }
    }
    return {};
}

bool isValidUtf8(std::string_view bytes, bool* multiByte)
{
    bool multi = false;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = b[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF; // range of the second byte
        if (c >= 0xC2 && c <= 0xDF)
            len = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n || b[i + 1] < lo || b[i + 1] > hi)
            return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((b[i + k] & 0xC0) != 0x80)
                return false;
        multi = true;
        i += len;
    }
    if (multiByte)
        *multiByte = multi;
    return true;
}

std::u16string decodeUtf8(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = b[i];
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        char32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            code = c & 0x0F;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            code = c & 0x07;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        // Take continuation bytes while they fit; a byte that does not is
        // not consumed, so it starts afresh after the U+FFFD.
        std::size_t k = 1;
        for (; k < len && i + k < n; ++k) {
            const unsigned t = b[i + k];
            const unsigned tlo = k == 1 ? lo : 0x80, thi = k == 1 ? hi : 0xBF;
            if (t < tlo || t > thi)
                break;
            code = (code << 6) | (t & 0x3F);
        }
        if (k < len) {
            out += replacement;
            i += k;
            continue;
        }
        i += len;
        ansi::appendCodePoint(out, code);
    }
    return out;
}

bool decodeIconv(const std::string& name, std::string_view bytes, std::u16string& result)
{
    iconv_t cd = openIconv(name);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::u16string out;
    std::string buffer(std::min<std::size_t>(bytes.size() * 4 + 16, 1 << 16), '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    auto flushBuffer = [&](char* end) {
        const std::size_t units = static_cast<std::size_t>(end - buffer.data()) / 2;
        for (std::size_t u = 0; u < units; ++u)
            out += static_cast<char16_t>(static_cast<unsigned char>(buffer[2 * u]) |
                                         (static_cast<unsigned char>(buffer[2 * u + 1]) << 8));
    };
    while (inLeft > 0) {
        char* o = buffer.data();
        std::size_t oLeft = buffer.size();
        const std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        const int error = errno;
        flushBuffer(o);
        if (r != static_cast<std::size_t>(-1) || error == E2BIG)
            continue;
        // An invalid sequence (EILSEQ) or one cut off at the end (EINVAL):
        // mark it and go on after its first byte, from the initial state.
        out += replacement;
        if (error != EILSEQ)
            break;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // A stateful set may owe a final shift back.
    char* o = buffer.data();
    std::size_t oLeft = buffer.size();
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    flushBuffer(o);
    iconv_close(cd);
    result = std::move(out);
    return true;
}

bool isUtf8Name(std::string_view name)
{
    for (const char* alias : {"utf-8", "utf8", "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8",
                              "x-unicode20utf8"})
        if (sameAscii(name, alias))
            return true;
    return false;
}

bool isSingleByteName(const std::string& name)
{
    if (mappedAmiss(name))
        return false;
    std::u16string probe;
    return decodeCharset(name, {}, probe);
}

bool isIconvName(const std::string& name)
{
    iconv_t cd = openIconv(name);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv_close(cd);
    return true;
}

bool isKnownName(const std::string& name)
{
    return sameAscii(name, "auto") || isUtf8Name(name) || isSingleByteName(name) ||
           isIconvName(name);
}

namespace {

// A declared name (meta, XML declaration, HTTP header) as a choice; false
// when the name is unusable, so the next way of finding out is tried.
bool fromDeclared(const std::string& name, const std::string& source, TChoice& choice)
{
    // A page that could declare its encoding in ASCII is not UTF-16; browsers
    // read such pages as UTF-8.
    if (isUtf8Name(name) || sameAscii(name, "utf-16") || sameAscii(name, "utf-16le") ||
        sameAscii(name, "utf-16be")) {
        choice = {TMethod::Utf8, "utf-8", source};
        return true;
    }
    if (isSingleByteName(name)) {
        choice = {TMethod::CodePage, name, source};
        return true;
    }
    if (isIconvName(name)) {
        choice = {TMethod::Iconv, name, source};
        return true;
    }
    return false;
}

} // namespace

TChoice choose(std::string_view bytes, const std::string& mode, const std::string& httpCharset)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)))
        return {TMethod::Utf16, b[0] == 0xFF ? "utf-16le" : "utf-16be", "from byte order mark"};
    const bool utf8Mark = bytes.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;

    if (!sameAscii(mode, "auto")) {
        if (isUtf8Name(mode))
            return {TMethod::Utf8, "utf-8", "forced"};
        if (isSingleByteName(mode))
            return {TMethod::Single, mode, "forced"};
        return {TMethod::Iconv, mode, "forced"};
    }
    if (utf8Mark)
        return {TMethod::Utf8, "utf-8", "from byte order mark"};

    TChoice choice;
    if (!httpCharset.empty() && fromDeclared(httpCharset, "from http header", choice))
        return choice;
    if (std::string declared = prescan(bytes); !declared.empty()) {
        const bool xml = bytes.substr(0, 5) == "<?xml";
        if (fromDeclared(declared, xml ? "from xml declaration" : "from meta", choice))
            return choice;
    }
    bool multiByte = false;
    if (isValidUtf8(bytes, &multiByte) && multiByte)
        return {TMethod::Utf8, "utf-8", "by content"};
    return {TMethod::CodePage, "windows-1252", "default"};
}

std::u16string decode(std::string_view bytes, const TChoice& choice)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF &&
        (choice.method == TMethod::Utf8 || sameAscii(choice.name, "utf-8")))
        bytes.remove_prefix(3);
    switch (choice.method) {
    case TMethod::Utf8:
        return decodeUtf8(bytes);
    case TMethod::Single: {
        std::u16string out;
        decodeCharset(choice.name, bytes, out);
        return out;
    }
    case TMethod::Iconv: {
        std::u16string out;
        if (decodeIconv(choice.name, bytes, out))
            return out;
        break;
    }
    default:
        break;
    }
    return ansi::widen(bytes);
}

} // namespace encoding
