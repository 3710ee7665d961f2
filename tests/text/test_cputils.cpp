#include "text/cputils.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::string allBytes()
{
    std::string s;
    for (int b = 0; b < 256; ++b)
        s += static_cast<char>(b);
    return s;
}

std::u16string decoded(const std::string& name, const std::string& bytes, bool expectOk = true)
{
    std::u16string out = u"untouched";
    bool ok = decodeCharset(name, bytes, out);
    EXPECT_EQ(ok, expectOk) << name;
    return out;
}

} // namespace

TEST(CharsetAliases, HasEveryNameOnceAndLeadsToKnownCanonicalNames)
{
    const auto& aliases = cputils::charsetAliases();
    EXPECT_EQ(aliases.size(), 179u);
    std::set<std::string> canonical;
    for (const auto& [alias, name] : aliases)
        canonical.insert(name);
    EXPECT_EQ(canonical.size(), 42u); // 41 decoders and "iso8859_11"
    // Every canonical name is also an alias of itself except iso8859_11.
    for (const auto& name : canonical) {
        if (name != "iso8859_11") {
            EXPECT_EQ(aliases.count(name), 1u) << name;
        }
    }
}

TEST(CharsetAliases, DeliberateRedirections)
{
    const auto& a = cputils::charsetAliases();
    EXPECT_EQ(a.at("ISO-8859-1"), "cp1252");
    EXPECT_EQ(a.at("latin1"), "cp1252");
    EXPECT_EQ(a.at("US-ASCII"), "cp1252");
    EXPECT_EQ(a.at("ascii"), "ascii");
    EXPECT_EQ(a.at("csisolatin5"), "iso8859_5");
    EXPECT_EQ(a.at("IBM866"), "cp1251");
    EXPECT_EQ(a.at("koi8-u"), "cp1251");
    EXPECT_EQ(a.at("cp866"), "cp866");
    EXPECT_EQ(a.at("ibm775"), "cp1257");
    EXPECT_EQ(a.at("cp500"), "cp1257");
    EXPECT_EQ(a.at("cp775"), "cp775");
    EXPECT_EQ(a.at("cp870"), "cp1250");
    EXPECT_EQ(a.at("cp1026"), "cp1254");
    EXPECT_EQ(a.at("x-ia5"), "cp1258");
    EXPECT_EQ(a.at("x-mac-greek"), "cp1253");
}

TEST(DecodeCharset, NameMatchesCaseInsensitivelyButExactly)
{
    for (const char* name : {"windows-1251", "WINDOWS-1251", "Windows-1251", "wInDoWs-1251"})
        EXPECT_EQ(decoded(name, "\xC0\xFF"), u"\u0410\u044F") << name;

    for (const char* name : {" windows-1251", "windows-1251 ", "UTF-8", "utf-8", "Utf-8", "",
                             "windows1251"}) {
        std::u16string out = u"keep";
        EXPECT_FALSE(decodeCharset(name, "abc", out)) << name;
        EXPECT_EQ(out, u"keep") << "output must stay as it was for " << name;
    }
    std::u16string out = u"keep";
    EXPECT_FALSE(decodeCharset(std::string("cp1252\0", 7), "abc", out));
    EXPECT_EQ(out, u"keep");
}

TEST(DecodeCharset, Latin1NamesAreWindows1252)
{
    EXPECT_EQ(decoded("iso-8859-1", "\x80"), u"\u20AC");
    EXPECT_EQ(decoded("latin1", "\x80\x9F"), u"\u20AC\u0178");
    EXPECT_EQ(decoded("l1", "\x80"), u"\u0080"); // the real ISO 8859-1
}

TEST(DecodeCharset, CyrillicSets)
{
    EXPECT_EQ(decoded("koi8-r", "\xC1"), u"\u0430");
    EXPECT_EQ(decoded("iso-8859-5", "\xB0"), u"\u0410");
    EXPECT_EQ(decoded("cp866", "\x80\xE0"), u"\u0410\u0440");
    EXPECT_EQ(decoded("koi8r", "\x9A\xBF"), u"\u00A0\u00A9");
}

TEST(DecodeCharset, UndefinedByteGivesQuestionMarkAndFalse)
{
    std::u16string out = decoded("cp1252", "a\x81z\x80", false);
    EXPECT_EQ(out, u"a?z\u20AC");

    // Every hole of Windows-1252, and nothing else.
    std::string all = allBytes();
    out = decoded("windows-1252", all, false);
    ASSERT_EQ(out.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        bool hole = b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
        if (hole) {
            EXPECT_EQ(out[b], u'?') << b;
        } else if (b != '?') {
            EXPECT_NE(out[b], u'?') << b;
        }
    }
    // A literal "?" byte is fine and keeps the result true.
    EXPECT_EQ(decoded("cp1252", "?"), u"?");
}

TEST(DecodeCharset, Iso8859_11IsKnownButHasNoDecoder)
{
    EXPECT_EQ(cputils::charsetAliases().count("ISO-8859-11"), 1u);
    std::u16string out = u"keep";
    EXPECT_FALSE(decodeCharset("iso-8859-11", "abc", out));
    EXPECT_FALSE(decodeCharset("iso-8859-11", "", out));
    EXPECT_EQ(out, u"keep");
}

TEST(DecodeCharset, EmptyInputWithKnownName)
{
    std::u16string out = u"old";
    EXPECT_TRUE(decodeCharset("koi8-r", "", out));
    EXPECT_EQ(out, u"");
}

TEST(DecodeCharset, PublishedTableDetails)
{
    EXPECT_EQ(decoded("cp864", "%"), u"\u066A");
    EXPECT_EQ(decoded("cp864", "a"), u"a");
    EXPECT_EQ(decoded("greek", "\xA4\xA5\xAA"), u"\u20AC\u20AF\u037A");
    decoded("iso-8859-7", "\xAE", false);
    EXPECT_EQ(decoded("iso-8859-2", "\x85\xA1"), u"\u0085\u0104");
    decoded("windows-1256", allBytes(), true);
    EXPECT_EQ(decoded("windows-1255", "\xCA", false), u"?");
    EXPECT_EQ(decoded("latin9", "\xA4"), u"\u20AC");
    EXPECT_EQ(decoded("cp437", "\xB0\xFE"), u"\u2591\u25A0");
    EXPECT_EQ(decoded("tis-620", "\xA1\x80"), u"\u0E01\u20AC");
}

TEST(DecodeCharset, AsciiDecoderDefinesEveryByte)
{
    std::string all = allBytes();
    std::u16string out = decoded("ASCII", all, true);
    ASSERT_EQ(out.size(), 256u);
    for (int b = 0; b < 0x80; ++b)
        EXPECT_EQ(out[b], char16_t(b));
    // The upper half follows the system code page, holes included, so the
    // text the writer re-decodes comes back unchanged.
    EXPECT_EQ(out[0x80], u'\u20AC');
    EXPECT_EQ(out[0x81], u'\u0081');
    EXPECT_EQ(out[0xE9], u'\u00E9');
}

TEST(DecodeCharset, EveryDecoderKeepsTheLowerHalf)
{
    std::string low;
    for (int b = 0; b < 0x80; ++b)
        low += static_cast<char>(b);
    std::set<std::string> done;
    for (const auto& [alias, name] : cputils::charsetAliases()) {
        if (name == "iso8859_11" || !done.insert(name).second)
            continue;
        std::u16string out = decoded(name, low, true);
        ASSERT_EQ(out.size(), 0x80u) << name;
        for (int b = 0; b < 0x80; ++b) {
            if (!(name == "cp864" && b == 0x25)) {
                EXPECT_EQ(out[b], char16_t(b)) << name << " byte " << b;
            }
        }
    }
    EXPECT_EQ(done.size(), 41u);
}
