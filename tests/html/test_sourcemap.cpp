// The tree builder's record of where each node came from in the text.
#include "html/HtmlParser.h"
#include "html/HtmlSourceMap.h"
#include "text/Ansi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every node in document order (attributes before children), each as
// "name=source" with the source it was recorded for ("" when none).
std::vector<std::string> sources(const std::u16string& html, THtmlSourceMap& map)
{
    THtmlParser parser;
    parser.setSourceMap(&map);
    std::unique_ptr<TDocument> doc = parser.parseString(html);
    std::vector<std::string> out;
    auto show = [&](const TNode* n) {
        THtmlSourceMap::TRange r = map.rangeOf(n);
        std::string name = n->nodeType() == TEXT_NODE ? "#text" : ansi::toUtf8(n->nodeName());
        std::string src = r.empty() ? "" : ansi::toUtf8(html.substr(static_cast<size_t>(r.from - 1),
                                                                    static_cast<size_t>(r.to - r.from)));
        out.push_back(name + "=" + src);
    };
    if (doc->doctype())
        show(doc->doctype());
    std::vector<const TNode*> stack;
    for (int i = doc->childNodes().length(); i-- > 0;)
        stack.push_back(doc->childNodes().item(i));
    while (!stack.empty()) {
        const TNode* n = stack.back();
        stack.pop_back();
        show(n);
        for (int i = n->childNodes().length(); i-- > 0;)
            stack.push_back(n->childNodes().item(i));
        if (const TNamedNodeMap* attrs = n->attributes())
            for (int i = attrs->length(); i-- > 0;)
                stack.push_back(attrs->item(i));
    }
    return out;
}

using V = std::vector<std::string>;

} // namespace

TEST(HtmlSourceMap, EachNodeKeepsTheSourceOfItsToken)
{
    THtmlSourceMap map;
    // Start tags run to their ">", attributes from their name over their
    // value, a value's text holds no quote, other text keeps its blanks;
    // end tags make no node.
    EXPECT_EQ(sources(u"<!DOCTYPE html>\n<html><body class=x id=\"y\">a &amp; b<!-- c -->"
                      u"<br/><![CDATA[d]]></body></html>", map),
              (V{"html=<!DOCTYPE html>", "#text=\n", "html=<html>", "body=<body class=x id=\"y\">",
                 "class=class=x", "#text=x", "id=id=\"y\"", "#text=y", "#text=a ", "amp=&amp;",
                 "#text= b", "#comment=<!-- c -->", "br=<br/>", "#cdata-section=<![CDATA[d]]>"}));
}

TEST(HtmlSourceMap, MadeUpElementsHaveNoSourceAndMovedNodesKeepTheirs)
{
    THtmlSourceMap map;
    // Text and a reference before any element make up html and body; an
    // element after the root has closed is refused there and moved into
    // the body, with its own source.
    EXPECT_EQ(sources(u"x&lt;<p>a</p></html><i>late</i>", map),
              (V{"html=", "body=", "#text=x", "lt=&lt;", "p=<p>", "#text=a", "i=<i>", "#text=late"}));
    // A second parse forgets the first.
    const std::size_t before = map.size();
    EXPECT_EQ(sources(u"<b>y</b>", map), (V{"b=<b>", "#text=y"}));
    EXPECT_LT(map.size(), before);
}

TEST(HtmlSourceMap, NothingIsRecordedWithoutAMap)
{
    THtmlSourceMap map;
    THtmlParser parser;
    parser.setSourceMap(&map);
    parser.parseString(u"<p>a</p>");
    ASSERT_GT(map.size(), 0u);
    parser.setSourceMap(nullptr);
    std::unique_ptr<TDocument> doc = parser.parseString(u"<p>b</p><p>c</p>");
    // The map is neither cleared nor filled by a parse it was not given to.
    EXPECT_EQ(map.size(), 4u);
    EXPECT_TRUE(map.rangeOf(doc->documentElement()).empty());
}
