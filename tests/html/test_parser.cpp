#include "html/HtmlParser.h"
#include "tree_shape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

std::string shapeOf(const std::u16string& html)
{
    THtmlParser parser;
    std::unique_ptr<TDocument> doc = parser.parseString(html);
    return treeShape(doc.get());
}

} // namespace

TEST(HtmlParser, ParentSearchClosesWhatCannotHoldTheTag)
{
    EXPECT_EQ(shapeOf(u"<p>a<p>b"), "html(body(p(\"a\"),p(\"b\")))");
    EXPECT_EQ(shapeOf(u"<ul><li>a<li>b</ul>"), "html(body(ul(li(\"a\"),li(\"b\"))))");
    EXPECT_EQ(shapeOf(u"<table><tr><td>1<td>2<tr><td>3</table>"),
              "html(body(table(tr(td(\"1\"),td(\"2\")),tr(td(\"3\")))))");
    EXPECT_EQ(shapeOf(u"<div><p>x<div>y</div></div>"), "html(body(div(p(\"x\"),div(\"y\"))))");
    EXPECT_EQ(shapeOf(u"<dl><dt>a<dd>b<dt>c</dl>"), "html(body(dl(dt(\"a\"),dd(\"b\"),dt(\"c\"))))");
    EXPECT_EQ(shapeOf(u"<select><option>a<optgroup><option>b<option>c</select>"),
              "select(option(\"a\",optgroup(option(\"b\"),option(\"c\"))))");
    EXPECT_EQ(shapeOf(u"<table><colgroup><col><col><tbody><tr><td>x</table>"),
              "html(body(table(colgroup(col,col),tbody(tr(td(\"x\"))))))");
    // A list item inside nested inline elements still finds its list.
    EXPECT_EQ(shapeOf(u"<ol><li><b><i>a<li>b</ol>"), "html(body(ol(li(b(i(\"a\"))),li(\"b\"))))");
    // Without its container an li goes into the body.
    EXPECT_EQ(shapeOf(u"<li>a<li>b"), "html(body(li(\"a\"),li(\"b\")))");
}

TEST(HtmlParser, EndTagsCloseTheNearestMatchOrNothing)
{
    EXPECT_EQ(shapeOf(u"<b>x</i>y"), "b(\"x\",\"y\")");
    EXPECT_EQ(shapeOf(u"<div><span><b>x</span>y"), "html(body(div(span(b(\"x\")),\"y\")))");
    EXPECT_EQ(shapeOf(u"<b><b>x</b>y</b>z"), "b(b(\"x\"),\"y\",body(\"z\"))");
    EXPECT_EQ(shapeOf(u"<o:p>x</O:P>y"), "o:p(\"x\",body(\"y\"))");
}

TEST(HtmlParser, EmptyElementsCloseAtTheEndOfTheirStartTag)
{
    EXPECT_EQ(shapeOf(u"<div><br>a<br/>b<img src=a>c<span/>d<p/>e<hr>f</div>"),
              "html(body(div(br,\"a\",br,\"b\",img[src=\"a\"],\"c\",span,\"d\",p,\"e\",hr,\"f\")))");
}

TEST(HtmlParser, MainBodyRule)
{
    EXPECT_EQ(shapeOf(u"<body><p>x</p></body>"), "body(body(p(\"x\")))");
    EXPECT_EQ(shapeOf(u"<html><head><title>T</title><body><p>x"),
              "html(head(title(\"T\"),body),body(p(\"x\")))");
    EXPECT_EQ(shapeOf(u"<html><body>a</body><p>b"), "html(body(\"a\",p(\"b\")))");
    EXPECT_EQ(shapeOf(u"\r\n <p>x"), "\"\r\n \",html(body(p(\"x\")))");
}

TEST(HtmlParser, NodesTheDocumentRefusesGoIntoTheMainBody)
{
    EXPECT_EQ(shapeOf(u"<title>T</title><b>x</b>"), "title(\"T\",body(b(\"x\")))");
    EXPECT_EQ(shapeOf(u"  & <p>x"), "\"  \",html(body(&amp;,\" \",p(\"x\")))");
    EXPECT_EQ(shapeOf(u"< <p>x"), "html(body(&lt;,\" \",p(\"x\")))");
    EXPECT_EQ(shapeOf(u"<![CDATA[c]]>t"), "html(body(<![CDATA[c]]>,\"t\"))");
    EXPECT_EQ(shapeOf(u"<html><body>a</body></html>\r\n<b>x</b>"),
              "html(body(\"a\",b(\"x\"))),\"\r\n\"");
    EXPECT_EQ(shapeOf(u"<meta charset=utf-8><title>T</title><p>x"),
              "meta[charset=\"utf-8\"](body(title(\"T\"),p(\"x\")))");
    // Comments and blanks after the root stay at the document level; other
    // text goes into the main body.
    EXPECT_EQ(shapeOf(u"<b>x</b><!--c-->t&amp;"), "b(\"x\",body(\"t\",&amp;)),<!--c-->");
    EXPECT_EQ(shapeOf(u"<b>x</b>\r\n<!--c--> "), "b(\"x\"),\"\r\n\",<!--c-->,\" \"");
}

TEST(HtmlParser, AttributesCommentsAndRawContent)
{
    EXPECT_EQ(shapeOf(u"<a href=\"a&amp;b\" title='&#60;x'>t</a>"),
              "a[href=\"a\"&amp;\"b\" title=\"&#60;\"\"x\"](\"t\")");
    EXPECT_EQ(shapeOf(u"<a x=1 y=2 x=3 z>"), "a[y=\"2\" x=\"3\" z]");
    EXPECT_EQ(shapeOf(u"<!--top--><div><!--in--></div>"), "<!--top-->,html(body(div(<!--in-->)))");
    EXPECT_EQ(shapeOf(u"<head><script>if (a<b) x();</script><style>p{}</style>"),
              "head(script(<![CDATA[if (a<b) x();]]>),style(<![CDATA[p{}]]>))");
}

TEST(HtmlParser, DocumentTypes)
{
    THtmlParser parser;
    auto doc = parser.parseString(u"<!DOCTYPE html><html><head><title>T</title></head><body><p>x</p></body></html>");
    ASSERT_NE(doc->doctype(), nullptr);
    EXPECT_EQ(doc->doctype()->name(), u"html");
    EXPECT_EQ(doc->doctype()->declaration, u" html>");
    EXPECT_EQ(treeShape(doc.get()), "html(head(title(\"T\")),body(p(\"x\")))");

    doc = parser.parseString(u"<!DOCTYPE a PUBLIC \"p1\"><!DOCTYPE b PUBLIC \"p2\" \"s2\"><i>");
    ASSERT_NE(doc->doctype(), nullptr);
    EXPECT_EQ(doc->doctype()->name(), u"b");
    EXPECT_EQ(doc->doctype()->publicId, u"p2");
    EXPECT_EQ(doc->doctype()->systemId, u"s2");
    EXPECT_EQ(doc->doctype()->declaration, u" b PUBLIC \"p2\" \"s2\">");
    EXPECT_EQ(treeShape(doc.get()), "i");
}

TEST(HtmlParser, CharsetFromMetaContent)
{
    struct Case {
        const char16_t* html;
        const char16_t* charset;
    } cases[] = {
        {u"<meta http-equiv=Content-Type content=\"text/html; charset=iso-8859-1\">", u"iso-8859-1"},
        {u"<meta content='text/html; charset = windows-1251 '>", u"windows-1251"},
        {u"<meta content=\"text/html; Charset=iso-8859-1\">", u""},
        {u"<meta content=\"charset=utf-8; x=y\">", u"utf-8; xy"},
        {u"<meta content=\"charset=abcdefghijklmnopqrstuvwxyz0123456789\">", u"abcdefghijklmnopqrstuvwxyz012345"},
        {u"<meta content=\"charset=&quot;koi8-r\">", u""},
        {u"<meta content=\"a\"><meta content=\"charset=x1\"><meta content=\"charset=x2\">", u"x2"},
        {u"<meta charset=utf-8>", u""},
    };
    THtmlParser parser;
    for (const Case& c : cases) {
        auto doc = parser.parseString(c.html);
        EXPECT_EQ(ansi::toUtf8(doc->charset), ansi::toUtf8(c.charset)) << ansi::toUtf8(c.html);
    }
    // The text itself still becomes the attribute's value.
    auto doc = parser.parseString(u"<meta content=\"text/html; charset=utf-8\">");
    EXPECT_EQ(treeShape(doc.get()), "meta[content=\"text/html; charset=utf-8\"]");
}

TEST(HtmlParser, EachParseGivesANewIndependentDocument)
{
    THtmlParser parser;
    EXPECT_EQ(parser.htmlDocument(), nullptr);
    auto first = parser.parseString(u"<script>unclosed <b x='1");
    EXPECT_EQ(parser.htmlDocument(), first.get());
    auto second = parser.parseString(u"<p>two");
    EXPECT_EQ(parser.htmlDocument(), second.get());
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(treeShape(first.get()), "script");
    EXPECT_EQ(treeShape(second.get()), "html(body(p(\"two\")))");
    second.reset();
    EXPECT_EQ(treeShape(first.get()), "script");
    auto empty = parser.parseString(u"");
    EXPECT_EQ(treeShape(empty.get()), "html(body)");
}

TEST(HtmlParser, OnTokenSeesEveryTokenBeforeItsNode)
{
    THtmlParser parser;
    std::u16string source = u"<!DOCTYPE html><b class=x>a &amp; b</b><!--c-->";
    std::vector<std::int32_t> kinds;
    std::u16string slices;
    std::int64_t tokenStart = 1;
    std::size_t childrenSeen = 0;
    parser.onToken = [&](THtmlReader& r) {
        kinds.push_back(r.nodeType());
        slices += r.htmlSlice(tokenStart, r.position());
        tokenStart = r.position();
        childrenSeen = static_cast<std::size_t>(parser.htmlDocument()->childNodes().length());
    };
    auto doc = parser.parseString(source);
    EXPECT_EQ(kinds, (std::vector<std::int32_t>{0, 1, 0, 3, 2, 1, 3, 5, 3, 255, 8}));
    EXPECT_EQ(slices, source);
    // The comment token was watched before it was appended to the document.
    EXPECT_EQ(childrenSeen, 1u);
    EXPECT_EQ(doc->childNodes().length(), 2);
}

TEST(HtmlParser, AFailureEndsTheParseQuietly)
{
    THtmlParser parser;
    int tokens = 0;
    parser.onToken = [&](THtmlReader&) {
        if (++tokens == 5)
            throw std::runtime_error("hook failed");
    };
    // The fifth token (the ">" of <b>) fails before the builder sees it.
    auto doc = parser.parseString(u"<div>a<b>b</b>c</div>");
    EXPECT_EQ(treeShape(doc.get()), "html(body(div(\"a\",b)))");

    parser.onToken = [](THtmlReader&) { throw std::bad_alloc(); };
    EXPECT_THROW(parser.parseString(u"<p>"), std::bad_alloc);
    EXPECT_EQ(parser.htmlDocument(), nullptr);

    parser.onToken = nullptr;
    doc = parser.parseString(u"<p>again");
    EXPECT_EQ(treeShape(doc.get()), "html(body(p(\"again\")))");
}

TEST(HtmlParser, TakingTheTextOverGivesTheSameTree)
{
    const std::u16string html =
        u"<!DOCTYPE x><meta content=\"text/html; charset=iso-8859-2\"><p a=\"long attribute value\">"
        u"a text longer than any short string<!--a comment of some length--><script>if (a<b) x();"
        u"</script><b>&amp;&#169;</b>";
    THtmlParser copying;
    auto expected = copying.parseString(html);

    // Watchers see every value before the tree builder takes it over.
    THtmlParser taking;
    std::vector<std::u16string> values;
    taking.onToken = [&](THtmlReader& r) { values.push_back(r.nodeValue()); };
    std::u16string moved = html;
    auto doc = taking.parseString(std::move(moved));
    EXPECT_EQ(treeShape(doc.get()), treeShape(expected.get()));
    EXPECT_EQ(doc->toXML(), expected->toXML());
    EXPECT_EQ(doc->charset, u"iso-8859-2");
    EXPECT_EQ(taking.htmlReader().htmlStr(), html);
    EXPECT_NE(std::find(values.begin(), values.end(), u"a text longer than any short string"), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), u"a comment of some length"), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), u"if (a<b) x();"), values.end());
}

TEST(HtmlParser, NodesKeepTheirTextAfterTheReaderMovesOn)
{
    // Text, values, comments and script content refer to the page's text;
    // an "=" the reader inserts later, a release of the reader's text, a
    // second page and the end of the tree builder must leave them as read.
    const std::u16string page =
        u"<p class=\"first value\">some text<!-- a comment --><script>a<b</script>"
        u"<a b\"c\">after the repair</a><i d='e'>more</i>";
    const std::string shape =
        "html(body(p[class=\"first value\"](\"some text\",<!-- a comment -->,script(<![CDATA[a<b]]>),"
        "a[b=\"c\"](\"after the repair\"),i[d=\"e\"](\"more\"))))";
    std::unique_ptr<TDocument> doc;
    {
        THtmlParser parser;
        doc = parser.parseString(page);
        EXPECT_EQ(treeShape(doc.get()), shape);
        parser.releaseText();
        EXPECT_EQ(treeShape(doc.get()), shape);
        // A page of the same length, which could take over the old buffer.
        std::u16string other(page.size(), u'x');
        auto second = parser.parseString(std::move(other));
        EXPECT_EQ(treeShape(doc.get()), shape);
        EXPECT_EQ(treeShape(second.get()), "html(body(\"" + std::string(page.size(), 'x') + "\"))");
    }
    EXPECT_EQ(treeShape(doc.get()), shape);
    // Changing one node's value leaves the page and the others alone.
    TNode* text = doc->documentElement()->firstChild()->firstChild()->childNodes().item(0);
    text->setNodeValue(u"changed");
    EXPECT_EQ(doc->documentElement()->firstChild()->firstChild()->childNodes().item(1)->nodeValue(),
              u" a comment ");
}

TEST(HtmlParser, TextsAreNotCopiedIntoTheDocument)
{
    // The page's text lives as long as its tree; a copy of every text in
    // the tree's own memory would double what a large page takes.
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    std::u16string page;
    const std::u16string words(2000, u'w');
    for (int i = 0; i < 500; ++i)
        page += u"<p title=\"" + words + u"\">" + words + u"<!--" + words + u"-->";
    THtmlParser parser;
    auto doc = parser.parseString(page);
    ASSERT_EQ(doc->documentElement()->firstChild()->childNodes().length(), 500);
    // 1,500 nodes of 2,000 units each: 6 MB as copies.
    EXPECT_LT(doc->memoryFootprint(), page.size() * sizeof(char16_t) / 8);
}

TEST(HtmlParser, APageOfLinksTakesAtMost300BytesPerLink)
{
    // The shape of a real table of contents: list items, each a link with
    // two attributes and a text. Per link that is two elements, two
    // attributes with their values, one text and the list slots; this
    // bounds what the tree of such a page takes (the page's own text is
    // apart: the tree refers to it).
    if (!domcore_detail::TArena::kPooledBlocks)
        GTEST_SKIP() << "every block is a heap block of its own in this build";
    constexpr int kLinks = 200000;
    std::u16string page = u"<html><body><ul>";
    for (int i = 0; i < kLinks; ++i) {
        std::u16string n;
        for (char c : std::to_string(i))
            n += static_cast<char16_t>(c);
        page += u"<li><a class=\"reference internal\" href=\"#section-" + n + u"\">Section " + n + u"</a></li>\n";
    }
    page += u"</ul></body></html>";
    THtmlParser parser;
    auto doc = parser.parseString(page);
    const TNode* list = doc->documentElement()->firstChild()->firstChild();
    ASSERT_EQ(list->childNodes().length(), 2 * kLinks);
    const std::size_t perLink = doc->memoryFootprint() / kLinks;
    EXPECT_LE(perLink, 300u);
}
