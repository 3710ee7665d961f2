// Document content: well-formed and ill-formed documents with their exact
// error lines and positions, events, RaiseErrors and deep nesting.
#include "parser_support.h"

#include <gtest/gtest.h>

using namespace xptest;

TEST(XpContent, EmptyStreamReportsLineOneColumnZero)
{
    EXPECT_EQ(error(""), line(1, 0, "Expected String: '<'"));
    // A byte order mark alone is the empty document too.
    EXPECT_EQ(error("\xFF\xFE"), line(1, 0, "Expected String: '<'"));
}

TEST(XpContent, WellFormedDocuments)
{
    EXPECT_EQ(error("<a/>"), "");
    EXPECT_EQ(error("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a/>\n"), "");
    EXPECT_EQ(error("<a x='1' y=\"&lt;&amp;&#60;\">t &amp; u<b/><!-- c --><?pi d?><![CDATA[<]]></a>"), "");
    EXPECT_EQ(error("<!-- before --><?pi?><a></a ><!-- after --><?x y?>\n"), "");
    EXPECT_EQ(error("<a x='1' X='2' y='\"'/>"), ""); // names compare exactly
    EXPECT_EQ(error("<a>&#x10000;&#65;&#x9;&#xFFFD;</a>"), "");
    EXPECT_EQ(error("<!DOCTYPE a [<!ELEMENT a EMPTY><!ENTITY u SYSTEM 'u' NDATA n><!NOTATION n SYSTEM ''>]><a>t</a>"),
              "");
}

TEST(XpContent, CharacterReferencesMustBeCharacters)
{
    EXPECT_EQ(error("<a>&#0;</a>"), line(1, 8, "Invalid character reference: U+0000"));
    EXPECT_EQ(error("<a>&#xD800;</a>"), line(1, 12, "Invalid character reference: U+D800"));
    EXPECT_EQ(error("<a>&#xFFFE;</a>"), line(1, 12, "Invalid character reference: U+FFFE"));
    EXPECT_EQ(error("<a>&#x110000;</a>"), line(1, 14, "Invalid character reference: U+110000"));
    EXPECT_EQ(error("<a>&#4294967361;</a>"), line(1, 17, "Invalid character reference: beyond U+10FFFF"));
    EXPECT_EQ(error("<a>&#x10000000000000041;</a>"),
              line(1, 25, "Invalid character reference: beyond U+10FFFF"));
    EXPECT_EQ(error("<a>&#;</a>"), line(1, 6, "Invalid character reference: no digits"));
    EXPECT_EQ(error("<a b='&#1;'/>"), line(1, 11, "Invalid character reference: U+0001"));
    // A reference is data, never markup.
    EXPECT_EQ(error("<a></a&#62;"), line(1, 7, "Expected String: '>'"));
}

TEST(XpContent, EveryRunOfTextIsCheckedForCdataEnd)
{
    EXPECT_EQ(error("<a><b/>]]></a>"), line(1, 11, "Invalid characters in element's character data: ']]>'"));
    EXPECT_EQ(error("<a>x&amp;]]></a>"), line(1, 13, "Invalid characters in element's character data: ']]>'"));
    EXPECT_EQ(error("<a>]]&amp;></a>"), "");
    TXpParser p;
    p.OnCharData = [](TXpParser&, const std::u16string&) {};
    EXPECT_NE(check("<a><b/>x]]></a>", &p).at(0).find("']]>'"), std::string::npos);
}

TEST(XpContent, Utf16DocumentAsTheWriterProducesIt)
{
    std::u16string text = u"<!--<!DOCTYPE html>--><html><body a=\"\u00E9\">\u0416</body></html>";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    EXPECT_EQ(error(bytes), "");
}

TEST(XpContent, MismatchedEndTag)
{
    EXPECT_EQ(error("<a></b>"), line(1, 7, "Mismatched end tag: Start tag = \"a\" End tag = \"b\""));
    EXPECT_EQ(error("<a></A>"), line(1, 7, "Mismatched end tag: Start tag = \"a\" End tag = \"A\""));
}

TEST(XpContent, AttributeErrors)
{
    EXPECT_EQ(error("<a b='1' b='2'/>"), line(1, 15, "Attributes cannot be redefined in a start tag"));
    EXPECT_EQ(error("<a b='x\"y'/>"), "");
    EXPECT_EQ(error("<a b=\"<\"/>"), line(1, 9, "Invalid character in attribute value: '<'"));
    EXPECT_EQ(error("<a b=\"&amp;<\"/>"), line(1, 14, "Invalid character in attribute value: '<'"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e '&#60;'>]><a b='&e;'/>"),
              line(1, 45, "Invalid character in attribute value: '<'"));
    EXPECT_EQ(error("<a b=\"&lt;\"/>"), "");
    EXPECT_EQ(error("<a b='1'c='2'/>"), line(1, 9, "Whitespace required between attributes"));
    EXPECT_EQ(error("<a ='1'/>"), line(1, 4, "Invalid XML name: '='"));
    EXPECT_EQ(error("<a b=~x~/>"), line(1, 7, "Expected \" or '"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e SYSTEM 'e.xml'>]><a b='&e;'/>"),
              line(1, 51, "External entity reference in attribute value: 'e'"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY u SYSTEM 'u' NDATA n><!NOTATION n SYSTEM ''>]><a>&u;</a>"),
              line(1, 75, "Reference to unparsed entity: 'u'"));
    EXPECT_EQ(error("<a b=c/>"), line(1, 7, "Expected \" or '"));
    EXPECT_EQ(error("<a b/>"), line(1, 5, "Expected String: '='"));
}

TEST(XpContent, ManyAttributesAreCheckedForDuplicates)
{
    std::string tag = "<a";
    for (int i = 0; i < 200; ++i)
        tag += " n" + std::to_string(i) + "='v'";
    EXPECT_EQ(error(tag + "/>"), "");
    EXPECT_EQ(error(tag + " N150='x'/>"), "");
    EXPECT_NE(error(tag + " n150='x'/>").find("Attributes cannot be redefined in a start tag"), std::string::npos);
}

TEST(XpContent, NonLatinAttributeNamesAreNotConfused)
{
    // Both names narrow to "?" in the 8-bit code page; they still differ.
    EXPECT_EQ(error("<a \u0430='1' \u0431='2'/>"), "");
    EXPECT_EQ(error("<a \u0430='1' \u0410='2'/>"), "");
    EXPECT_EQ(error("<a \u0430='1' \u0430='2'/>"), line(1, 15, "Attributes cannot be redefined in a start tag"));
}

TEST(XpContent, EncodingDeclarationAgainstByteOrderMark)
{
    const std::string contradicts = "Encoding declaration 'UTF-8' contradicts the byte order mark";
    std::string le = "\xFF\xFE", be = "\xFE\xFF";
    for (char c : std::string("<?xml version='1.0' encoding='UTF-8'?><a/>")) {
        le += c;
        le += '\0';
        be += '\0';
        be += c;
    }
    EXPECT_EQ(error(le), line(1, 37, contradicts));
    EXPECT_EQ(error(be), line(1, 37, contradicts));
    EXPECT_EQ(error("\xEF\xBB\xBF<?xml version='1.0' encoding='utf-16'?><a/>"),
              line(1, 38, "Encoding declaration 'utf-16' contradicts the byte order mark"));
    EXPECT_EQ(error("\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><a/>"),
              line(1, 42, "Encoding declaration 'ISO-8859-1' contradicts the byte order mark"));
    // Agreeing names; text read byte by byte cannot be in a two-byte encoding.
    EXPECT_EQ(error("\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?><a/>"), "");
    EXPECT_EQ(error("<?xml version='1.0' encoding='UTF-16'?><a/>"),
              line(1, 38, "Encoding declaration 'UTF-16' needs a byte order mark"));
    EXPECT_EQ(error("<?xml version='1.0' encoding='latin1'?><a/>"), "");
    // An encoding name begins with a letter.
    EXPECT_EQ(error("<?xml version='1.0' encoding='_UTF-8'?><a/>"), line(1, 38, "Invalid encoding declaration: '_UTF-8'"));
    EXPECT_EQ(error("<?xml version='1.0' encoding='x=y'?><a/>"), line(1, 35, "Invalid encoding declaration: 'x=y'"));
}

TEST(XpContent, XmlDeclaration)
{
    EXPECT_EQ(error("<!--c--><?xml version='1.0'?><a/>"),
              line(1, 14, "The XML declaration must appear before the first element"));
    EXPECT_EQ(error("<?xml version='1.0'?><?xml version='1.0'?><a/>"),
              line(1, 27, "The XML declaration must appear before the first element"));
    EXPECT_EQ(error("<a><?xml version='1.0'?></a>"),
              line(1, 9, "The XML declaration must appear before the first element"));
    EXPECT_EQ(error("<?xml version='1.1'?><a/>"),
              line(1, 20, "ZUZEzavudo does not support XML specification greater than 1.0"));
    EXPECT_EQ(error("<?xml version='1 0'?><a/>"), line(1, 20, "Invalid XML version number: '1 0'"));
    EXPECT_EQ(error("<?xml version='1.0' standalone='yes' encoding='UTF-8'?><a/>"),
              line(1, 38, "Expected String: '?>'"));
    EXPECT_EQ(error("<?xml version='1.0' standalone='maybe'?><a/>"),
              line(1, 39, "Standalone value must equal 'yes' or 'no'"));
    EXPECT_EQ(error("<?xml version='1.0' encoding='8bit'?><a/>"), line(1, 36, "Invalid encoding declaration: '8bit'"));
    EXPECT_EQ(error("<?xml version='1.0'encoding='UTF-8'?><a/>"),
              line(1, 20, "Whitespace expected at Line: 1 Position: 20"));
    EXPECT_EQ(error("<?XML version='1.0'?><a/>"), line(1, 6, "Invalid processing instruction target: 'XML'"));
    EXPECT_EQ(error("<a><?xMl x?></a>"), line(1, 9, "Invalid processing instruction target: 'xMl'"));
    EXPECT_EQ(error("<a><? x?></a>"), line(1, 6, "Invalid processing instruction target: ''"));
    EXPECT_EQ(error(" <?xml version='1.0'?><a/>"), line(1, 7, "The XML declaration must appear before the first element"));
}

TEST(XpContent, XmlDeclarationIsReportedAsRebuiltText)
{
    TXpParser p;
    std::u16string target, data;
    p.OnProcessingInstruction = [&](TXpParser&, const std::u16string& t, const std::u16string& d) {
        target = t;
        data = d;
    };
    check("<?xml  version = '1.0'   encoding=\"utf-8\" standalone='no' ?><a/>", &p);
    EXPECT_EQ(target, u"xml");
    EXPECT_EQ(data, u"version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"");
}

TEST(XpContent, Latin1DeclarationSwitchesDecoding)
{
    TXpParser p;
    std::u16string text;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { text += v; };
    EXPECT_TRUE(check("<?xml version='1.0' encoding='iso-8859-1'?><a>caf\xE9</a>", &p).empty());
    EXPECT_EQ(text, u"caf\u00E9");
    // Any other name keeps UTF-8, so the same byte is malformed.
    EXPECT_EQ(error("<?xml version='1.0' encoding='windows-1252'?><a>caf\xE9x</a>"),
              line(1, 52, "Badly formed UTF-8 character in stream", "<unknown>"));
}

TEST(XpContent, Comments)
{
    EXPECT_EQ(error("<!-- a -- b --><a/>"), line(1, 16, "Invalid comment text"));
    EXPECT_EQ(error("<!-- a ---><a/>"), line(1, 12, "Invalid comment text"));
    EXPECT_EQ(error("<a><!- x --></a>"), line(1, 7, "Expected String: '-'"));
    EXPECT_EQ(error("<!-- open"), line(1, 10, "End of input while looking for delimiter: '-->'"));
}

TEST(XpContent, PositionsAtTheEndAndAfterAMatch)
{
    // Input that ends inside a construct: the column after the last character.
    EXPECT_EQ(error("<a/><?pi\n"), line(2, 1, "End of input while looking for delimiter: '?>'"));
    EXPECT_EQ(error("<a b='x"), line(1, 8, "Expected: '"));
    // A line end after a matched delimiter is not read yet.
    EXPECT_EQ(error("<!-- a -- b -->\n<a/>"), line(1, 16, "Invalid comment text"));
}

TEST(XpContent, ContentErrors)
{
    EXPECT_EQ(error("<a><!DOCTYPE x></a>"), line(1, 7, "Expected comment or CDATA section (D)"));
    EXPECT_EQ(error("<a>"), line(1, 3, "Unexpected end of file "));
    EXPECT_EQ(error("<a>\n<b>"), line(2, 3, "Unexpected end of file "));
    EXPECT_EQ(error("< a/>"), line(1, 2, "Invalid element name: ''"));
    EXPECT_EQ(error("<a></a"), line(1, 6, "Expected String: '>'"));
    EXPECT_EQ(error("<a>]]></a>"), line(1, 7, "Invalid characters in element's character data: ']]>'"));
    EXPECT_EQ(error("<a>&nope;</a>"), line(1, 10, "Reference to undeclared entity: 'nope'"));
    EXPECT_EQ(error("<a>&#X41;</a>"), line(1, 6, "Illegal character in reference: X (88)"));
    EXPECT_EQ(error("<a><?pi data</a>"), line(1, 17, "End of input while looking for delimiter: '?>'"));
    EXPECT_EQ(error("<a><![CDATA[x</a>"), line(1, 18, "End of input while looking for delimiter: ']]>'"));
    EXPECT_EQ(error("x"), line(1, 1, "Expected String: '<'"));
}

TEST(XpContent, WhatFollowsTheRootElement)
{
    EXPECT_EQ(error("<a/>x"), line(1, 5, "There is invalid data after valid XML document"));
    EXPECT_EQ(error("<a/><b/>"), line(1, 5, "There is invalid data after valid XML document"));
    EXPECT_EQ(error("<a/><!-- a -- b -->  "), line(1, 20, "Invalid comment text"));
    EXPECT_EQ(error("<a/><?xml version='1.0'?>"), line(1, 10, "The XML declaration must appear before the first element"));
}

TEST(XpContent, ForbiddenCharactersComeFromTheFilter)
{
    // U+0001 is a character like any other control character.
    EXPECT_EQ(error("<a>\x01</a>"), line(1, 4, "Invalid XML Character found", "<unknown>"));
    EXPECT_EQ(error("<a>\n\x02</a>"), line(2, 1, "Invalid XML Character found", "<unknown>"));
}

TEST(XpContent, EventsInOrder)
{
    TXpParser p;
    std::u16string log;
    p.OnStartDocument = [&](TXpParser&) { log += u"[doc"; };
    p.OnEndDocument = [&](TXpParser&) { log += u"doc]"; };
    p.OnStartElement = [&](TXpParser&, const std::u16string& n) { log += u"<" + n + u">"; };
    p.OnEndElement = [&](TXpParser&, const std::u16string& n) { log += u"</" + n + u">"; };
    p.OnAttribute = [&](TXpParser&, const std::u16string& n, const std::u16string& v, bool s) {
        log += u"@" + n + u"=" + v + (s ? u"" : u"?");
    };
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { log += u"'" + v + u"'"; };
    p.OnCDATASection = [&](TXpParser&, const std::u16string& v) { log += u"{" + v + u"}"; };
    p.OnComment = [&](TXpParser&, const std::u16string& v) { log += u"#" + v; };
    check("<a x='1\n2'>  one\n  two <b/>&lt;&amp;x<![CDATA[ c ]]><!--k--></a>", &p);
    EXPECT_EQ(log, u"[doc@x=1 2<a>'one two'<b></b>'<&x'{ c }#k</a>doc]");
}

TEST(XpContent, WhitespaceIsKeptWhereAsked)
{
    TXpParser p;
    std::u16string log;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { log += u"'" + v + u"'"; };
    check("<a> x  y <p xml:space='preserve'> x  y <q xml:space='default'> z  z </q></p> </a>", &p);
    EXPECT_EQ(log, u"'x y'' x  y ''z z'"); // the last run is only whitespace
    log.clear();
    p.NormalizeData = false;
    check("<a> x </a>", &p);
    EXPECT_EQ(log, u"' x '");
    log.clear();
    p.NormalizeData = true;
    p.OnPreserveSpace = [](TXpParser&, const std::u16string& n, bool& keep) { keep = n == u"pre"; };
    check("<a> x  <pre> x  y </pre></a>", &p);
    EXPECT_EQ(log, u"'x'' x  y '");
}

TEST(XpContent, RaiseErrorsRecordsThenRaises)
{
    TXpParser p;
    p.RaiseErrors = true;
    bool ended = false;
    p.OnEndDocument = [&](TXpParser&) { ended = true; };
    TMemoryStream ms;
    ms.write("<a>\n</b>", 8);
    ms.seek(0, SeekOrigin::Begin);
    try {
        p.ParseFromStream(ms);
        FAIL() << "no exception";
    } catch (const EXpParserError& e) {
        EXPECT_EQ(e.LineNo, 2);
        EXPECT_EQ(e.ColumnNo, 4);
        EXPECT_EQ(e.SourceFile, u"");
    }
    EXPECT_TRUE(ended);
    ASSERT_EQ(p.ErrorLineCount(), 1);
    EXPECT_EQ(p.ErrorLines[0], line(2, 4, "Mismatched end tag: Start tag = \"a\" End tag = \"b\""));

    TMemoryStream bad;
    bad.write("<a>\xFF</a>", 8);
    bad.seek(0, SeekOrigin::Begin);
    try {
        p.ParseFromStream(bad);
        FAIL() << "no exception";
    } catch (const EXpParserError&) {
        FAIL() << "a decoding error is a filter error";
    } catch (const EXpFilterError& e) {
        EXPECT_EQ(e.LineNo, 1);
        EXPECT_EQ(e.ColumnNo, 4);
    }
    EXPECT_EQ(p.ErrorLines[0], line(1, 4, "Badly formed UTF-8 character in stream", "<unknown>"));
}

TEST(XpContent, ParserIsReusableAfterAnError)
{
    TXpParser p;
    EXPECT_FALSE(check("<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;", &p).empty());
    EXPECT_EQ(p.SuspendedSourceCount(), 0u);
    EXPECT_EQ(p.CurrentSource(), nullptr);
    EXPECT_TRUE(check("<a/>", &p).empty());
    // The entity of the first document is gone.
    EXPECT_EQ(check("<a>&e;</a>", &p).size(), 1u);
}

TEST(XpContent, StreamIsReadFromItsPositionAndStaysTheCallers)
{
    TXpParser p;
    TMemoryStream ms;
    ms.write("junk<a/>", 8);
    ms.seek(4, SeekOrigin::Begin);
    EXPECT_TRUE(p.ParseFromStream(ms));
    EXPECT_EQ(ms.size(), 8); // still usable
    EXPECT_EQ(p.DocLocation(), "");
    EXPECT_EQ(p.DocName(), "");
}

TEST(XpContent, MillionNestedElementsNeedNoDeepStack)
{
    const int depth = 1000000;
    std::string doc;
    doc.reserve(depth * 7 + 10);
    for (int i = 0; i < depth; ++i)
        doc += "<a>";
    doc += "x";
    for (int i = 0; i < depth; ++i)
        doc += "</a>";
    EXPECT_EQ(error(doc), "");
    // Unclosed, as converted HTML with unclosed tags might be.
    std::string open(doc, 0, static_cast<std::size_t>(depth) * 3);
    EXPECT_EQ(error(open), line(1, depth * 3, "Unexpected end of file "));
}

TEST(XpContent, EntityTextErrorsCarryThePositionInsideTheText)
{
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e 'ab&#10;c&#38;x y'>]><a>&e;</a>"),
              line(2, 4, "Expected String: ';'"));
}

TEST(XpContent, MarkupEndsInTheEntityThatBeganIt)
{
    const std::string split = "Markup not ended in the entity that began it: ";
    auto doc = [](const std::string& text, const std::string& content) {
        return error("<!DOCTYPE a [<!ENTITY e '" + text + "'>]><a>" + content + "</a>");
    };
    // Whole comments, processing instructions and CDATA sections are fine.
    EXPECT_EQ(doc("&#60;!-- c --&#62;&#60;?p x?&#62;&#60;![CDATA[x]]&#62;", "&e;"), "");
    // Opened in the entity, closed after it.
    EXPECT_EQ(doc("&#60;![CDATA[", "&e;]]>"), line(1, 49, split + "']]>'"));
    EXPECT_EQ(doc("&#60;!--", "&e;-->"), line(1, 44, split + "'-->'"));
    EXPECT_EQ(doc("&#60;?pi", "&e;?>"), line(1, 5, split + "'?>'"));
    EXPECT_EQ(doc("&#60;?pi data", "&e;?>"), line(1, 10, split + "'?>'"));
    // Never closed: the entity's end is reported, not the document's.
    EXPECT_EQ(doc("&#60;!-- c", "&e;"), line(1, 7, split + "'-->'"));
}

namespace {

// A memory stream that counts how often it is asked for bytes.
struct TCountingStream : TMemoryStream {
    int64_t read(void* buffer, int64_t count) override
    {
        ++reads;
        return TMemoryStream::read(buffer, count);
    }
    int reads = 0;
};

} // namespace

// A source that has said it has nothing more is not asked again, however
// often the parser looks past its end (end tags, white space after the
// document, a missing end).
TEST(XpContent, EndedSourceIsNotAskedAgain)
{
    for (const std::string& text : {std::string("<a>x</a>"), std::string("<a>x</a>\n \n"), std::string("<a><b/>"),
                                    "<a>" + std::string(20000, 'y') + "</a>  "}) {
        TXpParser p;
        TCountingStream s;
        s.write(text.data(), static_cast<int64_t>(text.size()));
        s.seek(0, SeekOrigin::Begin);
        p.ParseFromStream(s);
        EXPECT_EQ(p.ErrorLines.empty(), text != "<a><b/>") << text.substr(0, 20);
        EXPECT_LE(s.reads, 2) << text.substr(0, 20); // the text, then the empty answer
    }
}
