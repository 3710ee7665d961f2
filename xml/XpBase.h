// Base helpers of the XML checker: wide-text helpers, conversions between
// bytes, UTF-8, UTF-16 units and code points, the XML 1.0 character classes,
// the component base of the parser and its two stream classes.
//
// Code points are char32_t; 16-bit units are char16_t; wide text is
// std::u16string; positions in wide text are 1-based.
#pragma once

#include "text/Streams.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---- component base -------------------------------------------------------

// Base of the parser. Owner and name are kept for callers that identify
// components; the owner is never freed through this pointer.
class TXpComponent {
public:
    explicit TXpComponent(TXpComponent* owner = nullptr) : Owner(owner) {}
    virtual ~TXpComponent() = default;
    TXpComponent(const TXpComponent&) = delete;
    TXpComponent& operator=(const TXpComponent&) = delete;

    // The library version, "2.5300".
    std::string Version() const;
    // Writing the version does nothing; it exists so the property can be set.
    void setVersion(const std::string&) {}

    TXpComponent* Owner;
    std::string Name;
};

// ---- streams ---------------------------------------------------------------

// Holds entity text while a filter reads it.
class TXpMemoryStream : public TMemoryStream {
public:
    TXpMemoryStream() = default;
};

// A file stream that remembers the name it was opened or created with.
class TXpFileStream : public TFileStream {
public:
    // Same argument order as TFileStream; EFOpenError / EFCreateError on
    // failure.
    TXpFileStream(const std::string& aFileName, unsigned mode)
        : TFileStream(aFileName, mode), fileName(aFileName) {}

    std::string fileName;
};

// Raises EXpParserError naming path when it exists but is not a regular file
// after links are followed (a FIFO, a device, /dev/stdin): reading one could
// block for ever or never end. A missing path is left to the caller.
void RequireRegularFile(const std::string& path);

// ---- wide-text helpers (1-based positions) ---------------------------------

// At most count characters of text from start on; empty when start < 1,
// count <= 0 or start is beyond the end.
std::u16string WideCopy(std::u16string_view text, int start, int count);
// Position of the first occurrence of part in text, 0 when none or when part
// is empty.
int WidePos(std::u16string_view part, std::u16string_view text);
// Start of the last occurrence of part in text, 0 when none, when text is
// shorter than part or when part is empty.
int WideLastPos(std::u16string_view part, std::u16string_view text);
// Text with every non-overlapping occurrence of oldPart (found from the left)
// replaced by newPart; unchanged when text or oldPart is empty.
std::u16string WideReplaceAll(std::u16string_view text, std::u16string_view oldPart,
                              std::u16string_view newPart);

// ---- conversions -----------------------------------------------------------

// Always succeeds: the code point equals the byte.
bool Latin1ToCodePoint(unsigned char byte, char32_t& codePoint);
// Succeeds with the byte when the code point is at most FF; else 0 and false.
bool CodePointToLatin1(char32_t codePoint, unsigned char& byte);
// Succeeds with the unit when the code point is at most FFFF; else 0 and false.
bool CodePointToUnit(char32_t codePoint, char16_t& unit);
// A first unit outside D800-DFFF is the code point by itself (bothUsed
// false); a high surrogate followed by a low surrogate gives the supplementary
// code point (bothUsed true); anything else gives 0 and false.
bool PairToCodePoint(char16_t first, char16_t second, char32_t& codePoint, bool& bothUsed);
// Length of the UTF-8 sequence a lead byte starts: 1..6, or 0 for a byte
// that cannot lead (80-BF, FE, FF).
int Utf8Length(unsigned char lead);
// Decodes one UTF-8 sequence of exactly expectedLength bytes. Fails with 0
// when the sequence is empty, its length differs or a follower is not
// 10xxxxxx. Overlong forms, surrogates and values above 10FFFF pass.
bool Utf8Decode(const unsigned char* bytes, std::size_t length, int expectedLength,
                char32_t& codePoint);

// ---- XML 1.0 character classes (as published up to the fourth edition) ----

bool IsXmlChar(char32_t c);        // Char
bool IsBaseChar(char32_t c);       // BaseChar
bool IsIdeographic(char32_t c);    // Ideographic
bool IsLetter(char32_t c);         // BaseChar | Ideographic
bool IsCombiningChar(char32_t c);  // CombiningChar
bool IsDigitChar(char32_t c);      // Digit
bool IsExtender(char32_t c);       // Extender
bool IsNameChar(char32_t c);       // NameChar
bool IsNameStartChar(char32_t c);  // Letter | '_' | ':'
bool IsPubidChar(char32_t c);      // PubidChar

bool IsSurrogate(char16_t unit);
// The unit taken as a code point, tested with IsNameStartChar when first is
// set, else with IsNameChar.
bool IsNameUnit(char16_t unit, bool first);
