// Base helpers of the XML checker: character classes, conversions, wide-text
// helpers, the exception family, the component and stream classes.
#include "xml/XpBase.h"
#include "xml/XpExcept.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

struct ClassCase {
    char32_t c;
    bool expected;
};

void expectClass(bool (*test)(char32_t), const char* name, std::initializer_list<ClassCase> cases)
{
    for (const ClassCase& k : cases)
        EXPECT_EQ(test(k.c), k.expected) << name << " U+" << std::hex << uint32_t(k.c);
}

} // namespace

TEST(XpCharClasses, CharBoundaries)
{
    expectClass(IsXmlChar, "Char",
                {{0x00, false}, {0x08, false}, {0x09, true}, {0x0A, true}, {0x0B, false}, {0x0C, false},
                 {0x0D, true}, {0x1F, false}, {0x20, true}, {0xD7FF, true}, {0xD800, false},
                 {0xDFFF, false}, {0xE000, true}, {0xFFFD, true}, {0xFFFE, false}, {0xFFFF, false},
                 {0x10000, true}, {0x10FFFF, true}, {0x110000, false}, {0xFFFFFFFF, false}});
}

TEST(XpCharClasses, BaseCharBoundaries)
{
    expectClass(IsBaseChar, "BaseChar",
                {{0x40, false}, {0x41, true}, {0x5A, true}, {0x5B, false}, {0x60, false}, {0x61, true},
                 {0x7A, true}, {0x7B, false}, {0xBF, false}, {0xC0, true}, {0xD6, true}, {0xD7, false},
                 {0xD8, true}, {0xF6, true}, {0xF7, false}, {0xF8, true}, {0xFF, true}, {0x100, true},
                 {0x131, true}, {0x132, false}, {0x133, false}, {0x134, true}, {0x13E, true},
                 {0x13F, false}, {0x140, false}, {0x141, true}, {0x149, false}, {0x17F, false},
                 {0x180, true}, {0x1C3, true}, {0x1C4, false}, {0x1CC, false}, {0x1CD, true},
                 {0x1F0, true}, {0x1F1, false}, {0x1F3, false}, {0x1F4, true}, {0x1F6, false},
                 {0x1FA, true}, {0x217, true}, {0x218, false}, {0x24F, false}, {0x250, true},
                 {0x2A8, true}, {0x2A9, false}, {0x2BA, false}, {0x2BB, true}, {0x2C1, true},
                 {0x2C2, false}, {0x385, false}, {0x386, true}, {0x387, false}, {0x388, true},
                 {0x38B, false}, {0x38C, true}, {0x38D, false}, {0x3A2, false}, {0x3CF, false},
                 {0x3DA, true}, {0x3DB, false}, {0x3E0, true}, {0x3E1, false}, {0x3F3, true},
                 {0x3F4, false}, {0x400, false}, {0x40D, false}, {0x450, false}, {0x482, false},
                 {0x48F, false}, {0x490, true}, {0x4C5, false}, {0x4F9, true}, {0x4FA, false},
                 {0x530, false}, {0x531, true}, {0x559, true}, {0x55A, false}, {0x5EA, true},
                 {0x5EB, false}, {0x6B7, true}, {0x6B8, false}, {0x6D5, true}, {0x6D6, false},
                 {0x93D, true}, {0x93E, false}, {0xE2E, true}, {0xE2F, false}, {0xE30, true},
                 {0xE31, false}, {0xF69, true}, {0xF6A, false}, {0x10A0, true}, {0x10C6, false},
                 {0x1100, true}, {0x1101, false}, {0x11F9, true}, {0x11FA, false}, {0x1E9B, true},
                 {0x1E9C, false}, {0x1FBE, true}, {0x1FBD, false}, {0x1FFC, true}, {0x1FFD, false},
                 {0x2126, true}, {0x2127, false}, {0x212E, true}, {0x2182, true}, {0x2183, false},
                 {0x3040, false}, {0x3041, true}, {0x3094, true}, {0x3095, false}, {0x30FA, true},
                 {0x30FB, false}, {0x312C, true}, {0x312D, false}, {0xABFF, false}, {0xAC00, true},
                 {0xD7A3, true}, {0xD7A4, false}, {0x10000, false}});
}

TEST(XpCharClasses, IdeographicCombiningDigitExtenderBoundaries)
{
    expectClass(IsIdeographic, "Ideographic",
                {{0x3006, false}, {0x3007, true}, {0x3008, false}, {0x3020, false}, {0x3021, true},
                 {0x3029, true}, {0x302A, false}, {0x4DFF, false}, {0x4E00, true}, {0x9FA5, true},
                 {0x9FA6, false}});
    expectClass(IsCombiningChar, "CombiningChar",
                {{0x2FF, false}, {0x300, true}, {0x345, true}, {0x346, false}, {0x35F, false},
                 {0x360, true}, {0x361, true}, {0x362, false}, {0x5A2, false}, {0x5BA, false},
                 {0x5BF, true}, {0x5C0, false}, {0x5C4, true}, {0x5C5, false}, {0x6DD, true},
                 {0x6E4, true}, {0x6E9, false}, {0x93C, true}, {0x94D, true}, {0x94E, false},
                 {0x9BE, true}, {0x9BF, true}, {0x9C4, true}, {0x9C5, false}, {0xFAD, true},
                 {0xFAE, false}, {0xFB9, true}, {0xFBA, false}, {0x20CF, false}, {0x20D0, true},
                 {0x20DC, true}, {0x20DD, false}, {0x20E0, false}, {0x20E1, true}, {0x20E2, false},
                 {0x3029, false}, {0x302A, true}, {0x302F, true}, {0x3030, false}, {0x3098, false},
                 {0x3099, true}, {0x309A, true}, {0x309B, false}});
    expectClass(IsDigitChar, "Digit",
                {{0x2F, false}, {0x30, true}, {0x39, true}, {0x3A, false}, {0x65F, false},
                 {0x660, true}, {0x669, true}, {0x66A, false}, {0x6F9, true}, {0x6FA, false},
                 {0xBE6, false}, {0xBE7, true}, {0xBEF, true}, {0xBF0, false}, {0xF1F, false},
                 {0xF20, true}, {0xF29, true}, {0xF2A, false}, {0xFF10, false}});
    expectClass(IsExtender, "Extender",
                {{0xB6, false}, {0xB7, true}, {0xB8, false}, {0x2CF, false}, {0x2D0, true},
                 {0x2D1, true}, {0x2D2, false}, {0x387, true}, {0x640, true}, {0xE46, true},
                 {0xEC6, true}, {0x3005, true}, {0x3030, false}, {0x3031, true}, {0x3035, true},
                 {0x3036, false}, {0x309C, false}, {0x309D, true}, {0x309E, true}, {0x309F, false},
                 {0x30FB, false}, {0x30FC, true}, {0x30FE, true}, {0x30FF, false}});
}

// The five productions never share a character; a transcription slip (a
// character put in the wrong table) shows up here.
TEST(XpCharClasses, ClassesAreDisjoint)
{
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        int n = IsBaseChar(c) + IsIdeographic(c) + IsCombiningChar(c) + IsDigitChar(c) + IsExtender(c);
        ASSERT_LE(n, 1) << "U+" << std::hex << uint32_t(c);
        if (n == 1) {
            ASSERT_TRUE(IsXmlChar(c));
        }
    }
}

TEST(XpCharClasses, NameClasses)
{
    EXPECT_TRUE(IsNameStartChar('_'));
    EXPECT_TRUE(IsNameStartChar(':'));
    EXPECT_TRUE(IsNameStartChar(0x4E00));
    EXPECT_FALSE(IsNameStartChar('-'));
    EXPECT_FALSE(IsNameStartChar('.'));
    EXPECT_FALSE(IsNameStartChar('5'));
    EXPECT_FALSE(IsNameStartChar(0x300));
    EXPECT_FALSE(IsNameStartChar(0xB7));
    EXPECT_TRUE(IsNameChar(0x300));
    EXPECT_TRUE(IsNameChar('.'));
    EXPECT_TRUE(IsNameChar('-'));
    EXPECT_TRUE(IsNameChar('7'));
    EXPECT_TRUE(IsNameChar(0xB7));
    EXPECT_TRUE(IsNameChar(0x0661));
    EXPECT_FALSE(IsNameChar(' '));
    EXPECT_FALSE(IsNameChar('#'));
    EXPECT_FALSE(IsNameChar(0));
    EXPECT_FALSE(IsNameChar(0x10000));
    EXPECT_TRUE(IsLetter(0x3007));
    EXPECT_TRUE(IsLetter('q'));
    EXPECT_FALSE(IsLetter(0x0660));

    EXPECT_TRUE(IsNameUnit(0x100, true));
    EXPECT_FALSE(IsNameUnit(0x2041, true));
    EXPECT_FALSE(IsNameUnit(0x2041, false));
    EXPECT_FALSE(IsNameUnit(u'-', true));
    EXPECT_TRUE(IsNameUnit(u'-', false));
    EXPECT_FALSE(IsNameUnit(0xD800, false));

    EXPECT_FALSE(IsSurrogate(0xD7FF));
    EXPECT_TRUE(IsSurrogate(0xD800));
    EXPECT_TRUE(IsSurrogate(0xDFFF));
    EXPECT_FALSE(IsSurrogate(0xE000));
}

TEST(XpCharClasses, PubidChar)
{
    for (char32_t c : U"-'()+,./:=?;!*#@$_%azAZ09 \r\n")
        if (c) {
            EXPECT_TRUE(IsPubidChar(c)) << char(c);
        }
    for (char32_t c : U"\"<>&\t[]{}\\^`|~")
        if (c) {
            EXPECT_FALSE(IsPubidChar(c)) << char(c);
        }
    EXPECT_FALSE(IsPubidChar(0xE9));
    EXPECT_FALSE(IsPubidChar(0));
}

TEST(XpConversions, PairToCodePoint)
{
    char32_t cp = 99;
    bool both = true;
    EXPECT_TRUE(PairToCodePoint(0xD800, 0xDC00, cp, both));
    EXPECT_EQ(cp, 0x10000u);
    EXPECT_TRUE(both);
    EXPECT_TRUE(PairToCodePoint(0xDBFF, 0xDFFF, cp, both));
    EXPECT_EQ(cp, 0x10FFFFu);
    EXPECT_TRUE(PairToCodePoint(0xD83D, 0xDE00, cp, both));
    EXPECT_EQ(cp, 0x1F600u);
    EXPECT_FALSE(PairToCodePoint(0xD800, 0x0041, cp, both));
    EXPECT_EQ(cp, 0u);
    EXPECT_FALSE(PairToCodePoint(0xDC00, 0xDC00, cp, both)); // low surrogate first
    EXPECT_FALSE(PairToCodePoint(0xD800, 0xD800, cp, both));
    EXPECT_TRUE(PairToCodePoint(0x0041, 0xDC00, cp, both));
    EXPECT_EQ(cp, 0x41u);
    EXPECT_FALSE(both);
    EXPECT_TRUE(PairToCodePoint(0xFFFF, 0, cp, both));
    EXPECT_EQ(cp, 0xFFFFu);
}

TEST(XpConversions, Utf8)
{
    EXPECT_EQ(Utf8Length(0x00), 1);
    EXPECT_EQ(Utf8Length(0x7F), 1);
    EXPECT_EQ(Utf8Length(0x80), 0);
    EXPECT_EQ(Utf8Length(0xBF), 0);
    EXPECT_EQ(Utf8Length(0xC0), 2);
    EXPECT_EQ(Utf8Length(0xDF), 2);
    EXPECT_EQ(Utf8Length(0xE0), 3);
    EXPECT_EQ(Utf8Length(0xEF), 3);
    EXPECT_EQ(Utf8Length(0xF0), 4);
    EXPECT_EQ(Utf8Length(0xF7), 4);
    EXPECT_EQ(Utf8Length(0xF8), 5);
    EXPECT_EQ(Utf8Length(0xFB), 5);
    EXPECT_EQ(Utf8Length(0xFC), 6);
    EXPECT_EQ(Utf8Length(0xFD), 6);
    EXPECT_EQ(Utf8Length(0xFE), 0);
    EXPECT_EQ(Utf8Length(0xFF), 0);

    auto dec = [](std::initializer_list<unsigned char> b, int expected, char32_t& cp) {
        std::vector<unsigned char> v(b);
        return Utf8Decode(v.data(), v.size(), expected, cp);
    };
    char32_t cp = 7;
    EXPECT_TRUE(dec({0xC3, 0xA9}, 2, cp));
    EXPECT_EQ(cp, 0xE9u);
    EXPECT_FALSE(dec({0xC3, 0x41}, 2, cp));
    EXPECT_EQ(cp, 0u);
    EXPECT_FALSE(dec({0xC3, 0xA9}, 3, cp)); // length differs
    EXPECT_FALSE(Utf8Decode(nullptr, 0, 0, cp));
    EXPECT_TRUE(dec({0x41}, 1, cp));
    EXPECT_EQ(cp, 0x41u);
    EXPECT_TRUE(dec({0xE2, 0x82, 0xAC}, 3, cp));
    EXPECT_EQ(cp, 0x20ACu);
    EXPECT_TRUE(dec({0xF0, 0x9F, 0x98, 0x80}, 4, cp));
    EXPECT_EQ(cp, 0x1F600u);
    // Overlong, surrogate and out-of-range forms pass here.
    EXPECT_TRUE(dec({0xC0, 0xBC}, 2, cp));
    EXPECT_EQ(cp, 0x3Cu);
    EXPECT_TRUE(dec({0xED, 0xA0, 0x80}, 3, cp));
    EXPECT_EQ(cp, 0xD800u);
    EXPECT_TRUE(dec({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}, 6, cp));
    EXPECT_EQ(cp, 0x7FFFFFFFu);
    EXPECT_TRUE(dec({0xF8, 0x88, 0x80, 0x80, 0x80}, 5, cp));
    EXPECT_EQ(cp, 0x200000u);
}

TEST(XpConversions, Latin1AndUnits)
{
    char32_t cp = 0;
    EXPECT_TRUE(Latin1ToCodePoint(0xE9, cp));
    EXPECT_EQ(cp, 0xE9u);
    unsigned char b = 1;
    EXPECT_TRUE(CodePointToLatin1(0xFF, b));
    EXPECT_EQ(b, 0xFF);
    EXPECT_FALSE(CodePointToLatin1(0x100, b));
    EXPECT_EQ(b, 0);
    EXPECT_FALSE(CodePointToLatin1(0x80000000u, b));
    EXPECT_FALSE(CodePointToLatin1(0xFFFFFFFFu, b)); // -1 as a signed value
    char16_t u = 1;
    EXPECT_TRUE(CodePointToUnit(0xFFFF, u));
    EXPECT_EQ(u, 0xFFFF);
    EXPECT_FALSE(CodePointToUnit(0x10000, u));
    EXPECT_EQ(u, 0);
}

TEST(XpWideText, CopyAndSearch)
{
    EXPECT_EQ(WideCopy(u"abc", 2, 5), u"bc");
    EXPECT_EQ(WideCopy(u"abc", 0, 5), u"");
    EXPECT_EQ(WideCopy(u"abc", 1, 0), u"");
    EXPECT_EQ(WideCopy(u"abc", 3, 1), u"c");
    EXPECT_EQ(WideCopy(u"abc", 4, 1), u"");
    EXPECT_EQ(WideCopy(u"abc", 1, -1), u"");

    EXPECT_EQ(WidePos(u"b", u"abcb"), 2);
    EXPECT_EQ(WidePos(u"x", u"abc"), 0);
    EXPECT_EQ(WidePos(u"", u"abc"), 0);
    EXPECT_EQ(WidePos(u"abcd", u"abc"), 0);
    // Characters outside the 8-bit code page are not taken for one another.
    EXPECT_EQ(WidePos(u"\u4E00", u"a?\u4E01\u4E00"), 4);
    EXPECT_EQ(WidePos(u"?", u"\u4E01?"), 2);

    EXPECT_EQ(WideLastPos(u"b", u"abcb"), 4);
    EXPECT_EQ(WideLastPos(u"ab", u"abab"), 3);
    EXPECT_EQ(WideLastPos(u"x", u"abc"), 0);
    EXPECT_EQ(WideLastPos(u"abcd", u"abc"), 0);
    EXPECT_EQ(WideLastPos(u"", u"abc"), 0);
    EXPECT_EQ(WideLastPos(u"/", u"host/dir/file"), 9);
}

TEST(XpWideText, ReplaceAll)
{
    EXPECT_EQ(WideReplaceAll(u"a--b--c", u"--", u"-"), u"a-b-c");
    EXPECT_EQ(WideReplaceAll(u"aaa", u"aa", u"b"), u"ba"); // not overlapping, from the left
    EXPECT_EQ(WideReplaceAll(u"abc", u"", u"x"), u"abc");
    EXPECT_EQ(WideReplaceAll(u"", u"a", u"x"), u"");
    EXPECT_EQ(WideReplaceAll(u"abc", u"x", u"y"), u"abc");
    EXPECT_EQ(WideReplaceAll(u"a\\b\\c", u"\\", u"/"), u"a/b/c");
    EXPECT_EQ(WideReplaceAll(u"aXa", u"a", u"aa"), u"aaXaa"); // replacement not searched again
}

TEST(XpExceptions, FieldsAndMessages)
{
    EXpFilterError f(17, 3, 5, u"Caf\u00E9 \u4E00");
    EXPECT_EQ(f.StreamOffset, 17);
    EXPECT_EQ(f.LineNo, 3);
    EXPECT_EQ(f.ColumnNo, 5);
    EXPECT_EQ(f.ReasonText, u"Caf\u00E9 \u4E00");
    EXPECT_EQ(f.message(), "Caf\xE9 ?"); // narrowed to the ANSI code page
    EXPECT_STREQ(f.className(), "EXpFilterError");

    EXpParserError p(2, 9, u"/tmp/doc/", u"Expected String: '<'");
    EXPECT_EQ(p.StreamOffset, 0);
    EXPECT_EQ(p.LineNo, 2);
    EXPECT_EQ(p.ColumnNo, 9);
    EXPECT_EQ(p.SourceFile, u"/tmp/doc/");
    EXPECT_STREQ(p.what(), "Expected String: '<'");

    // The family is caught through its bases.
    try {
        throw EXpParserError(1, 1, u"", u"x");
    } catch (const EXpFilterError& e) {
        EXPECT_STREQ(e.className(), "EXpParserError");
    }
    try {
        throw EXpStreamError(4, u"s");
    } catch (const EXpException& e) {
        EXPECT_EQ(e.message(), "s");
    }
    try {
        throw EXpException("Cannot mix");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.className(), "EXpException");
    }
}

TEST(XpComponent, Version)
{
    TXpComponent c;
    EXPECT_EQ(c.Version(), "2.5300");
    c.setVersion("9.9");
    EXPECT_EQ(c.Version(), "2.5300");
}

TEST(XpStreams, FileStreamKeepsItsName)
{
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("xpbase_fs_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string name = (dir / "a.xml").string();
    {
        TXpFileStream w(name, fmCreate);
        EXPECT_EQ(w.fileName, name);
        w.writeBuffer("abc", 3);
    }
    {
        TXpFileStream r(name, fmOpenRead);
        EXPECT_EQ(r.fileName, name);
        EXPECT_EQ(r.size(), 3);
    }
    EXPECT_THROW(TXpFileStream((dir / "missing.xml").string(), fmOpenRead), EFOpenError);
    std::filesystem::remove_all(dir);

    TXpMemoryStream m;
    m.writeBuffer("xy", 2);
    TStream& s = m;
    EXPECT_EQ(s.size(), 2);
}
