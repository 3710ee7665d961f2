#include "dom/DomCore.h"
#include "text/Streams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Piece = std::pair<std::u16string, int>;

std::unique_ptr<TDocument> newDocument()
{
    return DomImplementation::createEmptyDocument(nullptr);
}

// The pieces toXML reports, collected in order.
std::vector<Piece> pieces(TDocument& doc, std::u16string* text = nullptr)
{
    std::vector<Piece> got;
    doc.onWriteText = [&got](const std::u16string& piece, int type) { got.emplace_back(piece, type); };
    std::u16string out = doc.toXML();
    doc.onWriteText = nullptr;
    if (text)
        *text = out;
    return got;
}

TAttr* addAttribute(TDocument& doc, TElement* element, const std::u16string& name, const std::u16string& text)
{
    auto attr = doc.createAttribute(name);
    if (!text.empty())
        attr->appendChild(doc.createTextNode(text));
    TAttr* raw = attr.get();
    element->setAttributeNode(std::move(attr));
    return raw;
}

// Text of a single element <p> holding one child node.
std::u16string underP(TDocument& doc, std::unique_ptr<TNode> child)
{
    TElement* p = doc.appendChild(doc.createElement(u"p"));
    p->appendChild(child.release());
    std::u16string out = doc.toXML();
    doc.clear();
    return out;
}

std::u16string entity(const std::u16string& name)
{
    auto doc = newDocument();
    return underP(*doc, doc->createEntityReference(name));
}

std::string utf16le(const std::u16string& text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

std::string readFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A fresh scratch directory per test, removed with its files at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/ortavix-dom-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~ScratchDir()
    {
        for (const std::string& f : files())
            std::remove((path + "/" + f).c_str());
        rmdir(path.c_str());
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    std::string path;
};

} // namespace

TEST(XmlWriter, WorkedExample)
{
    auto doc = newDocument();
    auto type = DomImplementation::createDocumentType(u"HTML", u"", u"");
    type->declaration = u"D";
    doc->setDoctype(type.release());
    TElement* html = doc->appendChild(doc->createElement(u"html"));
    TElement* body = html->appendChild(doc->createElement(u"body"));
    TElement* p = body->appendChild(doc->createElement(u"p"));
    auto cls = doc->createAttribute(u"class");
    cls->appendChild(doc->createTextNode(u"a\"b"));
    cls->appendChild(doc->createEntityReference(u"amp"));
    p->setAttributeNode(std::move(cls));
    p->appendChild(doc->createTextNode(u"Hi"));
    p->appendChild(doc->createElement(u"br"));
    p->appendChild(doc->createEntityReference(u"lt"));
    body->appendChild(doc->createComment(u"x--y"));
    body->appendChild(doc->createCDATASection(u"1<2"));
    body->appendChild(doc->createEntityReference(u"eacute"));

    const std::u16string expected =
        u"<!-- D --><html><body><p class=\"a&quot;b&amp;\">Hi<br/>&lt;</p><!--x  y-->"
        u"<![CDATA[1<2]]>\u00E9</body></html>";
    EXPECT_EQ(doc->toXML(), expected); // without a callback

    std::u16string text;
    std::vector<Piece> got = pieces(*doc, &text);
    EXPECT_EQ(text, expected);
    const std::vector<Piece> want = {
        {u"<!-- D -->", 8}, {u"<html", 1}, {u">", 1}, {u"<body", 1}, {u">", 1},
        {u"<p", 1}, {u" class=\"", 2}, {u"a&quot;b", 3}, {u"&amp;", 5}, {u"\"", 2},
        {u">", 1}, {u"Hi", 3}, {u"<br", 1}, {u"/>", 1}, {u"&lt;", 5},
        {u"</p>", 1}, {u"<!--x  y-->", 8}, {u"<![CDATA[1<2]]>", 4}, {u"\u00E9", 5},
        {u"</body>", 1}, {u"</html>", 1},
    };
    EXPECT_EQ(got, want);

    TMemoryStream stream;
    doc->saveToStream(stream);
    EXPECT_EQ(stream.bytes(), utf16le(expected));
    EXPECT_EQ(stream.size(), static_cast<int64_t>(2 * (1 + expected.size())));
}

TEST(XmlWriter, EmptyDocumentAndHtml401Doctype)
{
    auto doc = newDocument();
    EXPECT_EQ(doc->toXML(), u"");
    TMemoryStream stream;
    doc->saveToStream(stream);
    EXPECT_EQ(stream.bytes(), std::string("\xFF\xFE"));

    auto type = DomImplementation::createDocumentType(u"HTML", u"", u"");
    type->declaration = u" HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">";
    doc->setDoctype(type.release());
    doc->appendChild(doc->createElement(u"html"));
    EXPECT_EQ(doc->toXML(), u"<!--  HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\"> --><html/>");

    // Single hyphens are kept; a comment cannot hold two in a row.
    doc->doctype()->declaration = u"a--b";
    EXPECT_EQ(doc->toXML(), u"<!-- a- b --><html/>");
}

TEST(XmlWriter, EmptyElementsAndAttributes)
{
    auto doc = newDocument();
    TElement* br = doc->appendChild(doc->createElement(u"br"));
    EXPECT_EQ(pieces(*doc), (std::vector<Piece>{{u"<br", 1}, {u"/>", 1}}));
    addAttribute(*doc, br, u"clear", u"all");
    addAttribute(*doc, br, u"empty", u"");
    EXPECT_EQ(doc->toXML(), u"<br clear=\"all\" empty=\"\"/>");
    auto ns = doc->createElementNS(u"urn:o", u"o:p");
    br->appendChild(std::move(ns));
    EXPECT_EQ(doc->toXML(), u"<br clear=\"all\" empty=\"\"><o:p/></br>");
}

TEST(XmlWriter, AttributeTextEscaping)
{
    auto doc = newDocument();
    TElement* e = doc->appendChild(doc->createElement(u"e"));
    addAttribute(*doc, e, u"v", u"a\r\nb\t<c>&'\"\u00E9");
    EXPECT_EQ(doc->toXML(), u"<e v=\"a\r&#xA;b\t&lt;c>&amp;'&quot;\u00E9\"/>");
}

TEST(XmlWriter, SingleCharacterTextDependsOnDecoding)
{
    for (auto [ch, escaped] : std::vector<std::pair<std::u16string, std::u16string>>{
             {u">", u"&gt;"}, {u"<", u"&lt;"}, {u"&", u"&amp;"}, {u"\"", u"&quot;"}}) {
        auto doc = newDocument();
        EXPECT_EQ(underP(*doc, doc->createTextNode(ch)), u"<p>" + ch + u"</p>");
        doc->charset = u"windows-1251";
        EXPECT_EQ(underP(*doc, doc->createTextNode(ch)), u"<p>" + escaped + u"</p>");
        EXPECT_EQ(underP(*doc, doc->createTextNode(u"a" + ch + u"b")), u"<p>a" + ch + u"b</p>");
        doc->charset = u"no-such-charset";
        EXPECT_EQ(underP(*doc, doc->createTextNode(ch)), u"<p>" + ch + u"</p>");
    }
    // Directly under the document as well.
    auto doc = newDocument();
    doc->charset = u"windows-1251";
    doc->appendChild(doc->createTextNode(u">"));
    EXPECT_EQ(doc->toXML(), u"&gt;");
}

TEST(XmlWriter, ScriptTextIsDropped)
{
    auto doc = newDocument();
    TElement* script = doc->appendChild(doc->createElement(u"script"));
    script->appendChild(doc->createTextNode(u"if (a < b) x();"));
    script->appendChild(doc->createEntityReference(u"amp"));
    EXPECT_EQ(pieces(*doc), (std::vector<Piece>{{u"<script", 1}, {u">", 1}, {u"", 3}, {u"&amp;", 5},
                                                 {u"</script>", 1}}));
    doc->clear();

    TElement* upper = doc->appendChild(doc->createElement(u"SCRIPT"));
    upper->appendChild(doc->createTextNode(u"kept"));
    TAttr* attr = addAttribute(*doc, upper, u"script", u"dropped");
    attr->appendChild(doc->createEntityReference(u"lt"));
    EXPECT_EQ(doc->toXML(), u"<SCRIPT script=\"&lt;\">kept</SCRIPT>");
}

TEST(XmlWriter, CdataCommentsAndEntityReferences)
{
    auto doc = newDocument();
    EXPECT_EQ(underP(*doc, doc->createCDATASection(u" \r\n\t ")), u"<p></p>");
    EXPECT_EQ(underP(*doc, doc->createCDATASection(u" x ")), u"<p><![CDATA[ x ]]></p>");
    EXPECT_EQ(underP(*doc, doc->createComment(u"a-b--c")), u"<p><!--a b  c--></p>");
    EXPECT_EQ(underP(*doc, doc->createComment(u"")), u"<p><!----></p>");

    EXPECT_EQ(entity(u"lt"), u"<p>&lt;</p>");
    EXPECT_EQ(entity(u"gt"), u"<p>&gt;</p>");
    EXPECT_EQ(entity(u"quot"), u"<p>&quot;</p>");
    EXPECT_EQ(entity(u"apos"), u"<p>'</p>");
    EXPECT_EQ(entity(u"euro"), u"<p>\u20AC</p>");
    EXPECT_EQ(entity(u"EURO"), u"<p> </p>");
    EXPECT_EQ(entity(u"65"), u"<p>A</p>");
    EXPECT_EQ(entity(u"$41"), u"<p>A</p>");
    EXPECT_EQ(entity(u"0x41"), u"<p>A</p>");
    EXPECT_EQ(entity(u"255"), u"<p>\u00FF</p>");
    EXPECT_EQ(entity(u"32"), u"<p> </p>");
    EXPECT_EQ(entity(u"38"), u"<p>&amp;</p>");
    EXPECT_EQ(entity(u"300"), u"<p> </p>");
    EXPECT_EQ(entity(u"0"), u"<p> </p>");
    EXPECT_EQ(entity(u"31"), u"<p> </p>");
    EXPECT_EQ(entity(u"65x"), u"<p> </p>");
    EXPECT_EQ(entity(u"$"), u"<p> </p>");
    EXPECT_EQ(entity(u"0x"), u"<p> </p>");
    EXPECT_EQ(entity(u"99999999999999999999999"), u"<p> </p>");
    EXPECT_EQ(entity(u""), u"<p> </p>");
}

TEST(XmlWriter, CharsetRedecodesElementAndAttributeTextOnly)
{
    // The bytes C0 E1 are "\u0410\u0431" in windows-1251; widened through the
    // 8-bit code page they arrive as "\u00C0\u00E1".
    auto doc = newDocument();
    doc->charset = u"windows-1251";
    TElement* p = doc->appendChild(doc->createElement(u"p"));
    addAttribute(*doc, p, u"title", u"\u00C0\u00E1\"");
    p->appendChild(doc->createTextNode(u"\u00C0\u00E1"));
    p->appendChild(doc->createComment(u"\u00C0"));
    p->appendChild(doc->createCDATASection(u"\u00C0"));
    p->appendChild(doc->createEntityReference(u"Agrave"));
    EXPECT_EQ(doc->toXML(),
              u"<p title=\"\u0410\u0431&quot;\">\u0410\u0431<!--\u00C0--><![CDATA[\u00C0]]>\u00C0</p>");

    // Without a known character set the text stays as it is.
    doc->charset = u"";
    EXPECT_EQ(doc->toXML(),
              u"<p title=\"\u00C0\u00E1&quot;\">\u00C0\u00E1<!--\u00C0--><![CDATA[\u00C0]]>\u00C0</p>");
}

TEST(XmlWriter, TextThatIsNotEightBitIsNotRedecoded)
{
    // Text from a UTF-16 source already holds its characters; squeezing it
    // through the 8-bit code page would turn them into "?".
    auto doc = newDocument();
    doc->charset = u"windows-1251";
    TElement* p = doc->appendChild(doc->createElement(u"p"));
    addAttribute(*doc, p, u"a", u"\u0416<");
    p->appendChild(doc->createTextNode(u"\u0416\u20AC"));
    EXPECT_EQ(doc->toXML(), u"<p a=\"\u0416&lt;\">\u0416\u20AC</p>");
}

TEST(XmlWriter, NodesOtherThanDocuments)
{
    auto doc = newDocument();
    auto e = doc->createElement(u"e");
    e->appendChild(doc->createTextNode(u"t"));
    EXPECT_EQ(e->toXML(), u"<e>t</e>");
    auto a = doc->createAttribute(u"a");
    EXPECT_EQ(a->toXML(), u" a=\"\"");
    auto t = doc->createTextNode(u">");
    EXPECT_EQ(t->toXML(), u">");
    auto type = DomImplementation::createDocumentType(u"html", u"", u"");
    EXPECT_EQ(type->toXML(), u"");
}

TEST(XmlWriter, MillionNestedElements)
{
    const int depth = 1000000;
    auto doc = newDocument();
    TNode* parent = doc.get();
    for (int i = 0; i < depth; ++i)
        parent = parent->appendChild(doc->createElement(u"b"));
    parent->appendChild(doc->createTextNode(u"x"));
    std::u16string out = doc->toXML();
    ASSERT_EQ(out.size(), static_cast<size_t>(depth) * 7 + 1);
    EXPECT_EQ(out.substr(0, 6), u"<b><b>");
    EXPECT_EQ(out.substr(static_cast<size_t>(depth) * 3 - 3, 8), u"<b>x</b>");
    EXPECT_EQ(out.substr(out.size() - 4), u"</b>");
    size_t count = 0;
    doc->onWriteText = [&count](const std::u16string&, int) { ++count; };
    doc->toXML();
    EXPECT_EQ(count, static_cast<size_t>(depth) * 3 + 1);
}

TEST(XmlWriter, SaveToFileWritesBomAndText)
{
    ScratchDir dir;
    auto doc = newDocument();
    doc->appendChild(doc->createElement(u"html"))->appendChild(doc->createTextNode(u"\u00E9"));
    std::string name = dir.path + "/out.XML";
    {
        std::ofstream old(name, std::ios::binary);
        old << "an older, much longer content that must disappear entirely";
    }
    chmod(name.c_str(), 0640);
    doc->saveToFile(name);
    EXPECT_EQ(readFile(name), utf16le(u"<html>\u00E9</html>"));
    EXPECT_EQ(dir.files(), std::vector<std::string>{"out.XML"}); // no temporary left
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Saving again replaces it.
    doc->clear();
    doc->saveToFile(name);
    EXPECT_EQ(readFile(name), std::string("\xFF\xFE"));
}

TEST(XmlWriter, SaveToFileInMissingDirectoryFails)
{
    ScratchDir dir;
    auto doc = newDocument();
    std::string name = dir.path + "/missing/out.XML";
    try {
        doc->saveToFile(name);
        ADD_FAILURE() << "no failure";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + name + "\". ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(dir.files().empty());
}

TEST(XmlWriter, FailedSaveKeepsTheOldFile)
{
    ScratchDir dir;
    std::string name = dir.path + "/keep.XML";
    {
        std::ofstream old(name, std::ios::binary);
        old << "old";
    }
    auto doc = newDocument();
    doc->appendChild(doc->createElement(u"html"));
    // A callback that fails in the middle of the write.
    doc->onWriteText = [](const std::u16string& piece, int) {
        if (piece == u"/>")
            throw std::runtime_error("interrupted");
    };
    EXPECT_THROW(doc->saveToFile(name), std::runtime_error);
    EXPECT_EQ(readFile(name), "old");
    EXPECT_EQ(dir.files(), std::vector<std::string>{"keep.XML"});

    // A target that is a directory: the rename fails, the temporary goes.
    doc->onWriteText = nullptr;
    std::string sub = dir.path + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    EXPECT_THROW(doc->saveToFile(sub), EFCreateError);
    rmdir(sub.c_str());
    EXPECT_EQ(dir.files(), std::vector<std::string>{"keep.XML"});

    // An unwritable directory (unless running as root, which may write anyway).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path.c_str(), 0500), 0);
        EXPECT_THROW(doc->saveToFile(name), EFCreateError);
        chmod(dir.path.c_str(), 0700);
        EXPECT_EQ(readFile(name), "old");
    }
}

TEST(XmlWriter, SaveToFileThroughSymlinkReplacesTheTarget)
{
    ScratchDir dir;
    std::string real = dir.path + "/real.XML";
    std::string link = dir.path + "/link.XML";
    {
        std::ofstream old(real, std::ios::binary);
        old << "old";
    }
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    auto doc = newDocument();
    doc->appendChild(doc->createElement(u"a"));
    doc->saveToFile(link);
    EXPECT_EQ(readFile(real), utf16le(u"<a/>"));
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}
