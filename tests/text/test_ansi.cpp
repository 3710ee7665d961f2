#include "text/Ansi.h"
#include "text/Errors.h"
#include "text/Streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

TEST(Ansi, EveryByteSurvivesWidenThenNarrow)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    std::u16string wide = ansi::widen(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x80], u'\u20AC');
    EXPECT_EQ(wide[0x81], u'\u0081');
    EXPECT_EQ(wide[0x8D], u'\u008D');
    EXPECT_EQ(wide[0x9D], u'\u009D');
    EXPECT_EQ(wide[0x9F], u'\u0178');
    EXPECT_EQ(wide[0xE9], u'\u00E9');
    EXPECT_EQ(ansi::narrow(wide), all);
}

TEST(Ansi, UnrepresentableCharactersNarrowToQuestionMark)
{
    EXPECT_EQ(ansi::narrow(u"a\u0416b\U0001F600"), "a?b??");
    EXPECT_EQ(ansi::narrow(u"\u0080"), "?"); // C1 control 80 is not a 1252 hole
}

TEST(Ansi, Utf8RoundTripIncludingPairs)
{
    std::u16string s = u"A\u00E9\u0416\u20AC\U0001F600";
    EXPECT_EQ(ansi::fromUtf8(ansi::toUtf8(s)), s);
    EXPECT_EQ(ansi::toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Ansi, CaseInsensitiveComparison)
{
    EXPECT_TRUE(ansi::sameText(u"Hello", u"hELLO"));
    EXPECT_TRUE(ansi::sameText(u"\u0416\u00E9", u"\u0436\u00C9"));
    EXPECT_FALSE(ansi::sameText(u"abc", u"abd"));
    EXPECT_LT(ansi::compareText(u"ab", u"ABC"), 0);
    EXPECT_TRUE(ansi::sameText(std::string("Index.HTML"), std::string("index.html")));
    EXPECT_EQ(ansi::upper(std::string("abc\xE9")), "ABC\xC9");
}

TEST(Streams, MemoryStreamReadWriteSeek)
{
    TMemoryStream m;
    m.writeBuffer("hello", 5);
    EXPECT_EQ(m.size(), 5);
    m.setPosition(1);
    char buf[8] = {};
    EXPECT_EQ(m.read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_THROW(m.readBuffer(buf, 1), EReadError);
    m.setPosition(7);
    m.writeBuffer("!", 1);
    EXPECT_EQ(m.size(), 8);
    EXPECT_EQ(m.bytes()[5], '\0');
}

TEST(Streams, FileStreamFailuresCarryTheNameAndReason)
{
    try {
        TFileStream f("/nonexistent-dir/x.txt", fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file \"/nonexistent-dir/x.txt\". No such file or directory");
    }
    EXPECT_THROW(TFileStream("/nonexistent-dir/x.txt", fmCreate), EFCreateError);
    EXPECT_EQ(std::string(EOSError::fromCode(2).what()), "System Error.  Code: 2.\r\nNo such file or directory");
    EXPECT_EQ(std::string(EOSError::fromCode(0).what()), "A call to an OS function failed");
}

TEST(Streams, FileRoundTrip)
{
    auto path = std::filesystem::temp_directory_path() / "ortavix-stream-test.bin";
    {
        TMemoryStream m;
        m.writeBuffer("\xFF\xFE" "a\0", 4);
        m.saveToFile(path.string());
    }
    TMemoryStream back;
    back.loadFromFile(path.string());
    EXPECT_EQ(back.bytes(), std::string("\xFF\xFE" "a\0", 4));
    std::filesystem::remove(path);
}
