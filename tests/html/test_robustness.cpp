// Malformed, random, truncated and huge inputs: the reader and the builder
// must never crash, hang or go quadratic, and the builder's bookkeeping of
// open elements must give the same trees as walking the tree itself.
#include "html/HtmlParser.h"
#include "tree_shape.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// The tree-building rules applied literally, by walking parentNode and
// searching the document each time; slow on big pages but plainly right.
class ReferenceBuilder {
public:
    std::unique_ptr<TDocument> build(const std::u16string& text)
    {
        THtmlReader r;
        auto doc = DomImplementation::createEmptyDocument(nullptr);
        doc_ = doc.get();
        cur_ = doc_;
        tag_ = 0;
        r.onElementStart = [this](THtmlReader& rd) {
            tag_ = htmlTagList().getTagByName(rd.nodeName()).number;
            if (NeedParentTags.contains(tag_))
                cur_ = findParent(tag_);
            cur_ = append(doc_->createElement(rd.nodeName()));
        };
        r.onAttributeStart = [this](THtmlReader& rd) {
            auto a = doc_->createAttribute(rd.nodeName());
            TAttr* raw = a.get();
            static_cast<TElement&>(*cur_).setAttributeNode(std::move(a));
            cur_ = raw;
        };
        r.onAttributeEnd = [this](THtmlReader&) { cur_ = static_cast<TAttr*>(cur_)->ownerElement(); };
        r.onElementEnd = [this](THtmlReader& rd) {
            if (rd.isEmptyElement() || EmptyTags.contains(tag_))
                cur_ = cur_->parentNode();
            tag_ = 0;
        };
        r.onEndElement = [this](THtmlReader& rd) {
            for (TNode* n = cur_; n && n->nodeType() == ELEMENT_NODE; n = n->parentNode())
                if (n->nodeName() == rd.nodeName()) {
                    cur_ = n->parentNode();
                    return;
                }
        };
        r.onTextNode = [this](THtmlReader& rd) {
            const std::u16string& v = rd.nodeValue();
            if (cur_ == doc_ && v.find_first_not_of(u" \t\r\n") != std::u16string::npos)
                cur_ = mainBody();
            append(doc_->createTextNode(v));
        };
        r.onEntityReference = [this](THtmlReader& rd) { append(doc_->createEntityReference(rd.nodeName())); };
        r.onCDataSection = [this](THtmlReader& rd) { append(doc_->createCDATASection(rd.nodeValue())); };
        r.onComment = [this](THtmlReader& rd) { append(doc_->createComment(rd.nodeValue())); };
        r.setHtmlStr(text);
        try {
            while (r.read()) {
            }
        } catch (const DomException&) {
        }
        if (!doc_->documentElement())
            mainBody();
        return doc;
    }

private:
    static bool parentFor(int tag, int c)
    {
        if (tag == TAG_P || BlockTags.contains(tag))
            return BlockParentTags.contains(c);
        if (tag == TAG_LI)
            return ListTags.contains(c);
        if (tag == TAG_DD || tag == TAG_DT)
            return c == TAG_DL;
        if (tag == TAG_TD || tag == TAG_TH)
            return c == TAG_TR;
        if (tag == TAG_TR)
            return TableSectionTags.contains(c);
        if (tag == TAG_COL)
            return c == TAG_COLGROUP;
        if (tag == TAG_COLGROUP || tag == TAG_TBODY || tag == TAG_TFOOT || tag == TAG_THEAD)
            return c == TAG_TABLE;
        if (tag == TAG_OPTION)
            return OptionParentTags.contains(c);
        return false;
    }

    TNode* findParent(int tag)
    {
        for (TNode* n = cur_; n && n->nodeType() == ELEMENT_NODE; n = n->parentNode())
            if (parentFor(tag, htmlTagList().getTagByName(n->nodeName()).number))
                return n;
        return mainBody();
    }

    TNode* mainBody()
    {
        TElement* root = doc_->documentElement();
        if (!root)
            root = doc_->appendChild(doc_->createElement(u"html"));
        for (int i = 0; i < root->childNodes().length(); ++i) {
            TNode* c = root->childNodes().item(i);
            if (c->nodeType() == ELEMENT_NODE && c->nodeName() == u"body")
                return c;
        }
        return root->appendChild(doc_->createElement(u"body"));
    }

    template <class T>
    TNode* append(std::unique_ptr<T> node)
    {
        if (cur_ == doc_ && !doc_->canInsert(node.get()))
            cur_ = mainBody();
        return cur_->appendChild(std::move(node));
    }

    TDocument* doc_ = nullptr;
    TNode* cur_ = nullptr;
    int tag_ = 0;
};

std::u16string randomHtml(std::mt19937& rng)
{
    static const char16_t* const tags[] = {u"p", u"div", u"li", u"ul", u"ol", u"table", u"tr", u"td",
        u"th", u"tbody", u"thead", u"dl", u"dt", u"dd", u"b", u"i", u"span", u"br", u"img", u"body",
        u"html", u"head", u"title", u"option", u"select", u"optgroup", u"col", u"colgroup", u"hr",
        u"meta", u"script", u"style", u"o:p", u"X", u"blockquote", u"h1", u"pre", u"dir", u"menu"};
    static const char16_t* const bits[] = {u"text", u" ", u"&amp;", u"&", u"<", u">", u"/", u"=",
        u"\"", u"'", u"<!--c-->", u"<!--", u"-->", u"<![CDATA[d]]>", u"<![CDATA[", u"]]>",
        u"<!DOCTYPE html>", u"<!DOCTYPE a PUBLIC \"x\" \"y\">", u"<!DOCTYPE", u"<!", u"&#60;", u"&#x1F600;",
        u"&#", u"&nbsp;", u"\r\n", u"\u00e9", u"\u20ac", u"content=\"text/html; charset=utf-8\"",
        u"</SCRIPT>", u"</style>", u" a=1", u" b\"q\"", u" c='&lt;'", u"/>", u";"};
    std::u16string s;
    int pieces = std::uniform_int_distribution<int>(0, 60)(rng);
    for (int i = 0; i < pieces; ++i) {
        int kind = std::uniform_int_distribution<int>(0, 9)(rng);
        const char16_t* tag = tags[std::uniform_int_distribution<std::size_t>(0, std::size(tags) - 1)(rng)];
        if (kind <= 3) {
            s += u"<";
            s += tag;
            if (kind == 3)
                s += u" a=v";
            if (kind != 2) // an open tag lets the next pieces be attributes
                s += u">";
        } else if (kind <= 5) {
            s += u"</";
            s += tag;
            s += u">";
        } else if (kind == 6) {
            s += static_cast<char16_t>(std::uniform_int_distribution<int>(0, 0xFFFF)(rng));
        } else {
            s += bits[std::uniform_int_distribution<std::size_t>(0, std::size(bits) - 1)(rng)];
        }
    }
    return s;
}

// Parses and checks what must hold for every input: the token slices cover
// the text without gaps or overlaps, and the document has at most one root.
void parseAndCheck(THtmlParser& parser, const std::u16string& html, bool compareWithReference)
{
    std::u16string slices;
    std::int64_t tokenStart = 1;
    parser.onToken = [&](THtmlReader& r) {
        ASSERT_GE(r.position(), tokenStart);
        slices += r.htmlSlice(tokenStart, r.position());
        tokenStart = r.position();
    };
    auto doc = parser.parseString(html);
    ASSERT_NE(doc, nullptr);
    const std::u16string& text = parser.htmlReader().htmlStr();
    EXPECT_EQ(slices, text.substr(0, static_cast<std::size_t>(tokenStart - 1)));
    int roots = 0;
    for (int i = 0; i < doc->childNodes().length(); ++i)
        roots += doc->childNodes().item(i)->nodeType() == ELEMENT_NODE ? 1 : 0;
    EXPECT_LE(roots, 1);
    std::string shape = treeShape(doc.get());
    if (compareWithReference) {
        ReferenceBuilder reference;
        EXPECT_EQ(shape, treeShape(reference.build(html).get())) << ansi::toUtf8(html);
    }
}

std::u16string repeat(std::u16string_view piece, std::size_t times)
{
    std::u16string s;
    s.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        s += piece;
    return s;
}

} // namespace

TEST(HtmlRobustness, RandomInputsMatchTheLiteralRules)
{
    std::mt19937 rng(20261209);
    THtmlParser parser;
    for (int i = 0; i < 3000; ++i) {
        parseAndCheck(parser, randomHtml(rng), true);
        if (HasFailure())
            break;
    }
}

TEST(HtmlRobustness, EveryPrefixOfAPage)
{
    const std::u16string page =
        u"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">\r\n"
        u"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
        u"<title>A &amp; B</title><style type=text/css>p > b { color: red }</style>"
        u"<script type='text/javascript'>if (a < b && c) { d(\"</p>\"); }</script></head>"
        u"<body class=main onload=go()><h1 id=top>Heading</h1><!-- a -- comment -->"
        u"<p>One &nbsp; <b>two <i>three</b> four<br/>five &#169; &#x263A; &#60;six&#62;"
        u"<ul><li>a<li>b<ol><li>c</ol></ul><table border=1><tr><td>1<td>2<tr><th>3</table>"
        u"<a href=x/y?q=1&r=2 title=\"t\"x'y'>link</a><![CDATA[raw <data>]]><img src=p//q>"
        u"<select><option selected>o1<option>o2</select><dl><dt>t<dd>d</dl></body></html>";
    THtmlParser parser;
    for (std::size_t n = 0; n <= page.size(); ++n) {
        parseAndCheck(parser, page.substr(0, n), true);
        if (HasFailure())
            break;
    }
}

namespace {

// Every token as one line, for comparing two readings.
std::vector<std::u16string> tokenDump(THtmlReader& reader, const std::u16string& text)
{
    std::vector<std::u16string> out;
    reader.onToken = [&](THtmlReader& r) {
        out.push_back(std::u16string(1, char16_t(r.nodeType())) + r.nodeName() + u"|" + r.nodeValue() + u"|" +
                      r.publicId() + u"|" + r.systemId() + (r.isEmptyElement() ? u"/" : u""));
    };
    reader.setHtmlStr(text);
    while (reader.read()) {
    }
    return out;
}

} // namespace

TEST(HtmlRobustness, RepairedTextReadsLikeTheOriginal)
{
    // The reader remembers what its searches found; after "=" repairs those
    // memories must still describe the text. Reading the repaired text from
    // scratch (no repairs needed) must give the same tokens.
    std::mt19937 rng(7);
    THtmlReader first, second;
    int repaired = 0;
    for (int i = 0; i < 3000; ++i) {
        std::u16string html = randomHtml(rng);
        std::vector<std::u16string> a = tokenDump(first, html);
        std::u16string text = first.htmlStr();
        repaired += text != html ? 1 : 0;
        ASSERT_EQ(a, tokenDump(second, text)) << ansi::toUtf8(html);
        ASSERT_EQ(second.htmlStr(), text);
    }
    EXPECT_GT(repaired, 50);
}

TEST(HtmlRobustness, EditableTextInsertsAnywhere)
{
    std::mt19937 rng(11);
    htmlreader_detail::TEditableText text;
    std::u16string expected = u"abcdefghijklmnopqrstuvwxyz";
    text.assign(expected);
    for (int i = 0; i < 2000; ++i) {
        std::size_t at = std::uniform_int_distribution<std::size_t>(0, expected.size())(rng);
        if (i % 3 == 0) // mostly forward, as the reader inserts
            at = std::max(at, expected.size() / 2);
        char16_t c = static_cast<char16_t>(u'A' + i % 26);
        text.insert(at, c);
        expected.insert(at, 1, c);
        std::size_t from = std::uniform_int_distribution<std::size_t>(0, expected.size())(rng);
        std::size_t to = std::uniform_int_distribution<std::size_t>(from, expected.size())(rng);
        ASSERT_EQ(text.size(), expected.size());
        ASSERT_EQ(text.substr(from, to), expected.substr(from, to - from));
        ASSERT_EQ(text[from == expected.size() ? 0 : from], expected[from == expected.size() ? 0 : from]);
        if (i % 97 == 0) {
            ASSERT_EQ(text.str(), expected);
        }
    }
    EXPECT_EQ(text.str(), expected);
}

// The sizes below would take minutes if any step went quadratic.

TEST(HtmlRobustness, TenMegabytesOfLessThan)
{
    // No "<" opens a tag: each one is a reference in the body.
    THtmlParser parser;
    auto doc = parser.parseString(std::u16string(10'000'000, u'<'));
    ASSERT_NE(doc->documentElement(), nullptr);
    const TNode* body = doc->documentElement()->firstChild();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->childNodes().length(), 10'000'000);

    // A start tag whose name is the rest of the text.
    doc = parser.parseString(u"<a" + std::u16string(10'000'000, u'<'));
    ASSERT_NE(doc->documentElement(), nullptr);
    EXPECT_EQ(doc->documentElement()->nodeName().size(), 10'000'001u);
}

TEST(HtmlRobustness, AMillionUnclosedDivs)
{
    THtmlParser parser;
    auto doc = parser.parseString(repeat(u"<div>", 1'000'000));
    int depth = 0;
    for (const TNode* n = doc->documentElement(); n; n = n->firstChild())
        ++depth;
    EXPECT_EQ(depth, 1'000'002); // html, body, then the divs
}

TEST(HtmlRobustness, AMillionUnclosedAttributeFragments)
{
    // One b whose attribute "x<b" is replaced again and again.
    THtmlParser parser;
    auto doc = parser.parseString(repeat(u"<b x", 1'000'000));
    ASSERT_NE(doc->documentElement(), nullptr);
    EXPECT_EQ(treeShape(doc.get()), "b[x<b x]");
}

TEST(HtmlRobustness, EndTagsThatMatchNothingDeepDown)
{
    THtmlParser parser;
    auto doc = parser.parseString(repeat(u"<div>", 200'000) + repeat(u"</span>", 200'000) + u"</div>x");
    // The span end tags are ignored; the div end tag closes the innermost div.
    const TNode* n = doc->documentElement()->firstChild();
    int divs = 0;
    while (n->firstChild() && n->firstChild()->nodeType() == ELEMENT_NODE) {
        n = n->firstChild();
        ++divs;
    }
    EXPECT_EQ(divs, 200'000);
    const TNode* holder = n->parentNode();
    ASSERT_EQ(holder->childNodes().length(), 2);
    EXPECT_EQ(holder->childNodes().item(1)->nodeValue(), u"x");
}

TEST(HtmlRobustness, UnclosedConstructsReadAgainAsText)
{
    THtmlParser parser;
    for (std::u16string_view piece : {u"<!--", u"<![CDATA[", u"<!DOCTYPEa", u"</a<!DOCTYPE", u"<!DOCTYPE a \"",
                                      u"<!DOCTYPE a 'b' \"", u"<script>x", u"&#1234", u"&abc", u"</x"}) {
        auto doc = parser.parseString(repeat(piece, 100'000));
        EXPECT_NE(doc->documentElement(), nullptr);
    }
    // Many failed declarations sharing one long name and one long literal.
    auto doc = parser.parseString(repeat(u"<!DOCTYPE", 100'000) + u" a \"" + std::u16string(1'000'000, u'x'));
    EXPECT_EQ(doc->doctype(), nullptr);
}

TEST(HtmlRobustness, ManyEqualsRepairs)
{
    THtmlParser parser;
    auto doc = parser.parseString(repeat(u"<a b\"c\">", 100'000));
    EXPECT_EQ(parser.htmlReader().htmlStr(), repeat(u"<a b=\"c\">", 100'000));
    doc = parser.parseString(repeat(u"<i b'c' d\"e\">x</i>", 100'000));
    EXPECT_EQ(parser.htmlReader().htmlStr(), repeat(u"<i b='c' d=\"e\">x</i>", 100'000));
}
