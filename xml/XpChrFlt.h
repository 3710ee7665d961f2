// Input character filter of the XML checker: turns the bytes of one source
// into checked code points with line and column.
//
// - Encoding from the byte order mark (FE FF, FF FE, EF BB BF), else UTF-8;
//   SetEncoding(xpIso88591) switches a source without UTF-16 mark to Latin-1.
// - Every line end (CR LF, CR, LF) becomes one LF.
// - Characters outside the XML Char class raise EXpFilterError "Invalid XML
//   Character found"; bad UTF-8 and bad surrogates raise their own messages,
//   with LineNo/ColumnNo = the position of the offending character.
// - XpEndOfInput (U+FFFF, never a Char, so never a character of the input:
//   one there raises "Invalid XML Character found") is returned at the end
//   of input. A truncated multi-byte sequence or a dangling UTF-16 byte at the end is
//   dropped quietly.
// - curColumn() is the 1-based column of the next unread character after a
//   consumed one. A peek does not advance the column (a peeked LF shows the
//   next line, column 0, until consumed).
// - MatchLiteral consumes a literal or leaves the filter exactly as it was.
#pragma once

#include "xml/XpBase.h"
#include "xml/XpExcept.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What ends a run of plain characters (see ReadRun), made once from a table
// of ASCII stops: for each ASCII character 1 when it ends a run (a stop, or
// a control character other than tab and line feed), 2 for a line feed that
// does not, else 0. One look per character tells all.
struct TXpRunStops {
    explicit TXpRunStops(const unsigned char* stops);
    unsigned char kind[128] = {};
};

constexpr char32_t XpEndOfInput = 0xFFFF; // returned when no character is left
constexpr char32_t XpNoChar = 3;     // internal: no pending character

enum TXpCharEncoding : uint8_t {
    xpUtf8 = 0,
    xpUtf16LE = 1,
    xpUtf16BE = 2,
    xpIso88591 = 3,
};

// Stream, byte buffer and encoding; the decoding lives in TXpInCharFilter.
class TXpBaseCharFilter {
public:
    virtual ~TXpBaseCharFilter() = default;
    TXpBaseCharFilter(const TXpBaseCharFilter&) = delete;
    TXpBaseCharFilter& operator=(const TXpBaseCharFilter&) = delete;

    virtual int64_t StreamSizeAtStart() const { return streamSize_; }
    virtual void SetEncoding(TXpCharEncoding encoding) = 0;

    TXpCharEncoding encoding() const { return encoding_; }
    // Whether the source opened with a UTF-8 or UTF-16 byte order mark.
    bool utf8Mark() const { return utf8Mark_; }
    bool utf16Mark() const { return encoding_ == xpUtf16LE || encoding_ == xpUtf16BE; }
    bool ownsStream() const { return owned_ != nullptr; }
    TStream& stream() const { return *stream_; }

protected:
    // Not owned / owned stream; capacity is the block size of the reads
    // (values below 1 read byte by byte).
    TXpBaseCharFilter(TStream& stream, int capacity);
    TXpBaseCharFilter(std::unique_ptr<TStream> stream, int capacity);

    // Reads the next block behind the unread bytes; false when the stream
    // gave nothing.
    bool FillBuffer();
    // Makes at least count unread bytes available unless the stream ends
    // first; never discards unread bytes.
    void EnsureAvailable(std::size_t count);
    int64_t StreamOffset() const { return bufBase_ + static_cast<int64_t>(bufPos_); }

    std::unique_ptr<TStream> owned_;
    TStream* stream_;
    int bufCapacity_;
    std::vector<unsigned char> buffer_;
    std::size_t bufPos_ = 0;  // next unread byte
    std::size_t bufFill_ = 0; // valid bytes
    int64_t bufBase_ = 0;     // stream position of buffer_[0]
    int64_t streamPosAfterFill_ = 0;
    int64_t streamSize_ = 0;
    bool streamDone_ = false; // a read returned nothing
    int64_t keepFrom_ = -1;   // stream position a refill must not discard
    TXpCharEncoding encoding_ = xpUtf8;
    bool utf8Mark_ = false;

private:
    void Init();
};

class TXpInCharFilter : public TXpBaseCharFilter {
public:
    // Reads stream from its current position; stream stays the caller's.
    TXpInCharFilter(TStream& stream, int capacity);
    // Reads stream from its current position and frees it with the filter.
    TXpInCharFilter(std::unique_ptr<TStream> stream, int capacity);
    ~TXpInCharFilter() override = default;

    // Ignored for a UTF-16 source; otherwise takes effect from the next byte
    // decoded.
    void SetEncoding(TXpCharEncoding encoding) override;

    // Decodes the next character (XpEndOfInput at the end) and moves the
    // counters.
    char32_t ReadChar();
    // The next character as a 16-bit unit without consuming it; characters
    // beyond the Basic Multilingual Plane come as 0, the end as 1.
    char16_t PeekChar();
    // Consumes the peeked character (reads and drops the next one when
    // nothing was peeked).
    void ConsumeChar();
    // Consumes c, a printable ASCII character, when it is peeked or stands
    // next in the buffer, as reading it would; otherwise changes nothing
    // (false also when only the one-by-one path could tell).
    bool ConsumeIfNext(char16_t c)
    {
        if (hasPeek_) {
            if (peekedUnit_ != c)
                return false;
            ConsumeChar();
        } else {
            if (pendingChar_ != XpNoChar || inputEnded_)
                return false;
            const bool wide = encoding_ == xpUtf16LE || encoding_ == xpUtf16BE;
            const std::size_t width = wide ? 2 : 1;
            if (bufFill_ - bufPos_ < width)
                return false;
            const unsigned char* b = buffer_.data() + bufPos_;
            const bool next = encoding_ == xpUtf16LE   ? b[0] == c && b[1] == 0
                              : encoding_ == xpUtf16BE ? b[0] == 0 && b[1] == c
                                                       : b[0] == c;
            if (!next)
                return false;
            bufPos_ += width;
            ++curColumn_;
        }
        NoteEndAfterMatch();
        return true;
    }
    // Consumes literal when the input continues with it; otherwise leaves
    // the filter as it was (also when a decoding error escapes).
    bool MatchLiteral(std::u32string_view literal);

    // Reads a run of plain characters from the bytes already buffered, in
    // one loop, and appends them to out when out is given. Stops before the
    // first ASCII character whose entry in stops is not 0, before any
    // character the one-by-one path must see (a CR, a control character,
    // a surrogate, U+FFFE or U+FFFF, a UTF-8 sequence of several bytes; with
    // asciiOnly any character above U+007F) and at the end of the buffered
    // bytes. A line feed whose entry is 0 moves to the next line. Reads
    // nothing while a character is peeked or pending. Returns the number of
    // characters read.
    std::size_t ReadRun(const TXpRunStops& stops, bool asciiOnly, std::u16string* out)
    {
        if (hasPeek_ || pendingChar_ != XpNoChar || inputEnded_ || bufPos_ >= bufFill_)
            return 0;
        return (this->*runReader_)(stops, asciiOnly, out);
    }

    std::string LocationText() const { return location_ ? location_->FullLocation() : std::string(); }

    int32_t curLine() const { return curLine_; }
    int32_t curColumn() const { return curColumn_; }
    bool atEnd() const { return atEnd_; }
    TXpBaseDirContext* location() const { return location_.get(); }
    void setLocation(std::unique_ptr<TXpBaseDirContext> location) { location_ = std::move(location); }

private:
    void DetectEncoding();
    // One character with line ends folded and the Char check applied.
    char32_t DecodeNext();
    // One raw character: a code point, XpEndOfInput, or one of the error
    // values below. Does not check the Char class.
    char32_t DecodeRaw();
    char32_t DecodeSlow();
    [[noreturn]] void RaiseDecodeError(char32_t error);
    // The run reader for an encoding, chosen when the encoding is settled.
    template <TXpCharEncoding E>
    std::size_t ReadRunIn(const TXpRunStops& stops, bool asciiOnly, std::u16string* out);
    void ChooseRunReader();
    // After a match: a source read to its last byte has ended.
    void NoteEndAfterMatch()
    {
        if (pendingChar_ == XpNoChar && bufPos_ == bufFill_ && (streamDone_ || streamPosAfterFill_ >= streamSize_))
            atEnd_ = true;
    }
    std::size_t (TXpInCharFilter::*runReader_)(const TXpRunStops&, bool, std::u16string*) = nullptr;
    bool GetByte(unsigned char& byte)
    {
        if (bufPos_ < bufFill_ || (!inLookAhead_ && !streamDone_ && FillBuffer())) {
            byte = buffer_[bufPos_++];
            return true;
        }
        return false;
    }

    std::unique_ptr<TXpBaseDirContext> location_;
    char32_t pendingChar_ = XpNoChar;
    int32_t curLine_ = 1;
    int32_t curColumn_ = 1;
    char16_t peekedUnit_ = 0;
    bool hasPeek_ = false;
    bool atEnd_ = false;
    bool inputEnded_ = false; // the decoder has delivered the end marker
    bool inLookAhead_ = false;
    int64_t followerPos_ = 0; // stream position of a CR's kept-back follower
};

// ---- hot path ----

inline char32_t TXpInCharFilter::DecodeNext()
{
    // Plain characters that need no line-end folding and pass the Char check.
    if (pendingChar_ == XpNoChar && !inputEnded_) {
        switch (encoding_) {
        case xpUtf8:
        case xpIso88591:
            if (bufPos_ < bufFill_) {
                unsigned char b = buffer_[bufPos_];
                if ((b >= 0x20 && (b < 0x80 || encoding_ == xpIso88591)) || b == 0x0A || b == 0x09) {
                    ++bufPos_;
                    return b;
                }
            }
            break;
        case xpUtf16LE:
        case xpUtf16BE:
            if (bufPos_ + 1 < bufFill_) {
                unsigned char b0 = buffer_[bufPos_], b1 = buffer_[bufPos_ + 1];
                char32_t u = encoding_ == xpUtf16LE ? char32_t(b0 | (b1 << 8)) : char32_t((b0 << 8) | b1);
                if ((u >= 0x20 && u < 0xD800) || (u >= 0xE000 && u <= 0xFFFD) || u == 0x0A || u == 0x09) {
                    bufPos_ += 2;
                    return u;
                }
            }
            break;
        }
    }
    return DecodeSlow();
}

inline char32_t TXpInCharFilter::ReadChar()
{
    if (hasPeek_) {
        // The counters already moved for a peeked line feed.
        hasPeek_ = false;
        char32_t c = pendingChar_;
        pendingChar_ = XpNoChar;
        ++curColumn_;
        return c;
    }
    char32_t c = DecodeNext();
    if (c == 0x0A) {
        ++curLine_;
        curColumn_ = 1;
    } else if (c == XpEndOfInput) {
        atEnd_ = true;
    } else {
        ++curColumn_;
    }
    return c;
}

inline char16_t TXpInCharFilter::PeekChar()
{
    if (hasPeek_)
        return peekedUnit_;
    // Read it (the decoding may have kept a CR's follower back), then keep it.
    char32_t c = ReadChar();
    --curColumn_;
    // As CodePointToUnit: beyond the Basic Multilingual Plane is 0.
    char16_t unit = c <= 0xFFFF ? static_cast<char16_t>(c) : char16_t(0);
    if (pendingChar_ != XpNoChar) {
        // A CR's follower is waiting; it is decoded again from the input.
        pendingChar_ = XpNoChar;
        bufPos_ = static_cast<std::size_t>(followerPos_ - bufBase_);
    }
    pendingChar_ = c;
    peekedUnit_ = unit;
    hasPeek_ = true;
    return unit;
}

inline void TXpInCharFilter::ConsumeChar()
{
    if (!hasPeek_) {
        ReadChar();
        return;
    }
    hasPeek_ = false;
    peekedUnit_ = 0;
    pendingChar_ = XpNoChar;
    ++curColumn_;
}
