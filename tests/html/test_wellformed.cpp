// HTML as found on the web, converted: every output must be XML that a
// strict parser accepts, with nothing of the page lost but what cannot be
// written at all.
#include "dom/DomCore.h"
#include "html/HtmlParser.h"
#include "text/Streams.h"
#include "text/Unicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::u16string convert(const std::u16string& html)
{
    THtmlParser parser;
    std::unique_ptr<TDocument> doc = parser.parseString(html);
    return doc->toXML();
}

// The XML of the page inside its made-up html and body.
std::u16string inBody(const std::u16string& xml)
{
    return u"<html><body>" + xml + u"</body></html>";
}

const char16_t kFFFD = 0xFFFD;

} // namespace

TEST(WellFormedOutput, CDataEndInsideScriptOrStyleSplitsTheSection)
{
    EXPECT_EQ(convert(u"<style>/*<![CDATA[*/p{}/*]]>*/</style>"),
              u"<style><![CDATA[/*<![CDATA[*/p{}/*]]]]><![CDATA[>*/]]></style>");
    EXPECT_EQ(convert(u"<script>a]]>b]]>c</script>"),
              u"<script><![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>c]]></script>");
    // A section may end in "]" without being split.
    EXPECT_EQ(convert(u"<script>a]]</script>"), u"<script><![CDATA[a]]]]></script>");

    // Still one piece for whoever watches the writing.
    THtmlParser parser;
    std::unique_ptr<TDocument> doc = parser.parseString(u"<style>x]]>y</style>");
    std::vector<std::pair<std::u16string, int>> pieces;
    doc->onWriteText = [&](const std::u16string& text, int kind) { pieces.emplace_back(text, kind); };
    doc->toXML();
    int sections = 0;
    for (auto& [text, kind] : pieces) {
        if (kind == CDATA_SECTION_NODE) {
            ++sections;
            EXPECT_EQ(text, u"<![CDATA[x]]]]><![CDATA[>y]]>");
        }
    }
    EXPECT_EQ(sections, 1);
}

TEST(WellFormedOutput, CDataEndInElementTextIsEscaped)
{
    EXPECT_EQ(convert(u"<p>a]]>b"), inBody(u"<p>a]]&gt;b</p>"));
    // The brackets may come from references in other text nodes.
    EXPECT_EQ(convert(u"<p>x]&#93;>y"), inBody(u"<p>x]]&gt;y</p>"));
    EXPECT_EQ(convert(u"<p>&#93;&#93;>"), inBody(u"<p>]]&gt;</p>"));
    EXPECT_EQ(convert(u"<p>]]]>"), inBody(u"<p>]]]&gt;</p>"));
    // Markup between them ends the run: nothing to escape.
    EXPECT_EQ(convert(u"<p>]]<b>></b>"), inBody(u"<p>]]<b>></b></p>"));
    EXPECT_EQ(convert(u"<p>]<!--c-->]>"), inBody(u"<p>]<!--c-->]></p>"));
    // A single "]" or "]" and ">" apart stay as they are.
    EXPECT_EQ(convert(u"<p>a]>b] ]>"), inBody(u"<p>a]>b] ]></p>"));
    // Attribute values may hold "]]>".
    EXPECT_EQ(convert(u"<p title=\"]]>\">"), inBody(u"<p title=\"]]>\"/>"));
}

TEST(WellFormedOutput, TextOutsideTheRootGoesIntoTheBody)
{
    EXPECT_EQ(convert(u"FOO<p>x"), inBody(u"FOO<p>x</p>"));
    EXPECT_EQ(convert(u"<html><body>x</body></html>bar"), u"<html><body>xbar</body></html>");
    // Blanks beside the root stay where they are.
    EXPECT_EQ(convert(u" \t\r\n<p>x</p>\r\n"), u" \t\r\n" + inBody(u"<p>x</p>\r\n"));
    EXPECT_EQ(convert(u"<b>x</b>\r\n"), u"<b>x</b>\r\n");
}

TEST(WellFormedOutput, EveryDocumentHasARoot)
{
    EXPECT_EQ(convert(u""), u"<html><body/></html>");
    EXPECT_EQ(convert(u"  \r\n"), u"  \r\n<html><body/></html>");
    EXPECT_EQ(convert(u"<!-- c -->\r\n"), u"<!-- c -->\r\n<html><body/></html>");
    EXPECT_EQ(convert(u"<!DOCTYPE html>"), u"<!--  html> --><html><body/></html>");
    // An end tag alone makes no element either.
    EXPECT_EQ(convert(u"</p>"), u"<html><body/></html>");
}

TEST(WellFormedOutput, DoctypeCommentHoldsNoDoubleHyphen)
{
    std::unique_ptr<TDocument> doc = DomImplementation::createEmptyDocument(nullptr);
    std::unique_ptr<TDocumentType> type = DomImplementation::createDocumentType(u"a", u"", u"");
    type->declaration = u"a--b---c";
    doc->setDoctype(type.get());
    type.release();
    EXPECT_EQ(doc->toXML(), u"<!-- a- b- -c -->");

    // Without two hyphens in a row, the declaration is written as it stands.
    EXPECT_EQ(convert(u"<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\"><p>x"),
              u"<!--  html PUBLIC \"-//W3C//DTD HTML 4.01//EN\"> -->" + inBody(u"<p>x</p>"));
    // A declaration ending in a hyphen still leaves a proper comment end.
    EXPECT_EQ(convert(u"<!DOCTYPE x -->"), u"<!--  x - > --><html><body/></html>");
}

TEST(WellFormedOutput, ProcessingInstructionsBecomeComments)
{
    EXPECT_EQ(convert(u"<?xml version=\"1.0\" encoding=\"utf-8\"?><p>x"),
              u"<!--?xml version=\"1.0\" encoding=\"utf 8\"?-->" + inBody(u"<p>x</p>"));
    EXPECT_EQ(convert(u"<p>a<?php echo 1; ?>b"), inBody(u"<p>a<!--?php echo 1; ?-->b</p>"));
    // The first ">" ends it, as in HTML.
    EXPECT_EQ(convert(u"<p><?a>b?>"), inBody(u"<p><!--?a-->b?></p>"));
    // Without a ">" the "<" is text.
    EXPECT_EQ(convert(u"<p>a<?b"), inBody(u"<p>a&lt;?b</p>"));
}

TEST(WellFormedOutput, StartTagNamesBeginWithALetter)
{
    EXPECT_EQ(convert(u"I <3 you"), inBody(u"I &lt;3 you"));
    EXPECT_EQ(convert(u"<1a>x"), inBody(u"&lt;1a>x"));
    EXPECT_EQ(convert(u"<p>a <_b> <-c> <.d> <\u00E9e>"),
              inBody(u"<p>a &lt;_b> &lt;-c> &lt;.d> &lt;\u00E9e></p>"));
    EXPECT_EQ(convert(u"<Zb>x</zb>"), u"<zb>x</zb>");
}

TEST(WellFormedOutput, NamesXmlCannotHold)
{
    EXPECT_EQ(convert(u"<p a,b=1 c=2 3x=4 _y=5 z:w=6>"), inBody(u"<p c=\"2\" _y=\"5\" z:w=\"6\"/>"));
    // Junk that broken quoting leaves behind.
    EXPECT_EQ(convert(u"<img alt=\"a \"b\" c\">"), u"<img alt=\"a \" b=\" c\"/>");
    EXPECT_EQ(convert(u"<img alt=\"a \"b,\" c\">"), u"<img alt=\"a \"/>");
    EXPECT_EQ(convert(u"<a superbugs,=\"\" href=x>y</a>"), u"<a href=\"x\">y</a>");
    // Element names keep their length; the end tag matches the name as read.
    EXPECT_EQ(convert(u"<a,b>x</a,b>"), u"<a_b>x</a_b>");
    EXPECT_EQ(convert(u"<div><a,b>x</a,b>y</div>"), inBody(u"<div><a_b>x</a_b>y</div>"));
    EXPECT_EQ(convert(u"<x\u00B7y\u3000z>t"), u"<x\u00B7y_z>t</x\u00B7y_z>");
    // A name ending in ":" is still an XML name.
    EXPECT_EQ(convert(u"<p a:=1>"), inBody(u"<p a:=\"1\"/>"));
}

TEST(WellFormedOutput, CharactersXmlDoesNotAllowBecomeReplacementCharacters)
{
    const std::u16string r(1, kFFFD);
    EXPECT_EQ(convert(u"<p>a\x01" u"b\x1F" u"c\tz"), inBody(u"<p>a" + r + u"b" + r + u"c\tz</p>"));
    EXPECT_EQ(convert(u"<p>&#0;&#;&#1;&#xD800;&#xFFFF;&#xFFFE;"), inBody(u"<p>" + r + r + r + r + r + r + u"</p>"));
    // A pair written as two references is two halves, each alone.
    EXPECT_EQ(convert(u"<p>&#xD83D;&#xDE00;"), inBody(u"<p>" + r + r + u"</p>"));
    // A real pair stays.
    EXPECT_EQ(convert(u"<p>&#x1F600;\U0001F600"), inBody(u"<p>\U0001F600\U0001F600</p>"));
    // Lone halves in the text itself.
    EXPECT_EQ(convert(u"<p>\xDC00" u"a\xD800"), inBody(u"<p>" + r + u"a" + r + u"</p>"));
    // Attribute values, comments, CDATA sections and the doctype comment.
    EXPECT_EQ(convert(u"<p t=\"a\x02\">"), inBody(u"<p t=\"a" + r + u"\"/>"));
    EXPECT_EQ(convert(u"<p t=\"&#0;\">"), inBody(u"<p t=\"" + r + u"\"/>"));
    EXPECT_EQ(convert(u"<p><!--\x03--><![CDATA[x\x04]]>"),
              inBody(u"<p><!--" + r + u"--><![CDATA[x" + r + u"]]></p>"));
    EXPECT_EQ(convert(u"<!DOCTYPE h\x05>"), u"<!--  h" + r + u"> --><html><body/></html>");
    EXPECT_EQ(convert(std::u16string(u"<p>a\0b", 6)), inBody(u"<p>a" + r + u"b</p>"));
}

TEST(WellFormedOutput, NulInAFileKeepsTheRestOfThePage)
{
    TWideStringList list;
    TMemoryStream stream;
    const std::string bytes("<p>a\0b</p><p>c</p>", 18);
    stream.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.setPosition(0);
    list.loadFromStream(stream);
    THtmlParser parser;
    std::unique_ptr<TDocument> doc = parser.parseString(list.text());
    EXPECT_EQ(doc->toXML(), inBody(u"<p>a\uFFFDb</p><p>c</p>\r\n"));
}

// End tags look for open elements by name, whether or not the name is a tag
// of HTML, and a prefixed name whose local part is a tag's shares that tag's
// count; one parse also leaves nothing counted for the next.
TEST(WellFormedOutput, EndTagsFindOpenElementsByName)
{
    THtmlParser parser;
    auto convertWith = [&parser](const std::u16string& html) { return parser.parseString(html)->toXML(); };
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(convertWith(u"<div><x:div>a</div>b</x:div><div>c</div></div>"),
                  inBody(u"<div><x:div>a</x:div></div>b<div>c</div>"));
        EXPECT_EQ(convertWith(u"<html><body><x:body>z</body>q</x:body></html>"),
                  u"<html><body><x:body>z</x:body></body>q</html>");
        EXPECT_EQ(convertWith(u"<x:p>a<p>b</x:p>c</p>d<p>e"), u"<x:p>a<body><p>b</p>cd<p>e</p></body></x:p>");
        EXPECT_EQ(convertWith(u"<x:html><p>a</x:html><p>b"), u"<x:html><body><p>a</p><p>b</p></body></x:html>");
        EXPECT_EQ(convertWith(u"<blink>a<blink>b</blink>c</blink>d</blink>e"),
                  u"<blink>a<blink>b</blink>c<body>de</body></blink>");
        // Left open: nothing of it may close an element of the next page.
        convertWith(u"<p><b><x:i><table><tr><td>");
    }
}
