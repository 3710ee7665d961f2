#include "xml/XpChrFlt.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Results of DecodeRaw that are not characters (above every value a six-byte
// UTF-8 form can carry).
constexpr char32_t kBadUtf8 = 0xFFFFFFF0u;
constexpr char32_t kBadUtf16 = 0xFFFFFFF1u;
constexpr char32_t kFirstError = kBadUtf8;

// Bytes a literal of n characters can span: every character may be a CR
// whose follower is decoded too, each at most six bytes long.
std::size_t lookAheadBytes(std::size_t n) { return 12 * (n + 1); }

// ASCII characters no run may hold: controls but tab and line feed.
struct RunControls {
    unsigned char stop[128] = {};
    constexpr RunControls()
    {
        for (int c = 0; c < 0x20; ++c)
            stop[c] = c != 0x09 && c != 0x0A;
    }
};
constexpr RunControls kRunControlTable;
constexpr const unsigned char* kRunControls = kRunControlTable.stop;

} // namespace

// ---- base: stream and buffer ----------------------------------------------------

TXpBaseCharFilter::TXpBaseCharFilter(TStream& stream, int capacity)
    : stream_(&stream), bufCapacity_(capacity)
{
    Init();
}

TXpBaseCharFilter::TXpBaseCharFilter(std::unique_ptr<TStream> stream, int capacity)
    : owned_(std::move(stream)), stream_(owned_.get()), bufCapacity_(capacity)
{
    if (!stream_)
        throw EXpStreamError(0, u"No stream to read");
    Init();
}

void TXpBaseCharFilter::Init()
{
    bufBase_ = stream_->position();
    streamPosAfterFill_ = bufBase_;
    streamSize_ = stream_->size();
    // A small source takes a buffer of its size: a batch of small pages
    // would otherwise zero a whole buffer for each of them. One byte more
    // than the rest lets the first read meet the end.
    const int64_t rest = streamSize_ - bufBase_;
    if (rest >= 0 && rest < bufCapacity_)
        bufCapacity_ = static_cast<int>(std::min<int64_t>(bufCapacity_, std::max<int64_t>(rest + 1, 64)));
    buffer_.resize(static_cast<std::size_t>(std::max(bufCapacity_, 1)));
}

bool TXpBaseCharFilter::FillBuffer()
{
    // Keep the unread bytes, and those from keepFrom_ on: they move to the
    // front of the buffer.
    std::size_t discard = bufPos_;
    if (keepFrom_ >= bufBase_)
        discard = std::min(discard, static_cast<std::size_t>(keepFrom_ - bufBase_));
    if (discard > 0) {
        std::size_t kept = bufFill_ - discard;
        if (kept > 0)
            std::memmove(buffer_.data(), buffer_.data() + discard, kept);
        bufBase_ += static_cast<int64_t>(discard);
        bufFill_ = kept;
        bufPos_ -= discard;
    }
    std::size_t block = static_cast<std::size_t>(std::max(bufCapacity_, 1));
    if (buffer_.size() < bufFill_ + block)
        buffer_.resize(bufFill_ + block);
    int64_t n = stream_->read(buffer_.data() + bufFill_, static_cast<int64_t>(block));
    if (n <= 0) {
        streamDone_ = true;
        return false;
    }
    bufFill_ += static_cast<std::size_t>(n);
    streamPosAfterFill_ += n;
    return true;
}

void TXpBaseCharFilter::EnsureAvailable(std::size_t count)
{
    while (bufFill_ - bufPos_ < count && !streamDone_) {
        if (!FillBuffer())
            break;
    }
}

// ---- filter --------------------------------------------------------------------------

TXpInCharFilter::TXpInCharFilter(TStream& stream, int capacity) : TXpBaseCharFilter(stream, capacity)
{
    DetectEncoding();
}

TXpInCharFilter::TXpInCharFilter(std::unique_ptr<TStream> stream, int capacity)
    : TXpBaseCharFilter(std::move(stream), capacity)
{
    DetectEncoding();
}

void TXpInCharFilter::DetectEncoding()
{
    atEnd_ = streamSize_ - bufBase_ <= 0;
    EnsureAvailable(3);
    std::size_t avail = bufFill_ - bufPos_;
    const unsigned char* b = buffer_.data() + bufPos_;
    encoding_ = xpUtf8;
    if (avail >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        encoding_ = xpUtf16BE;
        bufPos_ += 2;
    } else if (avail >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        encoding_ = xpUtf16LE;
        bufPos_ += 2;
    } else if (avail >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        utf8Mark_ = true;
        bufPos_ += 3;
    }
    ChooseRunReader();
}

void TXpInCharFilter::SetEncoding(TXpCharEncoding encoding)
{
    if (encoding_ == xpUtf16LE || encoding_ == xpUtf16BE)
        return;
    encoding_ = encoding;
    ChooseRunReader();
}

void TXpInCharFilter::ChooseRunReader()
{
    switch (encoding_) {
    case xpUtf16LE:
        runReader_ = &TXpInCharFilter::ReadRunIn<xpUtf16LE>;
        break;
    case xpUtf16BE:
        runReader_ = &TXpInCharFilter::ReadRunIn<xpUtf16BE>;
        break;
    case xpIso88591:
        runReader_ = &TXpInCharFilter::ReadRunIn<xpIso88591>;
        break;
    default:
        runReader_ = &TXpInCharFilter::ReadRunIn<xpUtf8>;
        break;
    }
}

TXpRunStops::TXpRunStops(const unsigned char* stops)
{
    for (int c = 0; c < 128; ++c)
        kind[c] = (stops[c] || kRunControls[c]) ? 1 : c == 0x0A ? 2 : 0;
}

template <TXpCharEncoding E>
std::size_t TXpInCharFilter::ReadRunIn(const TXpRunStops& runStops, bool asciiOnly, std::u16string* out)
{
    const unsigned char* const kind = runStops.kind;
    constexpr bool wide = E == xpUtf16LE || E == xpUtf16BE;
    constexpr std::size_t width = wide ? 2 : 1;
    const unsigned char* const start = buffer_.data() + bufPos_;
    const unsigned char* p = start;
    const unsigned char* const end = start + (bufFill_ - bufPos_) / width * width;
    const unsigned char* lineStart = nullptr; // after the last line feed of the run
    int32_t lines = 0;
    while (p != end) {
        unsigned u;
        if constexpr (E == xpUtf16LE)
            u = p[0] | (unsigned(p[1]) << 8);
        else if constexpr (E == xpUtf16BE)
            u = (unsigned(p[0]) << 8) | p[1];
        else
            u = p[0];
        if (u < 0x80) {
            // Control characters other than tab and line feed stop every
            // run (so does the CR, whose follower decides the line end).
            if (const unsigned char k = kind[u]) {
                if (k == 1)
                    break;
                ++lines;
                lineStart = p + width;
            }
        } else if (asciiOnly || E == xpUtf8 || (wide && ((u >= 0xD800 && u <= 0xDFFF) || u >= 0xFFFE))) {
            break;
        }
        p += width;
    }
    const std::size_t count = static_cast<std::size_t>(p - start) / width;
    if (count == 0)
        return 0;
    if (out) {
        const std::size_t at = out->size();
        out->resize(at + count);
        char16_t* dst = out->data() + at;
        if constexpr (E == xpUtf16LE && std::endian::native == std::endian::little) {
            std::memcpy(dst, start, count * 2);
        } else {
            for (const unsigned char* q = start; q != p; q += width) {
                if constexpr (E == xpUtf16LE)
                    *dst++ = static_cast<char16_t>(q[0] | (q[1] << 8));
                else if constexpr (E == xpUtf16BE)
                    *dst++ = static_cast<char16_t>((q[0] << 8) | q[1]);
                else
                    *dst++ = q[0];
            }
        }
    }
    bufPos_ += static_cast<std::size_t>(p - start);
    if (lines > 0) {
        curLine_ += lines;
        curColumn_ = 1 + static_cast<int32_t>((p - lineStart) / width);
    } else {
        curColumn_ += static_cast<int32_t>(count);
    }
    return count;
}

char32_t TXpInCharFilter::DecodeRaw()
{
    if (inputEnded_)
        return XpEndOfInput;
    char32_t c = 0;
    unsigned char b = 0;
    switch (encoding_) {
    case xpIso88591:
        if (!GetByte(b))
            break;
        c = b;
        goto decoded;
    case xpUtf16LE:
    case xpUtf16BE: {
        unsigned char b1;
        if (!GetByte(b) || !GetByte(b1))
            break; // a dangling last byte is dropped
        char16_t u = encoding_ == xpUtf16LE ? char16_t(b | (b1 << 8)) : char16_t((b << 8) | b1);
        if (!IsSurrogate(u)) {
            c = u;
            goto decoded;
        }
        unsigned char b2, b3;
        if (!GetByte(b2) || !GetByte(b3))
            break;
        char16_t u2 = encoding_ == xpUtf16LE ? char16_t(b2 | (b3 << 8)) : char16_t((b2 << 8) | b3);
        bool both;
        if (!PairToCodePoint(u, u2, c, both) || !both)
            return kBadUtf16;
        goto decoded;
    }
    default: { // UTF-8
        if (!GetByte(b))
            break;
        int len = Utf8Length(b);
        if (len == 0)
            return kBadUtf8;
        if (len == 1) {
            c = b;
            goto decoded;
        }
        unsigned char seq[6];
        seq[0] = b;
        for (int i = 1; i < len; ++i) {
            if (!GetByte(seq[i]))
                goto ended; // a truncated sequence at the end is dropped
            if ((seq[i] & 0xC0) != 0x80)
                return kBadUtf8;
        }
        Utf8Decode(seq, static_cast<std::size_t>(len), len, c);
        // Overlong forms would smuggle markup such as '<' past the checks;
        // surrogates and values past U+10FFFF are no characters at all.
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
        if (c < kLeast[len] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            return kBadUtf8;
        goto decoded;
    }
    }
ended:
    inputEnded_ = true;
    return XpEndOfInput;

decoded:
    return c;
}

char32_t TXpInCharFilter::DecodeSlow()
{
    char32_t c;
    if (pendingChar_ != XpNoChar) {
        c = pendingChar_;
        pendingChar_ = XpNoChar;
    } else {
        c = DecodeRaw();
        if (c >= kFirstError)
            RaiseDecodeError(c);
    }
    if (c == 0x0D) {
        // The follower may have to be decoded again: its bytes must survive
        // a refill.
        int64_t followerAt = StreamOffset();
        struct KeepGuard {
            int64_t& mark;
            ~KeepGuard() { mark = -1; }
        } keep{keepFrom_};
        keepFrom_ = followerAt;
        char32_t f = DecodeRaw();
        if (f >= kFirstError) {
            // Report the bad follower at its own position, after this line end.
            bufPos_ = static_cast<std::size_t>(followerAt - bufBase_);
        } else if (f != 0x0A && !(f == XpEndOfInput && inputEnded_)) {
            pendingChar_ = f;
            followerPos_ = followerAt;
        }
        return 0x0A;
    }
    if (!IsXmlChar(c) && !(c == XpEndOfInput && inputEnded_))
        RaiseDecodeError(c);
    return c;
}

void TXpInCharFilter::RaiseDecodeError(char32_t error)
{
    const char16_t* reason;
    if (error == kBadUtf8)
        reason = u"Badly formed UTF-8 character in stream";
    else if (error == kBadUtf16)
        reason = encoding_ == xpUtf16BE ? u"Invalid (big-endian) UTF-16 character encoding"
                                        : u"Invalid (little-endian) UTF-16 character encoding";
    else
        reason = u"Invalid XML Character found";
    throw EXpFilterError(StreamOffset(), curLine_, curColumn_, reason);
}

bool TXpInCharFilter::MatchLiteral(std::u32string_view literal)
{
    if (literal.empty())
        return true;
    EnsureAvailable(lookAheadBytes(literal.size()));

    const std::size_t savedPos = bufPos_;
    const char16_t savedPeekedUnit = peekedUnit_;
    const bool savedHasPeek = hasPeek_;
    const char32_t savedPending = pendingChar_;
    const int32_t savedColumn = curColumn_;
    const int32_t savedLine = curLine_;
    const bool savedAtEnd = atEnd_;
    const bool savedInputEnded = inputEnded_;
    const int64_t savedFollowerPos = followerPos_;
    auto restore = [&] {
        bufPos_ = savedPos;
        peekedUnit_ = savedPeekedUnit;
        hasPeek_ = savedHasPeek;
        pendingChar_ = savedPending;
        curColumn_ = savedColumn;
        curLine_ = savedLine;
        atEnd_ = savedAtEnd;
        inputEnded_ = savedInputEnded;
        followerPos_ = savedFollowerPos;
    };

    // Look-ahead reads only what is buffered, so the saved position stays valid.
    inLookAhead_ = true;
    bool matched = true;
    try {
        for (char32_t want : literal) {
            if (ReadChar() != want) {
                matched = false;
                break;
            }
        }
    } catch (...) {
        inLookAhead_ = false;
        restore();
        throw;
    }
    inLookAhead_ = false;
    if (!matched) {
        restore();
        return false;
    }
    hasPeek_ = false;
    peekedUnit_ = 0;
    NoteEndAfterMatch();
    return true;
}
