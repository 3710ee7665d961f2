// Choosing and applying the encoding of an HTML page's bytes, for the opt-in
// "--encoding" mode: a byte order mark, then what the first 1,024 bytes
// declare (meta tag or XML declaration), then the bytes themselves (valid
// UTF-8 holding at least one multi-byte sequence). UTF-8 is decoded here;
// the East Asian and other multi-byte sets go through the C library's iconv;
// the single-byte sets of cputils keep the default road (widened through the
// 8-bit code page and re-decoded by the writer).
#pragma once

#include <string>
#include <string_view>

namespace encoding {

// How the bytes of one page become wide text.
enum class TMethod {
    CodePage, // the default road: 8-bit code page at load, charset re-decode by the writer
    Utf16,    // UTF-16 byte order mark: as the default road reads it
    Utf8,     // decoded at load with our own decoder
    Single,   // a forced single-byte set of cputils, decoded at load
    Iconv,    // decoded at load through iconv
};

// The decision for one page.
struct TChoice {
    TMethod method = TMethod::CodePage;
    std::string name;   // the encoding as reported: "utf-8", "EUC-KR", "windows-1252"
    std::string source; // "from meta", "by content", "default", "from byte order mark", ...

    // True when the text is final after loading: the writer must not
    // re-decode it through the document's charset.
    bool decodedAtLoad() const
    {
        return method == TMethod::Utf8 || method == TMethod::Single || method == TMethod::Iconv;
    }
    // The charset the writer re-decodes with, for a document whose tree
    // builder found none: a single-byte set found otherwise than by default
    // (the short "<meta charset=...>" form), else "".
    std::string writerCharset() const
    {
        return method == TMethod::CodePage && source != "default" ? name : std::string();
    }
    // " (utf-8 from meta)"
    std::string describe() const { return " (" + name + " " + source + ")"; }
};

// The first 1,024 bytes scanned as browsers do: "<meta charset>", a meta
// http-equiv Content-Type with "charset=" in its content (attributes in any
// order, values quoted or not), or an XML declaration's encoding at the very
// start. Comments and other tags are stepped over. "" when nothing is found.
std::string prescan(std::string_view bytes);

// The charset parameter of a Content-Type value ("text/html; charset=x");
// "" when there is none.
std::string charsetFromContentType(std::string_view value);

// Valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF);
// multiByte tells whether any sequence was longer than one byte.
bool isValidUtf8(std::string_view bytes, bool* multiByte = nullptr);

// UTF-8 to UTF-16. Each maximal invalid part of a sequence becomes U+FFFD.
std::u16string decodeUtf8(std::string_view bytes);

// Bytes in the named encoding (a name iconv knows) to UTF-16; each invalid
// or incomplete sequence becomes U+FFFD. False when iconv does not know the
// name.
bool decodeIconv(const std::string& name, std::string_view bytes, std::u16string& result);

bool isUtf8Name(std::string_view name);
// A name of the single-byte alias table (cputils) with a decoder of its own.
bool isSingleByteName(const std::string& name);
// A name the C library's iconv can convert from.
bool isIconvName(const std::string& name);
// A name "--encoding" accepts: "auto", UTF-8, a single-byte alias, an iconv name.
bool isKnownName(const std::string& name);

// What to do with a page. mode is "auto" or a forced encoding name (known by
// isKnownName); httpCharset is the charset of an HTTP response's
// Content-Type, honoured ahead of the prescan in auto mode.
TChoice choose(std::string_view bytes, const std::string& mode, const std::string& httpCharset = {});

// The page's text for a choice whose decodedAtLoad() holds: a UTF-8 byte
// order mark is dropped.
std::u16string decode(std::string_view bytes, const TChoice& choice);

} // namespace encoding
