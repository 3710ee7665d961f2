// "--encoding" of the built ortavixcl: which encoding each page is read in,
// the "Converting" suffix, option errors, and that without the option the
// output stays as it always was.
#include "ProcessSupport.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string exe = ORTAVIX_BINARY_DIR "/ortavixcl";

using clitest::quote;
using clitest::slurp;

class EncodingOption : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(exe)) << exe << " is not built";
        char tmpl[] = "/tmp/ortavixcl-encoding-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the program in dir; returns the exit status, output in out.
    int run(const std::vector<std::string>& args)
    {
        std::string cmd = "cd " + quote(dir.string()) + " && " + quote(exe);
        for (const std::string& a : args)
            cmd += " " + quote(a);
        cmd += " >" + quote((dir / "stdout").string()) + " 2>&1";
        int rc = std::system(("env -u POSIXLY_CORRECT sh -c " + quote(cmd)).c_str());
        out = slurp(dir / "stdout");
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    void put(const std::string& name, const std::string& content)
    {
        std::ofstream(dir / name, std::ios::binary) << content;
    }

    // The XML written for name, as wide text without its byte order mark.
    std::u16string xml(const std::string& name)
    {
        std::string bytes = slurp(dir / name);
        std::u16string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return text;
    }

    bool contains(const std::string& name, const std::u16string& what)
    {
        return xml(name).find(what) != std::u16string::npos;
    }

    fs::path dir;
    std::string out;
};

std::string page(const std::string& head, const std::string& title)
{
    return "<html><head>" + head + "<title>" + title + "</title></head><body><p>" + title +
           "</p></body></html>";
}

const std::string metaUtf8 = "<meta charset=\"utf-8\">";
const std::string hangulUtf8 = "\xED\x95\x9C\xEA\xB8\x80"; // 한글

} // namespace

TEST_F(EncodingOption, Utf8WithAndWithoutMarkAndEveryMetaForm)
{
    put("a.html", page(metaUtf8, "I\xE2\x80\x99m " + hangulUtf8));
    put("b.html", page("<meta content='text/html; charset=UTF-8' http-equiv=content-type>", hangulUtf8));
    put("c.html", page("<meta http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\">", hangulUtf8));
    put("d.html", "\xEF\xBB\xBF" + page("", hangulUtf8));
    put("e.html", page("", "caf\xC3\xA9"));
    put("f.html", "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + page("", hangulUtf8));
    ASSERT_EQ(run({"--encoding=auto", "--info", "a.html", "b.html", "c.html", "d.html", "e.html",
                   "f.html"}),
              0);
    EXPECT_EQ(out, "Converting a.html -> a.XML (utf-8 from meta)\n"
                   "Converting b.html -> b.XML (utf-8 from meta)\n"
                   "Converting c.html -> c.XML (utf-8 from meta)\n"
                   "Converting d.html -> d.XML (utf-8 from byte order mark)\n"
                   "Converting e.html -> e.XML (utf-8 by content)\n"
                   "Converting f.html -> f.XML (utf-8 from xml declaration)\n");
    // The declaration itself is kept, as a comment.
    EXPECT_TRUE(contains("f.XML", u"<!--?xml version=\"1.0\" encoding=\"utf 8\"?-->"));
    EXPECT_TRUE(contains("a.XML", u"<title>I\u2019m \uD55C\uAE00</title>"));
    EXPECT_TRUE(contains("a.XML", u"<p>I\u2019m \uD55C\uAE00</p>"));
    for (const char* name : {"b.XML", "c.XML", "d.XML", "f.XML"})
        EXPECT_TRUE(contains(name, u"<title>\uD55C\uAE00</title>")) << name;
    // The mark is dropped, not shown as text.
    EXPECT_EQ(xml("d.XML").substr(0, 6), u"<html>");
    EXPECT_TRUE(contains("e.XML", u"<p>caf\u00E9</p>"));
    // The meta's charset is still written as it was.
    EXPECT_TRUE(contains("a.XML", u"<meta charset=\"utf-8\"/>"));
}

TEST_F(EncodingOption, MultiByteSetsThroughIconv)
{
    put("k.html", page("<meta http-equiv=Content-Type content=\"text/html; charset=EUC-KR\">",
                       "\xC7\xD1\xB1\xDB"));
    put("j.html", page("<meta charset=Shift_JIS>", "\x93\xFA\x96\x7B"));
    put("u.html", page("<meta charset=koi8-u>", "\xA4\xC1"));
    ASSERT_EQ(run({"--encoding", "auto", "--info", "k.html", "j.html", "u.html"}), 0);
    EXPECT_EQ(out, "Converting k.html -> k.XML (EUC-KR from meta)\n"
                   "Converting j.html -> j.XML (Shift_JIS from meta)\n"
                   "Converting u.html -> u.XML (koi8-u from meta)\n");
    EXPECT_TRUE(contains("k.XML", u"<title>\uD55C\uAE00</title>"));
    EXPECT_TRUE(contains("j.XML", u"<title>\u65E5\u672C</title>"));
    EXPECT_TRUE(contains("u.XML", u"<p>\u0454\u0430</p>"));
}

TEST_F(EncodingOption, SingleByteSetInAutoModeIsTheDefaultRoad)
{
    // Cyrillic bytes that happen to be valid UTF-8: the meta decides.
    const std::string word = "\xD0\x9F\xF0\xE8\xE2\xE5\xF2";
    const std::string cyrillic =
        page("<meta http-equiv=Content-Type content='text/html; charset=windows-1251'>", word);
    put("w.html", cyrillic);
    ASSERT_EQ(run({"w.html"}), 0);
    const std::string before = slurp(dir / "w.XML");
    ASSERT_EQ(run({"--encoding=auto", "--info", "w.html"}), 0);
    EXPECT_EQ(out, "Converting w.html -> w.XML (windows-1251 from meta)\n");
    EXPECT_EQ(slurp(dir / "w.XML"), before);
    EXPECT_TRUE(contains("w.XML", u"\u0420\u045F\u0440\u0438\u0432\u0435\u0442"));

    // The short meta form, which the tree builder does not read, is still
    // re-decoded by the writer.
    put("s.html", page("<meta charset=windows-1251>", word));
    ASSERT_EQ(run({"--encoding=auto", "--info", "s.html"}), 0);
    EXPECT_EQ(out, "Converting s.html -> s.XML (windows-1251 from meta)\n");
    EXPECT_TRUE(contains("s.XML", u"<title>\u0420\u045F\u0440\u0438\u0432\u0435\u0442</title>"));

    put("p.html", page("", "plain"));
    ASSERT_EQ(run({"--encoding=auto", "--info", "p.html"}), 0);
    EXPECT_EQ(out, "Converting p.html -> p.XML (windows-1252 default)\n");
}

TEST_F(EncodingOption, InvalidBytesUnderUtf8BecomeReplacementCharacters)
{
    put("bad.html", page(metaUtf8, "a\xFF" "b\xE2\x80" "c"));
    ASSERT_EQ(run({"--encoding=auto", "bad.html"}), 0);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(contains("bad.XML", u"<title>a\uFFFDb\uFFFDc</title>"));
}

TEST_F(EncodingOption, ForcedNameOverridesMeta)
{
    put("k.html", page(metaUtf8, "\xC7\xD1\xB1\xDB"));
    ASSERT_EQ(run({"--encoding=euc-kr", "--info", "k.html"}), 0);
    EXPECT_EQ(out, "Converting k.html -> k.XML (euc-kr forced)\n");
    EXPECT_TRUE(contains("k.XML", u"<title>\uD55C\uAE00</title>"));

    // A forced single-byte set is not decoded a second time through the meta.
    put("w.html", page("<meta charset=iso-8859-2>", "\xCF"));
    ASSERT_EQ(run({"--encoding=windows-1251", "w.html"}), 0);
    EXPECT_TRUE(contains("w.XML", u"<title>\u041F</title>"));
}

TEST_F(EncodingOption, UnknownNameConvertsNothing)
{
    put("a.html", page(metaUtf8, "x"));
    EXPECT_EQ(run({"a.html", "--encoding=klingon", "--info"}), 1);
    EXPECT_EQ(out, "Unknown encoding: klingon\n");
    EXPECT_FALSE(fs::exists(dir / "a.XML"));
}

TEST_F(EncodingOption, PrefixesStayUnambiguous)
{
    put("a.html", page(metaUtf8, hangulUtf8));
    fs::create_directory(dir / "o");
    ASSERT_EQ(run({"--i", "--o", "o", "--enc", "auto", "a.html"}), 0);
    EXPECT_EQ(out, "Converting a.html -> o/a.XML (utf-8 from meta)\n");
    EXPECT_TRUE(contains("o/a.XML", u"\uD55C\uAE00"));
}

TEST_F(EncodingOption, WithoutTheOptionNothingChanges)
{
    put("a.html", page(metaUtf8, "caf\xC3\xA9"));
    ASSERT_EQ(run({"--info", "a.html"}), 0);
    EXPECT_EQ(out, "Converting a.html -> a.XML\n");
    // Each byte through the 8-bit code page, as always.
    EXPECT_TRUE(contains("a.XML", u"<title>caf\u00C3\u00A9</title>"));
}

// Translated pages of the Apache manual (Debian's apache2-doc): each title
// must come out as the page's own bytes decoded in its declared encoding.
TEST_F(EncodingOption, ApacheManualTranslationsKeepTheirTitles)
{
    const fs::path manual = "/usr/share/doc/apache2-doc/manual";
    if (!fs::exists(manual))
        GTEST_SKIP() << "apache2-doc is not installed";
    struct Page {
        const char* path;
        const char* charset;
    };
    // Titles without character references, beyond ASCII.
    const Page pages[] = {{"ja/bind.html", "UTF-8"},
                          {"ko/bind.html", "EUC-KR"},
                          {"ru/getting-started.html", "UTF-8"},
                          {"zh-cn/handler.html", "UTF-8"}};
    int n = 0;
    for (const Page& page : pages) {
        if (!fs::exists(manual / page.path))
            continue;
        const std::string bytes = slurp(manual / page.path);
        const size_t open = bytes.find("<title>"), close = bytes.find("</title>");
        ASSERT_NE(open, std::string::npos) << page.path;
        const std::string raw = bytes.substr(open + 7, close - open - 7);
        // The expected title through iconv directly, with no detection.
        iconv_t cd = iconv_open("UTF-16LE", page.charset);
        ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
        std::string in = raw, outBytes(raw.size() * 4, '\0');
        char* ip = in.data();
        char* op = outBytes.data();
        size_t il = in.size(), ol = outBytes.size();
        ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << page.path;
        iconv_close(cd);
        std::u16string want;
        for (char* p = outBytes.data(); p < op; p += 2)
            want += static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                          (static_cast<unsigned char>(p[1]) << 8));
        const std::string name = "page" + std::to_string(n++) + ".html";
        put(name, bytes);
        ASSERT_EQ(run({"--encoding=auto", name}), 0);
        const std::u16string got = xml(name.substr(0, name.size() - 5) + ".XML");
        EXPECT_NE(got.find(u"<title>" + want + u"</title>"), std::u16string::npos) << page.path;
    }
    EXPECT_GT(n, 0);
}
