// Whatever the HTML, the converter's output is well-formed XML: seeded tag
// soup goes through the real per-file steps (load, convert, write, check),
// and every output is judged twice, by our own checker and by expat.
#include "cli/Driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TagSoup {
public:
    explicit TagSoup(unsigned seed) : rng_(seed) {}

    // One page as its units; wide units only appear when it goes out as UTF-16.
    std::u16string page(bool wide)
    {
        wide_ = wide;
        std::u16string out;
        int pieces = pick(1, 40);
        for (int i = 0; i < pieces; ++i)
            piece(out);
        return out;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    template <class T, std::size_t N>
    const T& oneOf(const T (&items)[N])
    {
        return items[static_cast<std::size_t>(pick(0, static_cast<int>(N) - 1))];
    }

    void piece(std::u16string& out)
    {
        static const char16_t* const literals[] = {
            u"<", u"&", u">", u"]]>", u"]", u"]]", u"\"", u"'", u"=", u"&amp;", u"&lt;", u"&nbsp;",
            u"&bogus;", u"&#93;", u"&#62;", u"&#60;", u"&#0;", u"&#;", u"&#1;", u"&#xD800;",
            u"&#xDE00;", u"&#xFFFE;", u"&#xFFFF;", u"&#x1F600;", u"&#x110000;", u"&#99999999999;",
            u"&$5D;", u"&93;", u"&0x3E;", u"<!--", u"-->", u"<!-- a -- b --->", u"<!---->",
            u"<![CDATA[", u"<![CDATA[x]]y]]>", u"<!DOCTYPE html>", u"<!doctype x -- y --->",
            u"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://x/y.dtd\">",
            u"<?xml version=\"1.0\" encoding=\"utf-8\"?>", u"<?php echo '<b>'; ?>", u"<?", u"<!",
            u"<!ELEMENT x>", u"</", u"</>", u"< p>", u"<3", u"<1a>", u"<_x>", u"<a,b>", u"</a,b>",
            u"<html>", u"</html>", u"<body>", u"</body>", u"<head>", u"<title>t</title>",
            u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">",
            u"<meta content='text/html; charset=koi8-r' http-equiv=content-type>",
            u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=cp864\">",
            u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">",
            u"\r\n", u"\n", u"\t", u" ", u"  ",
        };
        static const char16_t* const tags[] = {
            u"p", u"div", u"b", u"i", u"table", u"tr", u"td", u"th", u"li", u"ul", u"ol", u"dl",
            u"dt", u"dd", u"select", u"option", u"a", u"img", u"br", u"hr", u"span", u"html",
            u"body", u"head", u"title", u"script", u"style", u"x:y", u"a,b", u"o:p", u"Q", u"x-y",
            u"z\u00B7z", u"\u00E9t\u00E9", u"a\u3000b", u"col", u"colgroup", u"tbody", u"frame",
        };
        switch (pick(0, 9)) {
        case 0:
        case 1:
            out += oneOf(literals);
            break;
        case 2:
        case 3:
            startTag(out, oneOf(tags));
            break;
        case 4:
            out += u"</";
            out += oneOf(tags);
            if (chance(90))
                out += u">";
            break;
        case 5:
            rawElement(out, chance(50) ? u"script" : u"style");
            break;
        default:
            text(out, pick(1, 12));
            break;
        }
    }

    void startTag(std::u16string& out, const char16_t* name)
    {
        static const char16_t* const attributeNames[] = {
            u"a", u"href", u"alt", u"title", u"class", u"a,b", u"3x", u"_y", u"z:w", u"superbugs,",
            u"x\u00B7", u"\u00E9", u"-a", u".b", u"a\x01", u"ID", u"id", u"xml:lang", u"on\u3000",
        };
        out += u'<';
        out += name;
        int attributes = pick(0, 4);
        for (int i = 0; i < attributes; ++i) {
            out += chance(85) ? u" " : u"";
            out += oneOf(attributeNames);
            switch (pick(0, 6)) {
            case 0:
                break; // no value
            case 1:
                out += u"=";
                text(out, pick(0, 4), u" >\"'");
                break;
            case 2:
                out += u"='";
                text(out, pick(0, 6));
                out += u"'";
                break;
            case 3: // broken quoting
                out += u"=\"a \"b\" c\"";
                break;
            case 4:
                out += u"\"";
                text(out, pick(0, 3));
                out += u"\"";
                break;
            default:
                out += u"=\"";
                text(out, pick(0, 6));
                if (chance(90))
                    out += u"\"";
                break;
            }
        }
        if (chance(10))
            out += u"/";
        if (chance(92))
            out += u">";
    }

    void rawElement(std::u16string& out, const char16_t* name)
    {
        out += u"<";
        out += name;
        out += u">";
        static const char16_t* const bodies[] = {
            u"/*<![CDATA[*/ p{} /*]]>*/", u"if (a < b && c) {}", u"]]>", u"<!-- x -->", u"x]]",
            u"document.write('</b>')", u"",
        };
        int n = pick(0, 3);
        for (int i = 0; i < n; ++i) {
            out += oneOf(bodies);
            if (chance(30))
                text(out, 3);
        }
        if (chance(85)) {
            out += u"</";
            out += name;
            out += u">";
        }
    }

    // Random characters, weighted towards the troublesome ones.
    void text(std::u16string& out, int length, std::u16string_view avoid = {})
    {
        for (int i = 0; i < length; ++i) {
            char16_t c;
            switch (pick(0, 9)) {
            case 0:
                c = static_cast<char16_t>(pick(0, 0x1F));
                break;
            case 1:
                c = static_cast<char16_t>(pick(0x7F, 0xFF));
                break;
            case 2:
                c = oneOf(u"<>&]-;#=\"'/?!");
                break;
            case 3:
                if (wide_) {
                    static const char16_t wideUnits[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFE,
                                                         0xFFFF, 0xFEFF, 0x3042, 0x0410, 0x2028};
                    c = oneOf(wideUnits);
                    break;
                }
                [[fallthrough]];
            default:
                c = static_cast<char16_t>(pick('a', 'z'));
                break;
            }
            if (avoid.find(c) != std::u16string_view::npos)
                c = u'v';
            out += c;
        }
    }

    std::mt19937 rng_;
    bool wide_ = false;
};

std::string encode(const std::u16string& page, int form)
{
    std::string bytes;
    if (form == 0) { // 8-bit
        for (char16_t c : page)
            bytes += static_cast<char>(c & 0xFF);
        return bytes;
    }
    const bool big = form == 2;
    bytes += big ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : page) {
        char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        bytes += big ? hi : lo;
        bytes += big ? lo : hi;
    }
    return bytes;
}

std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class WellFormedProperty : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "ortavix-soup-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Converts each input through the real steps; our checker must find
    // nothing, then expat judges the whole folder in one run.
    void convertAndJudge(const std::vector<std::pair<std::string, std::string>>& inputs)
    {
        std::unique_ptr<TFileSteps> steps = makeConversionSteps();
        int rejected = 0;
        for (const auto& [name, bytes] : inputs) {
            const fs::path in = dir_ / (name + ".html");
            const fs::path out = dir_ / (name + ".XML");
            std::ofstream(in, std::ios::binary) << bytes;
            steps->load(in.string());
            ASSERT_TRUE(steps->parse());
            steps->write(out.string());
            steps->freeDocument();
            std::vector<std::string> lines = steps->check(out.string());
            if (!lines.empty() && ++rejected <= 5)
                ADD_FAILURE() << name << ": " << lines.front() << "\ninput bytes: " << ::testing::PrintToString(bytes);
            fs::remove(in);
        }
        EXPECT_EQ(rejected, 0);
        const std::string command = "/usr/bin/python3 " + shellQuote(ORTAVIX_SOURCE_DIR "/tests/cli/expat_judge.py") +
                                    " " + shellQuote(dir_.string()) + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string report;
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            report.append(buffer, n);
        int status = ::pclose(pipe);
        EXPECT_EQ(status, 0) << report.substr(0, 4000);
        EXPECT_NE(report.find("judged " + std::to_string(inputs.size()) + " files, 0 rejected"), std::string::npos)
            << report.substr(0, 4000);
    }

    void soup(unsigned seed, int count)
    {
        TagSoup generator(seed);
        std::vector<std::pair<std::string, std::string>> inputs;
        for (int i = 0; i < count; ++i) {
            int form = i % 10 < 7 ? 0 : (i % 10 < 9 ? 1 : 2);
            inputs.emplace_back("s" + std::to_string(seed) + "_" + std::to_string(i),
                                encode(generator.page(form != 0), form));
        }
        convertAndJudge(inputs);
    }

    fs::path dir_;
};

} // namespace

// 20,000 pages in four parts, so that they run side by side.
TEST_F(WellFormedProperty, TagSoupPart1) { soup(1, 5000); }
TEST_F(WellFormedProperty, TagSoupPart2) { soup(2, 5000); }
TEST_F(WellFormedProperty, TagSoupPart3) { soup(3, 5000); }
TEST_F(WellFormedProperty, TagSoupPart4) { soup(4, 5000); }

TEST_F(WellFormedProperty, SamplePages)
{
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const auto& entry : fs::directory_iterator(ORTAVIX_SOURCE_DIR "/samples")) {
        if (entry.path().extension() != ".html")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        inputs.emplace_back(entry.path().stem().string(), bytes.str());
    }
    ASSERT_FALSE(inputs.empty());
    convertAndJudge(inputs);
}
