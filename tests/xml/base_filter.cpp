// The input character filter: encodings, line ends, the Char check, line and
// column, peeking and literal look-ahead, buffer boundaries.
#include "xml/XpChrFlt.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::unique_ptr<TXpInCharFilter> filterOver(const std::string& bytes, int capacity = 8192)
{
    auto s = std::make_unique<TXpMemoryStream>();
    s->writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    s->setPosition(0);
    return std::make_unique<TXpInCharFilter>(std::move(s), capacity);
}

// Every character up to the end marker; bounded so that a filter that never
// ends fails instead of hanging.
std::u32string readAll(TXpInCharFilter& f, std::size_t limit = 100000)
{
    std::u32string out;
    for (std::size_t i = 0; i < limit; ++i) {
        char32_t c = f.ReadChar();
        if (c == XpEndOfInput)
            return out;
        out += c;
    }
    ADD_FAILURE() << "no end of input";
    return out;
}

std::string utf16le(std::u16string_view s, bool mark = true)
{
    std::string out = mark ? "\xFF\xFE" : "";
    for (char16_t u : s) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    }
    return out;
}

std::string utf16be(std::u16string_view s)
{
    std::string out = "\xFE\xFF";
    for (char16_t u : s) {
        out += char(u >> 8);
        out += char(u & 0xFF);
    }
    return out;
}

struct FilterFailure {
    std::u16string reason;
    int line = 0;
    int column = 0;
};

// Reads to the end and returns the filter error raised on the way.
FilterFailure failureOf(TXpInCharFilter& f)
{
    try {
        readAll(f);
    } catch (const EXpFilterError& e) {
        return {e.ReasonText, e.LineNo, e.ColumnNo};
    }
    ADD_FAILURE() << "no EXpFilterError";
    return {};
}

const std::u16string kBadUtf8 = u"Badly formed UTF-8 character in stream";
const std::u16string kBadChar = u"Invalid XML Character found";

} // namespace

TEST(XpFilter, EmptyStream)
{
    auto f = filterOver("");
    EXPECT_TRUE(f->atEnd());
    EXPECT_EQ(f->ReadChar(), XpEndOfInput);
    EXPECT_EQ(f->ReadChar(), XpEndOfInput);
    EXPECT_EQ(f->curLine(), 1);
    EXPECT_EQ(f->curColumn(), 1);

    // A peek at the end leaves the column one lower.
    auto g = filterOver("");
    EXPECT_EQ(g->PeekChar(), char16_t(XpEndOfInput));
    EXPECT_EQ(g->curLine(), 1);
    EXPECT_EQ(g->curColumn(), 0);
    EXPECT_TRUE(g->atEnd());
}

TEST(XpFilter, ByteOrderMarks)
{
    auto le = filterOver(utf16le(u"<a/>\u00E9"));
    EXPECT_EQ(le->encoding(), xpUtf16LE);
    le->SetEncoding(xpIso88591); // a declared encoding never overrides UTF-16
    EXPECT_EQ(le->encoding(), xpUtf16LE);
    EXPECT_EQ(readAll(*le), U"<a/>\u00E9");

    auto be = filterOver(utf16be(u"<b/>\u4E00"));
    EXPECT_EQ(be->encoding(), xpUtf16BE);
    EXPECT_EQ(readAll(*be), U"<b/>\u4E00");

    auto u8 = filterOver("\xEF\xBB\xBF<c/>");
    EXPECT_EQ(u8->encoding(), xpUtf8);
    EXPECT_EQ(readAll(*u8), U"<c/>");

    auto plain = filterOver("<d/>");
    EXPECT_EQ(plain->encoding(), xpUtf8);
    EXPECT_EQ(readAll(*plain), U"<d/>");

    // Only the mark is skipped; a stream that is just a mark is empty.
    auto onlyMark = filterOver("\xFF\xFE");
    EXPECT_FALSE(onlyMark->atEnd());
    EXPECT_EQ(onlyMark->ReadChar(), XpEndOfInput);

    // Shorter than a mark: UTF-8, and EF BB is a truncated sequence.
    auto shortMark = filterOver("\xEF\xBB");
    EXPECT_EQ(shortMark->encoding(), xpUtf8);
    EXPECT_EQ(readAll(*shortMark), U"");
}

TEST(XpFilter, ByteOrderMarkWithTinyBuffers)
{
    for (int cap : {0, 1, 2, 3}) {
        auto le = filterOver(utf16le(u"x\u00E9"), cap);
        EXPECT_EQ(le->encoding(), xpUtf16LE) << cap;
        EXPECT_EQ(readAll(*le), U"x\u00E9") << cap;
        auto u8 = filterOver("\xEF\xBB\xBFy", cap);
        EXPECT_EQ(readAll(*u8), U"y") << cap;
    }
}

TEST(XpFilter, Latin1OnlyWhenSwitched)
{
    auto latin = filterOver("a\xE9z");
    latin->SetEncoding(xpIso88591);
    EXPECT_EQ(readAll(*latin), U"a\u00E9z");

    // Still UTF-8: E9 followed by an ASCII letter is malformed.
    auto utf8 = filterOver("a\xE9z");
    FilterFailure e = failureOf(*utf8);
    EXPECT_EQ(e.reason, kBadUtf8);
    EXPECT_EQ(e.line, 1);
    EXPECT_EQ(e.column, 2);

    // The switch takes effect from the next byte decoded.
    auto mid = filterOver("\xC3\xA9\xC3\xA9");
    EXPECT_EQ(mid->ReadChar(), U'\u00E9');
    mid->SetEncoding(xpIso88591);
    EXPECT_EQ(readAll(*mid), U"\u00C3\u00A9");
}

TEST(XpFilter, LineEndsAndCounters)
{
    struct Case {
        std::string bytes;
        std::u32string chars;
        int lineOfLast;
    } cases[] = {
        {"a\r\nb", U"a\nb", 2},
        {"a\rb", U"a\nb", 2},
        {"a\nb", U"a\nb", 2},
        {"a\r\rb", U"a\n\nb", 3},
        {"a\r\r\nb", U"a\n\nb", 3},
        {"a\n\rb", U"a\n\nb", 3},
        {"a\r", U"a\n", 2},
    };
    for (const Case& k : cases) {
        auto f = filterOver(k.bytes);
        std::u32string got;
        int line = 0, col = 0;
        for (char32_t c; (c = f->ReadChar()) != XpEndOfInput;) {
            if (c != U'\n') {
                line = f->curLine();
                col = f->curColumn() - 1;
            }
            got += c;
        }
        EXPECT_EQ(got, k.chars);
        if (k.chars.back() == U'b') {
            EXPECT_EQ(line, k.lineOfLast);
            EXPECT_EQ(col, 1);
        } else {
            EXPECT_EQ(f->curLine(), k.lineOfLast);
            EXPECT_EQ(f->curColumn(), 1);
        }
    }
    // The same in UTF-16.
    auto w = filterOver(utf16le(u"a\r\nb\rc\r"));
    EXPECT_EQ(readAll(*w), U"a\nb\nc\n");
    EXPECT_EQ(w->curLine(), 4);
}

TEST(XpFilter, ErrorPositions)
{
    FilterFailure e = failureOf(*filterOver("l1\nl2\nabcd\x80xyz"));
    EXPECT_EQ(e.reason, kBadUtf8);
    EXPECT_EQ(e.line, 3);
    EXPECT_EQ(e.column, 5);

    // After a CR LF and a lone CR.
    e = failureOf(*filterOver("a\r\nb\rc\x0B"));
    EXPECT_EQ(e.reason, kBadChar);
    EXPECT_EQ(e.line, 3);
    EXPECT_EQ(e.column, 2);

    // A bad character right after a CR is reported on the next line.
    e = failureOf(*filterOver("ab\r\xFF"));
    EXPECT_EQ(e.reason, kBadUtf8);
    EXPECT_EQ(e.line, 2);
    EXPECT_EQ(e.column, 1);
    e = failureOf(*filterOver("ab\r\x02"));
    EXPECT_EQ(e.reason, kBadChar);
    EXPECT_EQ(e.line, 2);
    EXPECT_EQ(e.column, 1);

    // Bad lead bytes and bad followers.
    for (std::string bad : {"\x80", "\xBF", "\xFE", "\xFF", "\xC3\x41", "\xE2\x82\x41", "\xE2\x41\x82"}) {
        e = failureOf(*filterOver("<" + bad));
        EXPECT_EQ(e.reason, kBadUtf8);
        EXPECT_EQ(e.column, 2);
    }
}

// Overlong forms would let '<' or '&' slip past the markup checks; surrogates
// and values beyond U+10FFFF are no characters.
TEST(XpFilter, Utf8OutOfRangeForms)
{
    for (std::string bad : {"\xC0\xBC", "\xC1\xBF", "\xE0\x80\xBC", "\xE0\x9F\xBF", "\xF0\x80\x80\xBC",
                            "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
                            "\xF7\xBF\xBF\xBF", "\xF8\x88\x80\x80\x80", "\xFC\x84\x80\x80\x80\x80"}) {
        FilterFailure e = failureOf(*filterOver("ab" + bad + "c"));
        EXPECT_EQ(e.reason, kBadUtf8) << bad.size();
        EXPECT_EQ(e.column, 3);
    }
    // The shortest forms at each boundary still decode.
    EXPECT_EQ(readAll(*filterOver("\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBD")),
              std::u32string(U"\u0080\u0800\uD7FF\uE000\U00010000\U0010FFFD"));
}

TEST(XpFilter, CharCheck)
{
    const std::u16string ok;
    struct Case {
        std::string bytes;
        std::u16string reason; // empty: accepted
    } cases[] = {
        {"\xC0\x80", kBadUtf8},                 // U+0000 in an overlong form
        {std::string(1, '\0'), kBadChar},       // U+0000
        {"\x08", kBadChar},                     // control
        {"\x1F", kBadChar},                     // control
        {"\x7F", ok},                           // DEL is a Char
        {"\xED\x9F\xBF", ok},                   // U+D7FF
        {"\xED\xA0\x80", kBadUtf8},             // a surrogate in UTF-8
        {"\xEE\x80\x80", ok},                   // U+E000
        {"\xEF\xBF\xBD", ok},                   // U+FFFD
        {"\xEF\xBF\xBE", kBadChar},             // U+FFFE
        {"\xEF\xBF\xBF", kBadChar},             // U+FFFF
        {"\xF4\x8F\xBF\xBF", ok},               // U+10FFFF
        {"\xF4\x90\x80\x80", kBadUtf8},         // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", kBadUtf8},     // five-byte form
        {"\xFC\x84\x80\x80\x80\x80", kBadUtf8}, // six-byte form
    };
    for (const Case& k : cases) {
        auto f = filterOver("x" + k.bytes + "y");
        if (k.reason.empty()) {
            EXPECT_NO_THROW(readAll(*f)) << testing::PrintToString(k.bytes);
        } else {
            FilterFailure e = failureOf(*f);
            EXPECT_EQ(e.reason, k.reason) << testing::PrintToString(k.bytes);
            EXPECT_EQ(e.column, 2);
        }
    }
}

TEST(XpFilter, SupplementaryCharacters)
{
    auto f = filterOver("\xF0\x9F\x98\x80z");
    EXPECT_EQ(f->PeekChar(), char16_t(0)); // beyond the BMP: the unit 0
    EXPECT_EQ(f->curColumn(), 1);
    EXPECT_EQ(f->PeekChar(), char16_t(0)); // a second peek costs nothing
    EXPECT_EQ(f->curColumn(), 1);
    EXPECT_EQ(f->ReadChar(), char32_t(0x1F600)); // reading gives the code point
    EXPECT_EQ(f->curColumn(), 2);
    f->PeekChar();
    f->ConsumeChar();
    EXPECT_EQ(f->curColumn(), 3);
    EXPECT_EQ(f->ReadChar(), XpEndOfInput);
}

TEST(XpFilter, Utf16Surrogates)
{
    EXPECT_EQ(readAll(*filterOver(utf16le(u"a\U0001F600b"))), U"a\U0001F600b");
    EXPECT_EQ(readAll(*filterOver(utf16be(u"a\U0010FFFFb"))), U"a\U0010FFFFb");

    std::u16string highThenA = u"ab";
    highThenA.insert(1, 1, char16_t(0xD800));
    FilterFailure e = failureOf(*filterOver(utf16le(highThenA)));
    EXPECT_EQ(e.reason, u"Invalid (little-endian) UTF-16 character encoding");
    EXPECT_EQ(e.column, 2);

    std::u16string lowFirst = u"a";
    lowFirst += char16_t(0xDC00);
    lowFirst += char16_t(0xDC00);
    e = failureOf(*filterOver(utf16be(lowFirst)));
    EXPECT_EQ(e.reason, u"Invalid (big-endian) UTF-16 character encoding");

    std::u16string twoHigh = u"a";
    twoHigh += char16_t(0xDBFF);
    twoHigh += char16_t(0xDBFF);
    e = failureOf(*filterOver(utf16le(twoHigh)));
    EXPECT_EQ(e.reason, u"Invalid (little-endian) UTF-16 character encoding");

    // A high surrogate at the very end ends the input quietly.
    std::u16string highAtEnd = u"a";
    highAtEnd += char16_t(0xD800);
    EXPECT_EQ(readAll(*filterOver(utf16le(highAtEnd))), U"a");

    // U+FFFE and U+0000 in UTF-16 are not Chars.
    e = failureOf(*filterOver(utf16le(std::u16string(u"a") + char16_t(0xFFFE))));
    EXPECT_EQ(e.reason, kBadChar);
    e = failureOf(*filterOver(utf16le(std::u16string(u"a") + char16_t(0))));
    EXPECT_EQ(e.reason, kBadChar);
}

TEST(XpFilter, TruncatedInputEndsQuietly)
{
    EXPECT_EQ(readAll(*filterOver("ab\xE2\x82")), U"ab");
    EXPECT_EQ(readAll(*filterOver("ab\xF0")), U"ab");
    EXPECT_EQ(readAll(*filterOver("ab\xFC\x80\x80\x80\x80")), U"ab");
    std::string odd = utf16le(u"<x/>");
    odd += 'y'; // a dangling last byte
    auto f = filterOver(odd);
    EXPECT_EQ(readAll(*f), U"<x/>");
    EXPECT_TRUE(f->atEnd());
    EXPECT_EQ(f->ReadChar(), XpEndOfInput);
}

TEST(XpFilter, ControlCharactersAreNotTheEndOfInput)
{
    // U+0001 is a character like any other control character: rejected
    // where it stands, never taken for the end of the input.
    for (const char* bytes : {"ab\x01" "cd", "a\r\x01" "cd", "ab\x1F"}) {
        auto f = filterOver(bytes);
        try {
            readAll(*f);
            ADD_FAILURE() << "accepted a control character";
        } catch (const EXpFilterError& e) {
            EXPECT_EQ(std::string(e.message()), "Invalid XML Character found");
        }
    }
    // U+FFFF, the value that marks the end, is no character of the input.
    auto g = filterOver("ab\xEF\xBF\xBF");
    EXPECT_THROW(readAll(*g), EXpFilterError);
}

TEST(XpFilter, PeekDoesNotAdvanceTheColumn)
{
    auto f = filterOver("ab\ncd");
    EXPECT_EQ(f->PeekChar(), u'a');
    EXPECT_EQ(f->curColumn(), 1);
    EXPECT_EQ(f->PeekChar(), u'a');
    EXPECT_EQ(f->curColumn(), 1);
    f->ConsumeChar();
    EXPECT_EQ(f->curColumn(), 2);
    EXPECT_EQ(f->PeekChar(), u'b');
    EXPECT_EQ(f->ReadChar(), U'b'); // a read after a peek returns the peeked character
    EXPECT_EQ(f->curColumn(), 3);
    EXPECT_EQ(f->PeekChar(), u'\n');
    EXPECT_EQ(f->curLine(), 2);
    EXPECT_EQ(f->curColumn(), 0);
    f->ConsumeChar();
    EXPECT_EQ(f->curLine(), 2);
    EXPECT_EQ(f->curColumn(), 1);
    // A read of a peeked line feed does not count the line twice.
    auto g = filterOver("\nx");
    g->PeekChar();
    EXPECT_EQ(g->ReadChar(), U'\n');
    EXPECT_EQ(g->curLine(), 2);
    EXPECT_EQ(g->curColumn(), 1);
    // ConsumeChar without a peek consumes the next character.
    f->ConsumeChar();
    EXPECT_EQ(f->curColumn(), 2);
    EXPECT_EQ(f->ReadChar(), U'd');
}

TEST(XpFilter, PeekAtACarriageReturn)
{
    auto f = filterOver("a\rb\r\nc");
    f->ConsumeChar();
    EXPECT_EQ(f->PeekChar(), u'\n');
    f->ConsumeChar();
    EXPECT_EQ(f->PeekChar(), u'b'); // the follower is not lost
    f->ConsumeChar();
    EXPECT_EQ(f->PeekChar(), u'\n');
    f->ConsumeChar();
    EXPECT_EQ(f->PeekChar(), u'c');
    EXPECT_EQ(f->curLine(), 3);
    EXPECT_EQ(f->curColumn(), 1);
    f->ConsumeChar();
    EXPECT_EQ(f->PeekChar(), char16_t(XpEndOfInput));

    // A multi-byte follower that straddles a buffer refill survives the peek.
    for (int cap = 0; cap <= 9; ++cap) {
        for (const std::string& bytes : {std::string("a\r\xC3\xA9\r\xE4\xB8\x80\r\xF0\x9F\x98\x80z"),
                                         utf16le(u"a\r\u00E9\r\U0001F600z")}) {
            auto g = filterOver(bytes, cap);
            std::u16string units;
            for (char16_t u; (u = g->PeekChar()) != char16_t(XpEndOfInput); g->ConsumeChar())
                units += u;
            EXPECT_EQ(units, bytes[0] == 'a' ? std::u16string(u"a\n\u00E9\n\u4E00\n") + char16_t(0) + u"z"
                                             : std::u16string(u"a\n\u00E9\n") + char16_t(0) + u"z")
                << "capacity " << cap;
            EXPECT_EQ(g->curLine(), bytes[0] == 'a' ? 4 : 3);
        }
    }

    // The follower kept back by a read is delivered next, also in UTF-16.
    auto w = filterOver(utf16be(u"\r\u4E00"));
    EXPECT_EQ(w->ReadChar(), U'\n');
    EXPECT_EQ(w->PeekChar(), u'\u4E00');
    EXPECT_EQ(w->ReadChar(), U'\u4E00');
    EXPECT_EQ(w->ReadChar(), XpEndOfInput);
}

TEST(XpFilter, MatchLiteral)
{
    // Failure leaves everything as it was.
    auto f = filterOver("x\n<!-a");
    f->ReadChar();
    f->ReadChar();
    EXPECT_FALSE(f->MatchLiteral(U"<!--"));
    EXPECT_EQ(f->curLine(), 2);
    EXPECT_EQ(f->curColumn(), 1);
    EXPECT_EQ(f->PeekChar(), u'<');
    EXPECT_EQ(f->curColumn(), 1);
    EXPECT_FALSE(f->MatchLiteral(U"<!--")); // also after a peek
    EXPECT_EQ(f->PeekChar(), u'<');
    EXPECT_TRUE(f->MatchLiteral(U"<!-"));
    EXPECT_EQ(f->curColumn(), 4);
    EXPECT_EQ(f->ReadChar(), U'a');

    // Success consumes exactly the literal.
    auto g = filterOver("<!--x");
    EXPECT_TRUE(g->MatchLiteral(U"<!--"));
    EXPECT_EQ(g->curColumn(), 5);
    EXPECT_FALSE(g->atEnd());
    EXPECT_EQ(g->ReadChar(), U'x');

    // Input ending inside the literal.
    auto h = filterOver("?");
    EXPECT_FALSE(h->MatchLiteral(U"?>"));
    EXPECT_FALSE(h->atEnd());
    EXPECT_EQ(h->ReadChar(), U'?');
    EXPECT_TRUE(h->atEnd() == false);
    EXPECT_EQ(h->ReadChar(), XpEndOfInput);

    // A match that uses up the input sets the end.
    auto k = filterOver("a?>");
    k->ReadChar();
    EXPECT_TRUE(k->MatchLiteral(U"?>"));
    EXPECT_TRUE(k->atEnd());

    // Multi-byte characters and line ends inside the look-ahead.
    auto m = filterOver("\xC3\xA9t\xC3\xA9\r\nz");
    EXPECT_FALSE(m->MatchLiteral(U"\u00E9t\u00E9x"));
    EXPECT_TRUE(m->MatchLiteral(U"\u00E9t\u00E9\n"));
    EXPECT_EQ(m->curLine(), 2);
    EXPECT_EQ(m->curColumn(), 1);
    EXPECT_EQ(m->ReadChar(), U'z');

    // A decoding error inside the look-ahead escapes, and the filter is rolled back.
    auto bad = filterOver("<!\x80");
    EXPECT_THROW(bad->MatchLiteral(U"<!--"), EXpFilterError);
    EXPECT_EQ(bad->curColumn(), 1);
    EXPECT_EQ(bad->PeekChar(), u'<');

    EXPECT_TRUE(g->MatchLiteral(U"")); // nothing to match
}

TEST(XpFilter, StreamOwnershipAndStartPosition)
{
    TMemoryStream s;
    s.writeBuffer("skip<a/>", 8);
    s.setPosition(4);
    {
        TXpInCharFilter f(s, 3);
        EXPECT_FALSE(f.ownsStream());
        EXPECT_EQ(f.StreamSizeAtStart(), 8);
        EXPECT_EQ(readAll(f), U"<a/>");
    }
    EXPECT_EQ(s.size(), 8); // still the caller's
    EXPECT_THROW(TXpInCharFilter(std::unique_ptr<TStream>(), 10), EXpStreamError);
}

namespace {

struct TestLocation : TXpBaseDirContext {
    void SplitLocation(const TXpBaseDirContext*, const std::string& location) override
    {
        auto p = location.rfind('/');
        directory = location.substr(0, p + 1);
        fileName = location.substr(p + 1);
    }
    std::unique_ptr<TXpBaseDirContext> CreateContext(const TXpBaseDirContext* parent,
                                                     const std::string& location) const override
    {
        auto c = std::make_unique<TestLocation>();
        c->SplitLocation(parent, location);
        return c;
    }
};

} // namespace

TEST(XpFilter, Location)
{
    auto f = filterOver("x");
    EXPECT_EQ(f->LocationText(), "");
    EXPECT_EQ(f->location(), nullptr);
    TestLocation base;
    f->setLocation(base.CreateContext(nullptr, "/srv/doc/a.xml"));
    EXPECT_EQ(f->location()->directory, "/srv/doc/");
    EXPECT_EQ(f->location()->fileName, "a.xml");
    EXPECT_EQ(f->LocationText(), "/srv/doc/a.xml");
}

// Whatever the buffer size, the filter delivers the same characters, the same
// counters and the same look-ahead results, and never reads past its buffer.
TEST(XpFilter, BufferSizesDoNotMatter)
{
    std::string doc = "\xEF\xBB\xBF<?xml version='1.0'?>\r\n<!-- c\xC3\xA9 -->\r<a>\xE4\xB8\x80\xF0\x9F\x98\x80</a>\n"
                      "<![CDATA[x]]>\r\n\r\n<!DOCTYPE d>?>";
    std::string w = utf16le(u"<?xml?>\r\n<!-- c\u00E9 -->\r<a>\u4E00\U0001F600</a>\n<![CDATA[x]]>\r\n\r\n<!DOCTYPE d>?>");
    const std::u32string literals[] = {U"<?xml", U"<!--", U"<![CDATA[", U"]]>", U"<!DOCTYPE", U"?>", U"-->", U"\n\n"};

    for (const std::string& bytes : {doc, w}) {
        auto trace = [&](int cap) {
            auto f = filterOver(bytes, cap);
            std::string t;
            for (int step = 0; step < 10000; ++step) {
                bool any = false;
                for (const auto& lit : literals)
                    if (f->MatchLiteral(lit)) {
                        t += "[M" + std::to_string(lit.size()) + "]";
                        any = true;
                    }
                if (any)
                    continue;
                char16_t u = f->PeekChar();
                t += std::to_string(u) + "@" + std::to_string(f->curLine()) + ":" + std::to_string(f->curColumn()) + " ";
                if (u == char16_t(XpEndOfInput))
                    break;
                if (step % 3 == 0)
                    f->ConsumeChar();
                else
                    f->ReadChar();
            }
            t += f->atEnd() ? "END" : "OPEN";
            return t;
        };
        std::string reference = trace(8192);
        EXPECT_NE(reference.find("[M9]"), std::string::npos);
        for (int cap = 0; cap <= 70; ++cap)
            EXPECT_EQ(trace(cap), reference) << "capacity " << cap;
    }
}

// Random bytes: every outcome is a clean end or a filter error, within a
// bounded number of reads, and never a read outside the buffer.
TEST(XpFilter, RandomInputTerminates)
{
    std::mt19937 rng(12345);
    const std::string pieces[] = {"a", "<", "\r", "\n", "\r\n", "\xC3\xA9", "\xE4\xB8\x80", "\xF0\x9F\x98\x80",
                                  "\x80", "\xFF", "\xFE", "\xC3", "\xED\xA0\x80", "\x01", std::string(1, '\0')};
    const std::size_t pieceCount = sizeof pieces / sizeof pieces[0];
    for (int round = 0; round < 400; ++round) {
        std::string bytes;
        if (round % 4 == 1)
            bytes = "\xFF\xFE";
        else if (round % 4 == 2)
            bytes = "\xFE\xFF";
        int n = int(rng() % 40);
        for (int i = 0; i < n; ++i) {
            if (rng() % 3 == 0)
                bytes += char(rng() % 256);
            else
                bytes += pieces[rng() % pieceCount];
        }
        auto f = filterOver(bytes, int(rng() % 9));
        if (round % 5 == 0)
            f->SetEncoding(xpIso88591);
        std::size_t reads = 0;
        try {
            for (int attempts = 0;; ++attempts) {
                ASSERT_LE(attempts, 4000);
                if (rng() % 4 == 0) {
                    f->MatchLiteral(U"<\u00E9\n");
                    continue;
                }
                ASSERT_LE(++reads, bytes.size() + 2);
                char16_t u = f->PeekChar();
                f->ConsumeChar();
                if (u == char16_t(XpEndOfInput))
                    break;
            }
            EXPECT_TRUE(f->atEnd());
        } catch (const EXpFilterError& e) {
            EXPECT_GE(e.LineNo, 1);
            EXPECT_GE(e.ColumnNo, 1);
        }
    }
}

// Runs must give the characters, lines, columns and errors of reading one by
// one, whatever the encoding, the stops and the buffer size.
TEST(XpFilter, RunsReadWhatSingleCharactersRead)
{
    unsigned char stops[128] = {};
    stops[static_cast<unsigned char>('<')] = 1;
    stops[static_cast<unsigned char>('&')] = 1;
    unsigned char noLineFeed[128] = {};
    noLineFeed[0x0A] = 1;

    struct Step {
        char32_t c;
        int line, column;
        bool operator==(const Step&) const = default;
    };
    // Characters with the position after each; a filter error ends the list
    // with its reason folded into the character (0) and its position.
    auto trace = [&](const std::string& bytes, int capacity, const unsigned char* table, bool ascii, bool runs,
                     std::u16string* collected) {
        std::vector<Step> steps;
        auto f = filterOver(bytes, capacity);
        try {
            for (int i = 0; i < 100000; ++i) {
                if (runs) {
                    std::u16string got;
                    const int line = f->curLine(), column = f->curColumn();
                    std::size_t n = f->ReadRun(TXpRunStops(table), ascii, &got);
                    EXPECT_EQ(n, got.size());
                    if (collected)
                        *collected += got;
                    // A run holds no character it must stop at.
                    for (char16_t u : got) {
                        const bool stops = u < 0x80 ? table[u] || (u < 0x20 && u != 0x09 && u != 0x0A)
                                                    : ascii || (u >= 0xD800 && u <= 0xDFFF) || u >= 0xFFFE;
                        EXPECT_FALSE(stops) << "U+" << std::hex << unsigned(u);
                    }
                    // Replay the run as single steps, rebuilding positions.
                    int l = line, c = column;
                    for (char16_t u : got) {
                        if (u == u'\n') {
                            ++l;
                            c = 1;
                        } else {
                            ++c;
                        }
                        steps.push_back({u, l, c});
                    }
                    EXPECT_EQ(l, f->curLine());
                    EXPECT_EQ(c, f->curColumn());
                }
                char32_t c = f->ReadChar();
                if (c == XpEndOfInput)
                    break;
                if (collected)
                    *collected += c <= 0xFFFF ? char16_t(c) : u'?';
                steps.push_back({c, f->curLine(), f->curColumn()});
            }
        } catch (const EXpFilterError& e) {
            steps.push_back({0, e.LineNo, e.ColumnNo});
        }
        return steps;
    };

    const std::u16string texts[] = {
        u"<a>plain text &amp; more</a>",
        u"line one\nline two\r\nline three\rfour\n\n",
        u"tab\there \u00e9t\u00e9 \u20ac \U0001F600 done",
        u"bad \u0001 control",
        u"bad \uFFFE unit",
        u"ends with CR\r",
        std::u16string(3000, u'x') + u"\n" + std::u16string(5000, u'y') + u"<z>",
    };
    // Every kind of character at every place of a stretch read several
    // units at a time, after plain text and line feeds.
    std::vector<std::u16string> all(std::begin(texts), std::end(texts));
    for (const std::u16string& special : std::vector<std::u16string>{u"<", u"&", u"\n", u"\t", u"\r", u"\u0001", u"\u001F", u" ", u"~", u"\u007F",
                                         u"\u0080", u"\u00e9", u"\uD7FF", u"\U0001F600", std::u16string(1, char16_t(0xDC00)),
                                         u"\uE000", u"\uFFFD", u"\uFFFE", u"\uFFFF"})
        for (std::size_t at = 0; at < 17; ++at)
            all.push_back(u"ab\ncd" + std::u16string(10 + at, u'x') + special + u"tail\nend");
    unsigned char tabStops[128] = {};
    tabStops[0x09] = 1;
    tabStops[static_cast<unsigned char>('~')] = 1;
    unsigned char manyStops[128] = {};
    for (char c : std::string_view("<&]'\"%~"))
        manyStops[static_cast<unsigned char>(c)] = 1;
    for (const std::u16string& text : all) {
        std::string utf8;
        for (std::size_t i = 0; i < text.size(); ++i) {
            char32_t c = text[i];
            if (c >= 0xD800 && c <= 0xDBFF)
                c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
            if (c < 0x80) {
                utf8 += char(c);
            } else if (c < 0x800) {
                utf8 += char(0xC0 | (c >> 6));
                utf8 += char(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                utf8 += char(0xE0 | (c >> 12));
                utf8 += char(0x80 | ((c >> 6) & 0x3F));
                utf8 += char(0x80 | (c & 0x3F));
            } else {
                utf8 += char(0xF0 | (c >> 18));
                utf8 += char(0x80 | ((c >> 12) & 0x3F));
                utf8 += char(0x80 | ((c >> 6) & 0x3F));
                utf8 += char(0x80 | (c & 0x3F));
            }
        }
        for (const std::string& bytes : {utf8, utf16le(text), utf16be(text)}) {
            for (int capacity : {1, 3, 7, 64, 8192}) {
                for (const unsigned char* table : {stops, noLineFeed, tabStops, manyStops}) {
                    for (bool ascii : {false, true}) {
                        SCOPED_TRACE(testing::Message() << "capacity " << capacity << " ascii " << ascii);
                        auto single = trace(bytes, capacity, table, ascii, false, nullptr);
                        std::u16string collected;
                        auto withRuns = trace(bytes, capacity, table, ascii, true, &collected);
                        EXPECT_TRUE(single == withRuns);
                    }
                }
            }
        }
    }
}

TEST(XpFilter, RunsStopAtStopsAndWaitForAPeek)
{
    unsigned char stops[128] = {};
    stops[static_cast<unsigned char>('<')] = 1;
    auto f = filterOver("abc\ndef<gh");
    std::u16string got;
    EXPECT_EQ(f->ReadRun(TXpRunStops(stops), false, &got), 7u);
    EXPECT_EQ(got, u"abc\ndef");
    EXPECT_EQ(f->curLine(), 2);
    EXPECT_EQ(f->curColumn(), 4);
    EXPECT_EQ(f->ReadRun(TXpRunStops(stops), false, &got), 0u); // at the stop
    EXPECT_EQ(f->PeekChar(), u'<');
    EXPECT_EQ(f->ReadRun(TXpRunStops(stops), false, nullptr), 0u); // nothing while peeked
    EXPECT_EQ(f->ReadChar(), U'<');
    EXPECT_EQ(f->ReadRun(TXpRunStops(stops), false, nullptr), 2u);
    EXPECT_EQ(f->ReadChar(), XpEndOfInput);
    // Latin-1 bytes above 0x7F belong to runs; UTF-8 sequences do not.
    auto latin = filterOver("\xE9t\xE9<");
    latin->SetEncoding(xpIso88591);
    got.clear();
    EXPECT_EQ(latin->ReadRun(TXpRunStops(stops), false, &got), 3u);
    EXPECT_EQ(got, u"\u00e9t\u00e9");
    auto utf8 = filterOver("t\xC3\xA9");
    EXPECT_EQ(utf8->ReadRun(TXpRunStops(stops), false, nullptr), 1u);
}

// Taking one expected character where it stands next must leave the filter
// as matching it as a literal does: same characters, positions and end
// afterwards, whatever the encoding, buffer size and peek before it.
TEST(XpFilter, ConsumingANextCharacterMatchesItsLiteral)
{
    const std::u16string texts[] = {u">", u"a>b", u";\n>", u">\r\n>", u"\u00e9>;", u">>", u"x"};
    for (const std::u16string& text : texts) {
        for (const std::string& bytes : {utf16le(text), utf16be(text), std::string(text.begin(), text.end())}) {
            for (int capacity : {1, 2, 3, 8192}) {
                for (std::size_t skip = 0; skip <= text.size(); ++skip) {
                    for (bool peek : {false, true}) {
                        for (char16_t want : {u'>', u';', u'a'}) {
                            auto trace = [&](bool fast) {
                                std::vector<std::int64_t> steps;
                                auto f = filterOver(bytes, capacity);
                                try {
                                    for (std::size_t i = 0; i < skip; ++i)
                                        f->ReadChar();
                                    if (peek)
                                        f->PeekChar();
                                    bool taken = fast && f->ConsumeIfNext(want);
                                    if (!taken)
                                        taken = f->MatchLiteral(std::u32string(1, want));
                                    steps.push_back(taken);
                                    steps.push_back(f->atEnd());
                                    for (int i = 0; i < 10; ++i) {
                                        steps.push_back(f->ReadChar());
                                        steps.push_back(f->curLine());
                                        steps.push_back(f->curColumn());
                                        steps.push_back(f->atEnd());
                                    }
                                } catch (const EXpFilterError& e) {
                                    steps.push_back(-1);
                                    steps.push_back(e.LineNo);
                                    steps.push_back(e.ColumnNo);
                                }
                                return steps;
                            };
                            EXPECT_EQ(trace(true), trace(false)) << "skip " << skip << " peek " << peek
                                                                  << " capacity " << capacity;
                        }
                    }
                }
            }
        }
    }
}
