#include "html/HtmlReader.h"
#include "text/Ansi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Reads a whole text and describes every token as "event name=value", joined
// by " | ". Checks on the way that each event carries its node type and that
// onToken ran exactly once before it.
struct Recorder {
    THtmlReader reader;
    std::vector<std::string> out;
    int pendingHooks = 0;

    explicit Recorder(THtmlReader* shared = nullptr)
    {
        (void)shared;
        reader.onToken = [this](THtmlReader&) { ++pendingHooks; };
        bind(reader.onElementStart, "start", 1);
        bind(reader.onAttributeStart, "attr", 0);
        bind(reader.onAttributeEnd, "attrend", 2);
        bind(reader.onElementEnd, "end", 1);
        bind(reader.onEndElement, "close", 255);
        bind(reader.onTextNode, "text", 3);
        bind(reader.onEntityReference, "ref", 5);
        bind(reader.onCDataSection, "cdata", 4);
        bind(reader.onComment, "comment", 8);
        bind(reader.onDocType, "doctype", 0);
    }

    void bind(THtmlReaderEvent& event, std::string kind, int type)
    {
        event = [this, kind, type](THtmlReader& r) {
            EXPECT_EQ(pendingHooks, 1) << kind;
            pendingHooks = 0;
            EXPECT_EQ(r.nodeType(), type) << kind;
            std::string s = kind;
            if (!r.nodeName().empty())
                s += " " + ansi::toUtf8(r.nodeName());
            if (kind == "end" && r.isEmptyElement())
                s += " /";
            if (kind == "doctype")
                s += " [" + ansi::toUtf8(r.publicId()) + "][" + ansi::toUtf8(r.systemId()) + "]";
            if (!r.nodeValue().empty())
                s += "=" + ansi::toUtf8(r.nodeValue());
            out.push_back(s);
        };
    }

    std::string run(const std::u16string& text)
    {
        out.clear();
        reader.setHtmlStr(text);
        int guard = 0;
        while (reader.read())
            if (++guard > 100000)
                break;
        EXPECT_EQ(reader.position(), reader.htmlLength() + 1);
        std::string joined;
        for (const auto& s : out)
            joined += (joined.empty() ? "" : " | ") + s;
        return joined;
    }
};

std::string tokens(const std::u16string& text)
{
    Recorder r;
    return r.run(text);
}

} // namespace

TEST(HtmlReader, StartTagAttributesTextAndEndTag)
{
    EXPECT_EQ(tokens(u"<p class=x>a &amp; b</p>"),
              "start p | attr class | text=x | attrend | end | text=a  | ref amp | text= b | close p");
    EXPECT_EQ(tokens(u"<br/>"), "start br | end /");
    EXPECT_EQ(tokens(u"<br />"), "start br | end /");
    EXPECT_EQ(tokens(u"<input disabled>"), "start input | attr disabled | attrend | end");
    EXPECT_EQ(tokens(u"<DIV ID=\"A\" Lang = 'en'>"),
              "start div | attr id | text=A | attrend | attr lang | text=en | attrend | end");
    EXPECT_EQ(tokens(u"<o:p x:y=1></O:P>"), "start o:p | attr x:y | text=1 | attrend | end | close o:p");
}

TEST(HtmlReader, AttributeValueSplitting)
{
    // In a quoted value "&" splits the text; without ";" it is amp.
    EXPECT_EQ(tokens(u"<a href='x?a=1&b=2'>"),
              "start a | attr href | text=x?a=1 | ref amp | text=b=2 | attrend | end");
    EXPECT_EQ(tokens(u"<a t=\"a&amp;b\">"), "start a | attr t | text=a | ref amp | text=b | attrend | end");
    // Unquoted: "&" and "<" are ordinary after the start of the value.
    EXPECT_EQ(tokens(u"<a t=a&b<c>"), "start a | attr t | text=a&b<c | attrend | end");
    EXPECT_EQ(tokens(u"<a t=&lt;b>"), "start a | attr t | ref lt | text=b | attrend | end");
    EXPECT_EQ(tokens(u"<a t=&x>"), "start a | attr t | ref amp | text=x | attrend | end");
    // Numeric references in values become text; markup characters stay references.
    EXPECT_EQ(tokens(u"<a t=\"&#65;&#34;\">"), "start a | attr t | text=A | text=&#34; | attrend | end");
    // "=" followed by nothing, or by a stop.
    EXPECT_EQ(tokens(u"<a t= >"), "start a | attr t | attrend | end");
    EXPECT_EQ(tokens(u"<a t=>"), "start a | attr t | attrend | end");
    EXPECT_EQ(tokens(u"<a t=\"\">"), "start a | attr t | attrend | end");
}

TEST(HtmlReader, SlashInUnquotedValues)
{
    EXPECT_EQ(tokens(u"<a href=x/y>"), "start a | attr href | text=x/y | attrend | end");
    // The first "/" of p//q stands before a stop: the value ends after p and
    // the "/" makes the tag empty.
    EXPECT_EQ(tokens(u"<a href=p//q>"), "start a | attr href | text=p | attrend | end /");
    EXPECT_EQ(tokens(u"<a href=x/>"), "start a | attr href | text=x | attrend | end /");
    // A "/" as the last character does not belong to the value.
    EXPECT_EQ(tokens(u"<a href=x/"), "start a | attr href | text=x | attrend | end /");
}

TEST(HtmlReader, QuotedValueWithoutClosingQuoteRunsToTheEnd)
{
    EXPECT_EQ(tokens(u"<a title=\"x<b>y&amp;z</a>"),
              "start a | attr title | text=x<b>y | ref amp | text=z</a>");
    EXPECT_EQ(tokens(u"<a title=\""), "start a | attr title | attrend");
    EXPECT_EQ(tokens(u"<a title"), "start a | attr title");
    EXPECT_EQ(tokens(u"<a title="), "start a | attr title | attrend");
}

TEST(HtmlReader, EqualsRepairIsVisibleInTheText)
{
    Recorder r;
    EXPECT_EQ(r.run(u"<a b\"c\">"), "start a | attr b | text=c | attrend | end");
    EXPECT_EQ(r.reader.htmlStr(), u"<a b=\"c\">");
    // Either quote, also after an attribute whose value used the other one.
    EXPECT_EQ(r.run(u"<a x='1' b\"c\" d'e'>"),
              "start a | attr x | text=1 | attrend | attr b | text=c | attrend | attr d | text=e | attrend | end");
    EXPECT_EQ(r.reader.htmlStr(), u"<a x='1' b=\"c\" d='e'>");
}

TEST(HtmlReader, ManyRepairsKeepTheTextAndSlicesRight)
{
    std::u16string text, repaired;
    for (int i = 0; i < 3000; ++i) {
        text += u"<i a\"v\">t</i>";
        repaired += u"<i a=\"v\">t</i>";
    }
    Recorder r;
    std::u16string sliced;
    std::int64_t tokenStart = 1;
    r.reader.onToken = [&](THtmlReader& rd) {
        ++r.pendingHooks;
        sliced += rd.htmlSlice(tokenStart, rd.position());
        tokenStart = rd.position();
    };
    r.run(text);
    EXPECT_EQ(r.out.size(), 3000u * 7);
    EXPECT_EQ(sliced, repaired);
    EXPECT_EQ(r.reader.htmlStr(), repaired);
}

TEST(HtmlReader, StrayMarkupCharactersBecomeLtAndAmp)
{
    EXPECT_EQ(tokens(u"a < b"), "text=a  | ref lt | text= b");
    EXPECT_EQ(tokens(u"x<"), "text=x | ref lt");
    EXPECT_EQ(tokens(u"x&"), "text=x | ref amp");
    EXPECT_EQ(tokens(u"<!foo>"), "ref lt | text=!foo>");
    EXPECT_EQ(tokens(u"</>"), "ref lt | text=/>");
    EXPECT_EQ(tokens(u"</ a>"), "ref lt | text=/ a>");
    EXPECT_EQ(tokens(u"</a"), "ref lt | text=/a");
    EXPECT_EQ(tokens(u"<>"), "ref lt | text=>");
    EXPECT_EQ(tokens(u"<a"), "start a");
    EXPECT_EQ(tokens(u"<!"), "ref lt | text=!");
}

TEST(HtmlReader, UnclosedCommentCDataAndDeclarationFallBackToLt)
{
    EXPECT_EQ(tokens(u"<!-- x"), "ref lt | text=!-- x");
    EXPECT_EQ(tokens(u"<![CDATA[x]>"), "ref lt | text=![CDATA[x]>");
    EXPECT_EQ(tokens(u"<!DOCTYPE html"), "ref lt | text=!DOCTYPE html");
    EXPECT_EQ(tokens(u"<!DOCTYPE>"), "ref lt | text=!DOCTYPE>");
    EXPECT_EQ(tokens(u"<!-- a -- b -->"), "comment= a -- b ");
    EXPECT_EQ(tokens(u"<!---->x"), "comment | text=x");
    EXPECT_EQ(tokens(u"<!-->a-->"), "comment=>a");
    EXPECT_EQ(tokens(u"<![CDATA[a<b]]>"), "cdata=a<b");
    EXPECT_EQ(tokens(u"<![cdata[a]]>"), "ref lt | text=![cdata[a]]>");
}

TEST(HtmlReader, References)
{
    EXPECT_EQ(tokens(u"&#65;&#x41;&#X41;"), "text=A | text=A | text=A");
    EXPECT_EQ(tokens(u"&#60;&#x3c;&#34;&#38;&#62;"), "text=&#60; | text=&#60; | text=&#34; | text=&#38; | text=&#62;");
    EXPECT_EQ(tokens(u"&#65"), "ref amp | text=#65");
    EXPECT_EQ(tokens(u"&nbsp;&NBSP;"), "ref nbsp | ref NBSP");
    EXPECT_EQ(tokens(u"&;"), "ref");
    EXPECT_EQ(tokens(u"&a b;"), "ref amp | text=a b;");
    EXPECT_EQ(tokens(u"&#x1F600;"), "text=\xF0\x9F\x98\x80");
    EXPECT_EQ(tokens(u"&#1114112;"), "ref amp | text=#1114112;");
    EXPECT_EQ(tokens(u"&#99999999999999999999;"), "ref amp | text=#99999999999999999999;");

    Recorder r;
    std::vector<std::u16string> values;
    r.reader.onTextNode = [&](THtmlReader& rd) { values.push_back(rd.nodeValue()); };
    r.reader.setHtmlStr(u"&#;&#xD800;&#65536;");
    while (r.reader.read()) {
    }
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], std::u16string(1, char16_t(0)));
    EXPECT_EQ(values[1], std::u16string(1, char16_t(0xD800)));
    EXPECT_EQ(values[2], (std::u16string{char16_t(0xD800), char16_t(0xDC00)}));
}

TEST(HtmlReader, ScriptAndStyleAreRaw)
{
    EXPECT_EQ(tokens(u"<SCRIPT>if (a<b) x();</Script>"),
              "start script | end | cdata=if (a<b) x(); | close script");
    EXPECT_EQ(tokens(u"<style>p>b{}</STYLE>x"), "start style | end | cdata=p>b{} | close style | text=x");
    EXPECT_EQ(tokens(u"<script>a<b"), "start script | end");
    EXPECT_EQ(tokens(u"<script/>text"), "start script | end /");
    EXPECT_EQ(tokens(u"<script><!-- c -->x</script>"),
              "start script | end | comment= c  | cdata=x | close script");
    EXPECT_EQ(tokens(u"<script></script>x"), "start script | end | close script | text=x");
}

TEST(HtmlReader, DocumentTypeDeclarations)
{
    EXPECT_EQ(tokens(u"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">"),
              "doctype HTML [-//W3C//DTD HTML 4.01//EN][]= HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">");
    EXPECT_EQ(tokens(u"<!doctype html public '-//x' \"http://y\" ><p>"),
              "doctype html [-//x][http://y]= html public '-//x' \"http://y\" > | start p | end");
    // No identifiers: the declaration ends at its own ">".
    EXPECT_EQ(tokens(u"<!DOCTYPE html>\r\n<html><head>"),
              "doctype html [][]= html> | text=\r\n | start html | end | start head | end");
    EXPECT_EQ(tokens(u"<!DOCTYPE html SYSTEM>x"), "doctype html [][]= html SYSTEM> | text=x");
    // A literal without its closing quote is no declaration.
    EXPECT_EQ(tokens(u"<!DOCTYPE a PUBLIC \"x>"), "ref lt | text=!DOCTYPE a PUBLIC \"x>");
}

TEST(HtmlReader, NewTextStartsFromTheInitialState)
{
    Recorder r;
    r.run(u"<script>");
    EXPECT_TRUE(r.reader.inScript());
    EXPECT_EQ(r.run(u"a<b"), "text=a | start b");
    r.run(u"<a b='c");
    EXPECT_EQ(r.reader.state(), 4);
    EXPECT_EQ(r.run(u"x>"), "text=x>");
    EXPECT_EQ(r.reader.quoteChar(), 0);
}

TEST(HtmlReader, OneLetterStartTagAtTheEnd)
{
    EXPECT_EQ(tokens(u"x<b"), "text=x | start b");
}

TEST(HtmlReader, FieldsAreClearedBetweenTokens)
{
    THtmlReader r;
    r.setHtmlStr(u"<!DOCTYPE a PUBLIC \"p\" \"s\"><b>");
    ASSERT_TRUE(r.read());
    EXPECT_EQ(r.publicId(), u"p");
    EXPECT_EQ(r.systemId(), u"s");
    EXPECT_EQ(r.position(), 28);
    ASSERT_TRUE(r.read());
    EXPECT_EQ(r.localName(), u"b");
    EXPECT_TRUE(r.publicId().empty());
    EXPECT_TRUE(r.nodeValue().empty());
    ASSERT_TRUE(r.read());
    EXPECT_TRUE(r.localName().empty());
    EXPECT_FALSE(r.read());
    EXPECT_FALSE(r.read());
}

TEST(HtmlReader, HandlerExceptionLeavesPositionAfterTheToken)
{
    THtmlReader r;
    r.onTextNode = [](THtmlReader&) { throw std::runtime_error("stop"); };
    r.setHtmlStr(u"<p>abc<i>");
    EXPECT_TRUE(r.read());
    EXPECT_TRUE(r.read());
    EXPECT_THROW(r.read(), std::runtime_error);
    EXPECT_EQ(r.position(), 7);
}

TEST(HtmlReader, TakingTheValueLeavesTheNextTokenWhole)
{
    // A handler that takes each value must not disturb later tokens.
    THtmlReader reader;
    std::vector<std::u16string> taken;
    reader.onTextNode = [&](THtmlReader& r) { taken.push_back(r.takeNodeValue()); };
    reader.onComment = [&](THtmlReader& r) {
        taken.push_back(r.takeNodeValue());
        EXPECT_EQ(r.nodeValue(), u"");
    };
    reader.setHtmlStr(u"first text<!--a comment-->second &#65;<a b=\"value here\">");
    while (reader.read()) {
    }
    EXPECT_EQ(taken, (std::vector<std::u16string>{u"first text", u"a comment", u"second ", u"A",
                                                  u"value here"}));
}
