// Decoding of 8-bit text written in one of the single-byte character sets
// that HTML pages name in a meta tag ("windows-1251", "latin2", "koi8-r").
// An alias table reduces the names in use to a canonical name; each
// canonical name but "iso8859_11" has a decoder.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace cputils {

// Orders 8-bit names without regard to letter case.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const noexcept;
};

// Alias name -> canonical name.
using TCharsetAliases = std::map<std::string, std::string, CaseInsensitiveLess>;

// The program-wide alias table, built at start-up, read-only afterwards.
const TCharsetAliases& charsetAliases();

} // namespace cputils

// Decodes bytes written in the named character set into wide text, one
// character per byte. Returns false, leaving result untouched, when the
// name is unknown (or has no decoder, "iso8859_11"). Otherwise result gets
// the decoded text with "?" for each byte the set leaves undefined, and the
// return value says whether every byte had a character. No exceptions.
bool decodeCharset(const std::string& charset, std::string_view bytes, std::u16string& result);

// The same in two steps, for many texts in one set: the set's decoder
// (null when decodeCharset would return false for the name), looked up
// once, and the decoding of bytes through it.
const char16_t* charsetDecoder(const std::string& charset);
bool decodeWith(const char16_t* decoder, std::string_view bytes, std::u16string& result);
