#include "text/Encoding.h"

#include <gtest/gtest.h>

using namespace encoding;

namespace {

std::string metaPage(const std::string& head, const std::string& body = "x")
{
    return "<html><head>" + head + "</head><body>" + body + "</body></html>";
}

} // namespace

TEST(EncodingPrescan, MetaForms)
{
    EXPECT_EQ(prescan(metaPage("<meta charset=\"utf-8\">")), "utf-8");
    EXPECT_EQ(prescan(metaPage("<META CHARSET=EUC-KR>")), "EUC-KR");
    EXPECT_EQ(prescan(metaPage("<meta charset='Shift_JIS'/>")), "Shift_JIS");
    // http-equiv before and after content, quoted or not.
    EXPECT_EQ(prescan(metaPage(
                  "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=euc-kr\">")),
              "euc-kr");
    EXPECT_EQ(prescan(metaPage("<meta content='text/html;charset=koi8-u' http-equiv='content-type'>")),
              "koi8-u");
    EXPECT_EQ(prescan(metaPage("<meta http-equiv=Content-Type content=\"text/html; charset = Big5 \">")),
              "Big5");
    EXPECT_EQ(prescan(metaPage("<meta\nhttp-equiv=content-type\ncontent=text/html;charset=GB18030>")),
              "GB18030");
    // Content with a charset but no http-equiv Content-Type is no declaration.
    EXPECT_EQ(prescan(metaPage("<meta name=description content=\"charset=utf-8\">")), "");
    // The first usable meta wins.
    EXPECT_EQ(prescan(metaPage("<meta name=x><meta charset=utf-8><meta charset=big5>")), "utf-8");
}

TEST(EncodingPrescan, XmlDeclarationOnlyAtStart)
{
    EXPECT_EQ(prescan("<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?><html>"), "ISO-2022-JP");
    EXPECT_EQ(prescan("<?xml version='1.0' encoding = 'utf-8' ?>"), "utf-8");
    EXPECT_EQ(prescan(" <?xml version=\"1.0\" encoding=\"big5\"?>"), "");
    EXPECT_EQ(prescan("<?xml version=\"1.0\"?><meta charset=euc-jp>"), "euc-jp");
}

TEST(EncodingPrescan, StepsOverCommentsAndAttributesAndStopsAt1024)
{
    EXPECT_EQ(prescan(metaPage("<!-- <meta charset=big5> --><meta charset=utf-8>")), "utf-8");
    EXPECT_EQ(prescan(metaPage("<div title='<meta charset=big5>'></div>")), "");
    EXPECT_EQ(prescan(metaPage("<metadata charset=big5>")), "");
    std::string late = "<html>" + std::string(1100, ' ') + "<meta charset=utf-8>";
    EXPECT_EQ(prescan(late), "");
    std::string cut = std::string(1010, ' ') + "<meta charset=utf-8>";
    EXPECT_EQ(prescan(cut), "");
    EXPECT_EQ(prescan("<!-- never closed <meta charset=utf-8>"), "");
}

TEST(EncodingContentType, CharsetParameter)
{
    EXPECT_EQ(charsetFromContentType("text/html; charset=UTF-8"), "UTF-8");
    EXPECT_EQ(charsetFromContentType("text/html;charset=\"euc-kr\";x=y"), "euc-kr");
    EXPECT_EQ(charsetFromContentType("text/html"), "");
}

TEST(EncodingUtf8, Validity)
{
    bool multi = true;
    EXPECT_TRUE(isValidUtf8("plain", &multi));
    EXPECT_FALSE(multi);
    EXPECT_TRUE(isValidUtf8("I\xE2\x80\x99m \xF0\x9F\x98\x80", &multi));
    EXPECT_TRUE(multi);
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("caf\xE9"));          // Latin-1
    EXPECT_FALSE(isValidUtf8("\xE2\x80"));         // cut off
}

TEST(EncodingUtf8, DecodesAndReplacesEachInvalidPart)
{
    EXPECT_EQ(decodeUtf8("I\xE2\x80\x99m"), u"I\u2019m");
    EXPECT_EQ(decodeUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(decodeUtf8("a\xFF" "b"), u"a\uFFFDb");
    // A truncated sequence is one U+FFFD; the byte that broke it starts anew.
    EXPECT_EQ(decodeUtf8("\xE2\x80" "A"), u"\uFFFDA");
    EXPECT_EQ(decodeUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(decodeUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(decodeUtf8("x\xE2"), u"x\uFFFD");
    EXPECT_EQ(decodeUtf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(EncodingIconv, MultiByteSets)
{
    std::u16string out;
    ASSERT_TRUE(decodeIconv("EUC-KR", "\xC7\xD1\xB1\xDB", out));
    EXPECT_EQ(out, u"\uD55C\uAE00"); // 한글
    ASSERT_TRUE(decodeIconv("Shift_JIS", "\x93\xFA\x96\x7B", out));
    EXPECT_EQ(out, u"\u65E5\u672C"); // 日本
    ASSERT_TRUE(decodeIconv("GB18030", "\xD6\xD0\xCE\xC4", out));
    EXPECT_EQ(out, u"\u4E2D\u6587"); // 中文
    ASSERT_TRUE(decodeIconv("Big5", "\xA4\xA4\xA4\xE5", out));
    EXPECT_EQ(out, u"\u4E2D\u6587");
    ASSERT_TRUE(decodeIconv("ISO-2022-JP", "\x1B$B$3$s\x1B(Ba", out));
    EXPECT_EQ(out, u"\u3053\u3093a");
    ASSERT_TRUE(decodeIconv("KOI8-U", "\xA4\xC1", out));
    EXPECT_EQ(out, u"\u0454\u0430");
    EXPECT_FALSE(decodeIconv("no-such-set", "x", out));
    EXPECT_FALSE(decodeIconv("UTF-8//IGNORE", "x", out));
}

TEST(EncodingIconv, InvalidAndCutSequencesBecomeReplacement)
{
    std::u16string out;
    ASSERT_TRUE(decodeIconv("EUC-KR", "a\xFF" "b", out));
    EXPECT_EQ(out, u"a\uFFFDb");
    ASSERT_TRUE(decodeIconv("EUC-KR", "a\xC7", out));
    EXPECT_EQ(out, u"a\uFFFD");
    ASSERT_TRUE(decodeIconv("Shift_JIS", "", out));
    EXPECT_EQ(out, u"");
    // Longer than one conversion buffer.
    std::string many;
    for (int i = 0; i < 40000; ++i)
        many += "\xC7\xD1";
    ASSERT_TRUE(decodeIconv("EUC-KR", many, out));
    EXPECT_EQ(out, std::u16string(40000, u'\uD55C'));
}

TEST(EncodingNames, Kinds)
{
    EXPECT_TRUE(isUtf8Name("UTF-8"));
    EXPECT_TRUE(isUtf8Name("utf8"));
    EXPECT_TRUE(isSingleByteName("windows-1251"));
    EXPECT_TRUE(isSingleByteName("latin2"));
    EXPECT_FALSE(isSingleByteName("koi8-u")); // the alias table maps it to an unrelated set
    EXPECT_TRUE(isIconvName("EUC-KR"));
    EXPECT_TRUE(isKnownName("auto"));
    EXPECT_TRUE(isKnownName("koi8-u"));
    EXPECT_FALSE(isKnownName("no-such-set"));
    EXPECT_FALSE(isKnownName(""));
}

TEST(EncodingChoose, AutoOrder)
{
    auto c = choose("\xEF\xBB\xBF<meta charset=euc-kr>", "auto");
    EXPECT_EQ(c.describe(), " (utf-8 from byte order mark)");
    EXPECT_EQ(decode("\xEF\xBB\xBF" "a\xC3\xA9", c), u"a\u00E9");

    EXPECT_EQ(choose("\xFF\xFE" "a\0", "auto").method, TMethod::Utf16);
    EXPECT_EQ(choose(metaPage("<meta charset=utf-8>"), "auto").describe(), " (utf-8 from meta)");
    c = choose(metaPage("<meta charset=EUC-KR>"), "auto");
    EXPECT_EQ(c.describe(), " (EUC-KR from meta)");
    EXPECT_EQ(c.method, TMethod::Iconv);
    EXPECT_TRUE(c.decodedAtLoad());

    // A single-byte set keeps the default road, also with UTF-8 lookalike bytes.
    c = choose(metaPage("<meta charset=windows-1251>", "\xD0\x9F"), "auto");
    EXPECT_EQ(c.method, TMethod::CodePage);
    EXPECT_FALSE(c.decodedAtLoad());
    EXPECT_EQ(c.describe(), " (windows-1251 from meta)");

    EXPECT_EQ(choose("<p>caf\xC3\xA9</p>", "auto").describe(), " (utf-8 by content)");
    EXPECT_EQ(choose("<p>cafe</p>", "auto").describe(), " (windows-1252 default)");
    EXPECT_EQ(choose("<p>caf\xE9</p>", "auto").describe(), " (windows-1252 default)");
    // An unusable declared name falls through to the content.
    EXPECT_EQ(choose(metaPage("<meta charset=bogus>", "\xC3\xA9"), "auto").describe(),
              " (utf-8 by content)");
    EXPECT_EQ(choose("<?xml version='1.0' encoding='Shift_JIS'?>", "auto").describe(),
              " (Shift_JIS from xml declaration)");
    // The HTTP header comes ahead of the page.
    EXPECT_EQ(choose(metaPage("<meta charset=utf-8>"), "auto", "EUC-KR").describe(),
              " (EUC-KR from http header)");
}

TEST(EncodingChoose, ForcedNameOverridesMeta)
{
    auto c = choose(metaPage("<meta charset=utf-8>", "\xC7\xD1"), "euc-kr");
    EXPECT_EQ(c.describe(), " (euc-kr forced)");
    EXPECT_NE(decode(metaPage("<meta charset=utf-8>", "\xC7\xD1"), c).find(u"\uD55C"),
              std::u16string::npos);
    c = choose("\xEF\xBB\xBFz", "UTF-8");
    EXPECT_EQ(decode("\xEF\xBB\xBFz", c), u"z");
    c = choose("\xCF", "windows-1251");
    EXPECT_EQ(c.method, TMethod::Single);
    EXPECT_EQ(decode("\xCF", c), u"\u041F");
}
