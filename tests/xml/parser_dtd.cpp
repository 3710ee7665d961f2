// Document type declarations: subsets, declarations, their messages, the
// effects of declarations on content, entity expansion limits and deep
// content models.
#include "parser_support.h"

#include <gtest/gtest.h>


using namespace xptest;

TEST(XpDtd, PublicIdentifierNeedsASystemLiteral)
{
    EXPECT_EQ(error("<!DOCTYPE a PUBLIC \"-//X//Y\"><a/>"), line(1, 29, "Whitespace expected at Line: 1 Position: 29"));
    EXPECT_EQ(error("<!DOCTYPE a PUBLIC \"a<b\" \"x\"><a/>"), line(1, 25, "Invalid PublicID character: '<'"));
}

TEST(XpDtd, InternalEntitiesExpandAndPredefinedOnesBind)
{
    TXpParser p;
    std::u16string text;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { text += v; };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ENTITY e 'x &lt; y'><!ENTITY lt 'LT'>]><a>[&e;|&lt;]</a>", &p).empty());
    EXPECT_EQ(text, u"[x < y|<]");
}

TEST(XpDtd, OneLetterEntityTwiceInAnAttributeValue)
{
    TXpParser p;
    std::u16string value;
    p.OnAttribute = [&](TXpParser&, const std::u16string&, const std::u16string& v, bool) { value = v; };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ENTITY e 'z'>]><a b='&e;&e;'/>", &p).empty());
    EXPECT_EQ(value, u"zz");
}

TEST(XpDtd, CircularReferences)
{
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY a '&a;'>]><a>&a;</a>"), line(1, 39, "Circular reference to: a"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY a 'x&b;'><!ENTITY b 'y&a;'>]><a>&a;</a>"),
              line(1, 58, "Circular reference to: a"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY a 'x&a;'>]><a b='&a;'/>"), line(1, 43, "Circular reference to: a"));
    // The same entity again once its text has been read is fine.
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY b 'y'><!ENTITY a '&b;&b;'>]><a>&a;&a;</a>"), "");
}

TEST(XpDtd, NestedEntityExpansionIsBounded)
{
    std::string doc = "<!DOCTYPE a [<!ENTITY l0 'lol'>";
    for (int i = 1; i <= 10; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k)
            doc += "&l" + std::to_string(i - 1) + ";";
        doc += "'>";
    }
    doc += "]>";
    // The expansion counter ends both: the limit, not the clock, bounds them.
    std::string content = error(doc + "<a>&l10;</a>");
    std::string attribute = error(doc + "<a b='&l10;'/>");
    EXPECT_NE(content.find("Error: Entity expansion limit exceeded: 'l"), std::string::npos) << content;
    EXPECT_NE(attribute.find("Error: Entity expansion limit exceeded: 'l"), std::string::npos) << attribute;
}

TEST(XpDtd, EntityNestingDepthIsBounded)
{
    std::string doc = "<!DOCTYPE a [<!ENTITY e0 'x'>";
    for (int i = 1; i <= 100; ++i)
        doc += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";'>";
    doc += "]>";
    EXPECT_EQ(error(doc + "<a>&e60;</a>"), "");
    EXPECT_NE(error(doc + "<a>&e100;</a>").find("Error: Entity references nested too deeply: 'e"), std::string::npos);
}

TEST(XpDtd, EmptyAndElementOnlyContent)
{
    const std::string dtd = "<!DOCTYPE x [<!ELEMENT x EMPTY><!ELEMENT e (a,b)><!ELEMENT m (#PCDATA|a)*>]>";
    // Text where the declarations allow none is invalid, not malformed.
    EXPECT_EQ(error(dtd + "<x>text</x>"), "");
    EXPECT_EQ(error(dtd + "<x><a/></x>"), "");
    EXPECT_EQ(error(dtd + "<x><e> <a/>\n <b/> </e></x>"), "");
    EXPECT_EQ(error(dtd + "<x><e> t<a/></e></x>"), "");
    EXPECT_EQ(error(dtd + "<x><e>&#65;</e></x>"), "");
    EXPECT_EQ(error(dtd + "<x><e> ]]></e></x>"), line(1, 87, "Invalid characters in element's character data: ']]>'"));
    EXPECT_EQ(error(dtd + "<x><m>t<a/>u</m></x>"), "");
}

TEST(XpDtd, ElementWhitespaceIsReportedOnlyWhenKept)
{
    const std::string doc = "<!DOCTYPE e [<!ELEMENT e (a)*>]><e> <a/>\n</e>";
    TXpParser p;
    std::u16string ws, data;
    p.OnElementWhitespace = [&](TXpParser&, const std::u16string& v) { ws += u"[" + v + u"]"; };
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    check(doc, &p);
    EXPECT_EQ(ws, u"");
    p.NormalizeData = false;
    check(doc, &p);
    EXPECT_EQ(ws, u"[ ][\n]");
    EXPECT_EQ(data, u"");
}

TEST(XpDtd, AttributeTypesDecideNormalisation)
{
    TXpParser p;
    std::u16string log;
    p.OnAttribute = [&](TXpParser&, const std::u16string& n, const std::u16string& v, bool s) {
        log += n + u"=[" + v + u"]" + (s ? u"" : u"?");
    };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ATTLIST a t NMTOKEN #IMPLIED c CDATA #IMPLIED>]>"
                      "<a t='  x   y ' c='  x   y '/>",
                      &p)
                    .empty());
    EXPECT_EQ(log, u"t=[x y]c=[  x   y ]");
}

TEST(XpDtd, DefaultsAndTheLastAttlistWins)
{
    TXpParser p;
    std::u16string log;
    p.OnAttribute = [&](TXpParser&, const std::u16string& n, const std::u16string& v, bool s) {
        log += n + u"=[" + v + u"]" + (s ? u"" : u"?");
    };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ENTITY e 'E'>"
                      "<!ATTLIST a d CDATA 'one' q CDATA '\"&e;\" x' r CDATA #REQUIRED>"
                      "<!ATTLIST a d CDATA '  two  2 '>]><a/>",
                      &p)
                    .empty());
    EXPECT_EQ(log, u"d=[two 2]?q=[\"E\" x]?");
}

TEST(XpDtd, DeclaredXmlSpaceDefault)
{
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += u"[" + v + u"]"; };
    check("<!DOCTYPE a [<!ATTLIST pre xml:space (default|preserve) 'preserve'>]><a> x <pre> y </pre></a>", &p);
    EXPECT_EQ(data, u"[x][ y ]");
}

TEST(XpDtd, DeclarationMessages)
{
    auto dtd = [](const std::string& decls) { return error("<!DOCTYPE a [" + decls + "]><a/>"); };
    EXPECT_EQ(dtd("<![INCLUDE[ ]]>"),
              line(1, 17, "Conditional sections not allowed in internal subset of document type declaration"));
    EXPECT_EQ(dtd("foo "), line(1, 17, "Expected markup declaration, but found: foo"));
    EXPECT_EQ(dtd("<!ATTLIST a b WORD #IMPLIED>"), line(1, 32, "Illegal attribute type: (WORD) in element a"));
    EXPECT_EQ(dtd("<!ATTLIST a b CDATA #DEFAULT>"), line(1, 42, "Illegal keyword for attribute default value: DEFAULT"));
    EXPECT_EQ(dtd("<!ENTITY e '50%'>"), line(1, 29, "Parameter entities not allowed in DTD internal subset"));
    EXPECT_EQ(dtd("<!ENTITY e '50&'>"), line(1, 29, "Invalid entity reference in literal"));
    EXPECT_EQ(dtd("<!ENTITY e '50&#37;'>"), "");
    EXPECT_EQ(dtd("<!ENTITY e SYSTEM ''>"), ""); // an empty system literal is a literal
    EXPECT_EQ(dtd("<!ENTITY e x>"), line(1, 25, "System identifier missing 'e'"));
    EXPECT_EQ(dtd("<!ENTITY % e SYSTEM 'x' NDATA n>"), line(1, 43, "NDATA not allowed in parameter entity declaration"));
    EXPECT_EQ(dtd("<!NOTATION n>"), line(1, 26, "Whitespace expected at Line: 1 Position: 26"));
    EXPECT_EQ(dtd("<!NOTATION n >"), line(1, 27, "External modifier missing: n"));
    EXPECT_EQ(dtd("<!NOTATION n PUBLIC 'p'><!NOTATION n SYSTEM 's'>"), "");
    EXPECT_EQ(dtd("<!ELEMENT a (b;c)>"), line(1, 28, "Bad separator in content model: ;"));
    EXPECT_EQ(dtd("<!ENTITY % p '(b)'><!ELEMENT a (%p;)>"), line(1, 47, "Parameter entities not allowed in DTD internal subset"));
    EXPECT_EQ(dtd("<!ENTITY % p 'x'>%p;"), line(1, 1, "Expected markup declaration, but found: x"));
    EXPECT_EQ(dtd("<!ENTITY % p '(b'><!ELEMENT a %p;)>"), line(1, 45, "Parameter entities not allowed in DTD internal subset"));
    // A run of "%" is no reference; it must not recurse once per character.
    EXPECT_EQ(dtd("<!ELEMENT a " + std::string(100000, '%') + ">"), line(1, 27, "Parameter entities not allowed in DTD internal subset"));
    EXPECT_EQ(dtd("<!ATTLIST a b (x|y) 'x' c NOTATION (n) #IMPLIED d ID #REQUIRED>"), "");
    // Keywords are written in upper case.
    EXPECT_EQ(dtd("<!ATTLIST a d id #REQUIRED>"), line(1, 30, "Illegal attribute type: (id) in element a"));
    EXPECT_EQ(dtd("<!ATTLIST a d ID #implied>"), line(1, 39, "Illegal keyword for attribute default value: implied"));
    EXPECT_EQ(dtd("<!ENTITY u SYSTEM 'u.gif' NDATA gif><!ELEMENT a ANY><!ELEMENT b (#PCDATA)>"), "");
    // Enumerations hold at least one token; a tab is no public-id character
    // (it is tested before whitespace is normalised).
    EXPECT_EQ(dtd("<!ATTLIST a b () #IMPLIED>"), line(1, 29, "Expected name token in enumeration: )"));
    EXPECT_EQ(dtd("<!ATTLIST a b NOTATION (x|) #IMPLIED>"), line(1, 40, "Expected name token in enumeration: )"));
    EXPECT_EQ(dtd("<!NOTATION n PUBLIC 'a\tb'>"), line(1, 39, "Invalid PublicID character: '\t'"));
    EXPECT_EQ(dtd("<!NOTATION n PUBLIC ' a\n b '>"), "");
}

TEST(XpDtd, ParameterEntityHoldingDeclarations)
{
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ENTITY % d '<!ENTITY e \"from pe\">'> %d; ]><a>&e;</a>", &p).empty());
    EXPECT_EQ(data, u"from pe");
}

TEST(XpDtd, UnparsedEntitiesAreNamedNotReferenced)
{
    EXPECT_EQ(error("<!DOCTYPE a [<!NOTATION gif SYSTEM 'viewer'><!ENTITY u SYSTEM 'u.gif'   NDATA gif>"
                    "<!ATTLIST a p ENTITY #IMPLIED>]><a p='u'/>"),
              "");
    EXPECT_EQ(error("<!DOCTYPE a [<!NOTATION gif SYSTEM 'viewer'><!ENTITY u SYSTEM 'u.gif' NDATA gif>]><a>&u;</a>"),
              line(1, 89, "Reference to unparsed entity: 'u'"));
}

TEST(XpDtd, ContentModelEvents)
{
    TXpParser p;
    std::u16string log;
    p.OnDTDElementStart = [&](TXpParser&, const std::u16string& n, int32_t t) {
        log += n + u":" + std::u16string(1, char16_t(u'0' + t));
    };
    p.OnDTDElementGroupStart = [&](TXpParser&) { log += u"("; };
    p.OnDTDElementContent = [&](TXpParser&, const std::u16string& n, int32_t o, int32_t r) {
        log += n + std::u16string(1, char16_t(u'0' + o)) + std::u16string(1, char16_t(u'0' + r));
    };
    p.OnDTDElementGroupEnd = [&](TXpParser&, int32_t o, int32_t r) {
        log += u")" + std::u16string(1, char16_t(u'0' + o)) + std::u16string(1, char16_t(u'0' + r));
    };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ELEMENT a (b?, (c | d)+, e*)><!ELEMENT m (#PCDATA|x)*>]><a/>", &p).empty());
    EXPECT_EQ(log, u"a:4(b11(c00d01)31e21)01m:3(#PCDATA00x00)21");
}

TEST(XpDtd, DeepContentModelGroupsNeedNoDeepStack)
{
    const int depth = 200000;
    std::string model(depth, '(');
    model += "a";
    model += std::string(depth, ')');
    EXPECT_EQ(error("<!DOCTYPE a [<!ELEMENT a " + model + ">]><a/>"), "");
}

TEST(XpDtd, ExternalSubsetWithConditionalSections)
{
    TempDir dir;
    CwdKeeper keep;
    std::string ext = "<?xml encoding='UTF-8'?>\n"
                      "<!ENTITY % on 'INCLUDE'>\n"
                      "<![%on;[ <![INCLUDE[ <!ENTITY inc 'included'> ]]> ]]>\n"
                      "<![IGNORE[ <![INCLUDE[ <!ENTITY inc 'ignored'> ]]> stray ]]>\n"
                      "<!ELEMENT a (#PCDATA)>\n";
    dir.write("sub/ext.dtd", ext);
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a>&inc;</a>");
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += u"[" + v + u"]"; };
    bool opened = false;
    p.OnExternalSubsetOpened = [&](TXpParser&) { opened = true; };
    EXPECT_TRUE(p.ParseFromSource(doc)) << (p.ErrorLines.empty() ? "" : p.ErrorLines[0]);
    EXPECT_TRUE(opened);
    EXPECT_EQ(data, u"[<![INCLUDE[ <!ENTITY inc 'ignored'> ]]> stray ]]>][included]");
}

TEST(XpDtd, ExternalSubsetErrors)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("bad.dtd", "<!ELEMENT a ANY>\n<![IGNORE[ never closed");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'bad.dtd'><a/>");
    TXpParser p;
    EXPECT_FALSE(p.ParseFromSource(doc));
    ASSERT_EQ(p.ErrorLineCount(), 1);
    EXPECT_EQ(p.ErrorLines[0], line(2, 12, "Encountered malformed IGNORE section.", dir.path() + "/bad.dtd"));

    dir.write("kw.dtd", "<![MAYBE[ ]]>");
    doc = dir.write("doc2.xml", "<!DOCTYPE a SYSTEM 'kw.dtd'><a/>");
    EXPECT_FALSE(p.ParseFromSource(doc));
    EXPECT_EQ(p.ErrorLines[0], line(1, 4, "Conditional section must begin with INCLUDE or IGNORE", dir.path() + "/kw.dtd"));
}

TEST(XpDtd, MissingExternalSubsetGivesTwoLines)
{
    TempDir dir;
    CwdKeeper keep;
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'none.dtd'><a/>");
    TXpParser p;
    EXPECT_FALSE(p.ParseFromSource(doc));
    ASSERT_EQ(p.ErrorLineCount(), 2);
    EXPECT_EQ(p.ErrorLines[0], "File none.dtd could not be found");
    EXPECT_EQ(p.ErrorLines[1],
              line(0, 0, "File '" + dir.path() + "/none.dtd' could not be found", "none.dtd"));
}

TEST(XpDtd, DeepIncludeSectionsNeedNoDeepStack)
{
    TempDir dir;
    CwdKeeper keep;
    const int depth = 100000;
    std::string ext;
    for (int i = 0; i < depth; ++i)
        ext += "<![INCLUDE[";
    ext += "<!ENTITY e 'deep'>";
    for (int i = 0; i < depth; ++i)
        ext += "]]>";
    dir.write("deep.dtd", ext);
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'deep.dtd'><a>&e;</a>");
    TXpParser p;
    EXPECT_TRUE(p.ParseFromSource(doc)) << (p.ErrorLines.empty() ? "" : p.ErrorLines[0]);
}

TEST(XpDtd, ExternalParameterEntityBetweenDeclarations)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("mod/decls.ent", "<!ENTITY from 'module'>");
    dir.write("main.dtd", "<!ENTITY % m SYSTEM 'mod/decls.ent'>\n%m;\n");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'main.dtd'><a>&from;</a>");
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    EXPECT_TRUE(p.ParseFromSource(doc)) << (p.ErrorLines.empty() ? "" : p.ErrorLines[0]);
    EXPECT_EQ(data, u"module");
    // An internal entity stands for declarations there too.
    dir.write("int.dtd", "<!ENTITY % m '<!ENTITY from \"internal\">'>\n%m;\n");
    doc = dir.write("doc3.xml", "<!DOCTYPE a SYSTEM 'int.dtd'><a>&from;</a>");
    data.clear();
    EXPECT_TRUE(p.ParseFromSource(doc)) << (p.ErrorLines.empty() ? "" : p.ErrorLines[0]);
    EXPECT_EQ(data, u"internal");
    dir.write("bad.dtd", "<!ENTITY % m 'x'>\n%m;\n");
    doc = dir.write("doc2.xml", "<!DOCTYPE a SYSTEM 'bad.dtd'><a/>");
    EXPECT_FALSE(p.ParseFromSource(doc));
    EXPECT_EQ(p.ErrorLines[0], line(1, 1, "Expected markup declaration, but found: x"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ATTLIST  >]><a/>"), line(1, 25, "Invalid XML name: '>'"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ATTLIST a>]><a/>"), "");
}

TEST(XpDtd, TablesAreClearedAfterEveryParse)
{
    TXpParser p;
    EXPECT_TRUE(check("<!DOCTYPE a [<!ELEMENT a EMPTY><!ENTITY e 'x'>]><a/>", &p).empty());
    EXPECT_EQ(p.ElementInfo(u"a"), nullptr);
    EXPECT_EQ(p.EntityCount(), 0);
    // Without the declaration text is allowed again.
    EXPECT_TRUE(check("<a>text</a>", &p).empty());
}

namespace {
std::string dtd(const std::string& decls) { return error("<!DOCTYPE a [" + decls + "]><a/>"); }
} // namespace

TEST(XpDtd, ContentModelSyntax)
{
    EXPECT_EQ(dtd("<!ELEMENT a ((b,c)|d)+><!ELEMENT e (#PCDATA|b)*><!ELEMENT f (#PCDATA)>"), "");
    EXPECT_EQ(dtd("<!ELEMENT a ()>"), line(1, 27, "Expected element name in content model: )"));
    EXPECT_EQ(dtd("<!ELEMENT a (b,)>"), line(1, 29, "Expected element name in content model: )"));
    EXPECT_EQ(dtd("<!ELEMENT a (b,c|d)>"), line(1, 30, "Mixed separators in content model: |"));
    EXPECT_EQ(dtd("<!ELEMENT a ((b) ?)>"), line(1, 31, "Bad separator in content model: ?"));
    EXPECT_EQ(dtd("<!ELEMENT a (#PCDATA|b)>"), line(1, 37, "Mixed content with element names must end with ')*'"));
    EXPECT_EQ(dtd("<!ELEMENT a (#PCDATA|)*>"), line(1, 35, "Expected element name in content model: )"));
}

TEST(XpDtd, AttributeDefaultsAreCheckedWhereDeclared)
{
    EXPECT_EQ(dtd("<!ENTITY e 'v'><!ATTLIST a b CDATA '&e;&#60;&#38;'>"), "");
    EXPECT_EQ(dtd("<!ATTLIST a b CDATA '&e;'><!ENTITY e 'v'>"),
              line(1, 39, "Reference to undeclared entity: 'e'"));
    EXPECT_EQ(dtd("<!ATTLIST a b CDATA '<'>"), line(1, 37, "Invalid character in attribute value: '<'"));
    EXPECT_EQ(dtd("<!ENTITY e '&#60;'><!ATTLIST a b CDATA '&e;'>"),
              line(1, 58, "Invalid character in attribute value: '<'"));
    EXPECT_NE(dtd("<!ENTITY e1 '&e2;'><!ENTITY e2 '&e1;'><!ATTLIST a b CDATA #FIXED '&e1;'>")
                  .find("Circular reference to: e1"),
              std::string::npos);
}

TEST(XpDtd, ElementsEndInTheEntityThatBeganThem)
{
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e '<b>t</b>'>]><a>&e;</a>"), "");
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e '<b>'>]><a>&e;</b></a>"),
              line(1, 41, "Element not ended in the entity that began it: 'b'"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY e '</b><b>'>]><a><b>&e;</b></a>"),
              line(1, 3, "Element not ended in the entity that began it: 'b'"));
}

TEST(XpDtd, ParameterEntitiesInExternalText)
{
    namespace fs = std::filesystem;
    auto firstLine = [](const TXpParser& p) { return p.ErrorLines.empty() ? std::string() : p.ErrorLines[0]; };
    TempDir dir;
    CwdKeeper keep;
    // Inside declarations of the external subset references are allowed,
    // also in entity values; a text declaration needs an encoding.
    dir.write("ext.dtd", "<?xml encoding='UTF-8'?><!ENTITY % t 'CDATA'><!ENTITY % v 'x%t;'>"
                         "<!ENTITY w '%v;'><!ATTLIST a b %t; #IMPLIED><!ELEMENT a (#PCDATA)>");
    dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'ext.dtd'><a b='1'>&w;</a>");
    dir.write("bad.dtd", "<?xml version='1.0'?><!ELEMENT a ANY>");
    dir.write("bad.xml", "<!DOCTYPE a SYSTEM 'bad.dtd'><a/>");
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    fs::current_path(dir.path());
    EXPECT_TRUE(p.ParseFromSource("doc.xml")) << firstLine(p);
    EXPECT_EQ(data, u"xCDATA");
    EXPECT_FALSE(p.ParseFromSource("bad.xml"));
    EXPECT_EQ(firstLine(p), "File: bad.dtd. Line: 1 Col: 20 Error: "
                            "Text declaration requires an encoding declaration");
}

TEST(XpDtd, UndeclaredEntitiesWhereUnreadDeclarationsCouldStand)
{
    // Without parameter entities or an external subset every declaration
    // was read: an undeclared entity is malformed.
    EXPECT_EQ(error("<a>&u;</a>"), line(1, 7, "Reference to undeclared entity: 'u'"));
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY % p ''>]><a>&u;</a>"), line(1, 38, "Reference to undeclared entity: 'u'"));
    // After a parameter-entity reference it is a matter of validity only...
    EXPECT_EQ(error("<!DOCTYPE a [<!ENTITY % p ''>%p;]><a b='&u;'>&u;</a>"), "");
    // ... unless the document says it stands alone.
    EXPECT_EQ(error("<?xml version='1.0' standalone='yes'?><!DOCTYPE a [<!ENTITY % p ''>%p;]><a>&u;</a>"),
              line(1, 79, "Reference to undeclared entity: 'u'"));
    // A standalone document may not use what a parameter entity declared.
    const std::string message =
        "Reference in a standalone document to an entity declared externally or in a parameter entity: 'e'";
    const std::string pe = "<!DOCTYPE a [<!ENTITY % p '<!ENTITY e \"v\">'>%p;]>";
    EXPECT_EQ(error(pe + "<a b='&e;'>&e;</a>"), "");
    EXPECT_EQ(error("<?xml version='1.0' standalone='yes'?>" + pe + "<a>&e;</a>"), line(1, 94, message));
    EXPECT_EQ(error("<?xml version='1.0' standalone='yes'?>" + pe + "<a b='&e;'/>"), line(1, 97, message));
    EXPECT_EQ(error("<?xml version='1.0' standalone='no'?>" + pe + "<a>&e;</a>"), "");

    TempDir dir;
    CwdKeeper keep;
    dir.write("ext.dtd", "<!ENTITY e 'v'><!ATTLIST a b CDATA '&e;'>");
    // Also a default in the internal subset may name what the external one declares.
    std::string defaults = dir.write("defaults.xml", "<!DOCTYPE a SYSTEM 'ext.dtd' [<!ATTLIST a c CDATA '&e;'>]><a/>");
    std::string yes = dir.write("yes.xml", "<?xml version='1.0' standalone='yes'?><!DOCTYPE a SYSTEM 'ext.dtd'><a>&e;</a>");
    std::string no = dir.write("no.xml", "<!DOCTYPE a SYSTEM 'ext.dtd'><a>&e;&undeclared;</a>");
    TXpParser p;
    EXPECT_FALSE(p.ParseFromSource(yes));
    EXPECT_EQ(p.ErrorLines.at(0), line(1, 74, message, dir.path() + "/yes.xml"));
    EXPECT_TRUE(p.ParseFromSource(no)) << p.ErrorLines.at(0);
    EXPECT_TRUE(p.ParseFromSource(defaults)) << p.ErrorLines.at(0);
}

TEST(XpDtd, ParameterAndGeneralEntitiesHaveNamesOfTheirOwn)
{
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    EXPECT_TRUE(check("<!DOCTYPE a [<!ENTITY x 'general'><!ENTITY % x '<!ENTITY y \" from pe\">'>%x;]><a>&x;&y;</a>",
                      &p)
                    .empty());
    EXPECT_EQ(data, u"general from pe");

    // An external parameter entity is no general entity: the general one
    // declared after it binds.
    TempDir dir;
    CwdKeeper keep;
    dir.write("part.ent", "<!ATTLIST a b CDATA 'v'>");
    dir.write("ext.dtd", "<!ENTITY % e SYSTEM 'part.ent'>\n<!ENTITY e '<![CDATA[%e;]]>'>");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'ext.dtd'><a>&e;</a>");
    std::u16string cdata;
    p.OnCDATASection = [&](TXpParser&, const std::u16string& v) { cdata += v; };
    EXPECT_TRUE(p.ParseFromSource(doc)) << p.ErrorLines.at(0);
    EXPECT_EQ(cdata, u"<!ATTLIST a b CDATA 'v'>");
}

TEST(XpDtd, ConditionalSectionsInExternalParameterEntities)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("cond.ent", "<![INCLUDE[<!ENTITY e 'in'>]]>\n<![IGNORE[some junk]]>");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a [<!ENTITY % c SYSTEM 'cond.ent'>%c;]><a>&e;</a>");
    TXpParser p;
    EXPECT_TRUE(p.ParseFromSource(doc)) << p.ErrorLines.at(0);
    // An IGNORE section begins after the blanks of its own source.
    dir.write("open.ent", "<![ IGNORE [\r\n");
    doc = dir.write("doc2.xml", "<!DOCTYPE a SYSTEM 'open.ent'><a/>");
    EXPECT_FALSE(p.ParseFromSource(doc));
    EXPECT_EQ(p.ErrorLines.at(0), line(2, 0, "Encountered malformed IGNORE section.", dir.path() + "/open.ent"));
}

TEST(XpDtd, EntityTextInElementOnlyContent)
{
    // Blank and empty entities, and CDATA sections, where only elements
    // belong are invalid, not malformed.
    EXPECT_EQ(error("<!DOCTYPE f [<!ELEMENT f (a+)><!ENTITY empty ''><!ENTITY space ' '><!ELEMENT a EMPTY>]>"
                    "<f>\n&empty;\n<a/>\n&space;\n<a/>\n<![CDATA[]]>\n<a/><![CDATA[ ]]></f>"),
              "");
}

TEST(XpDtd, ParameterEntitiesBetweenDeclarationsHoldWholeDeclarations)
{
    EXPECT_EQ(dtd("<!ENTITY % e '<!ELEMENT a ANY>'>%e;"), "");
    EXPECT_EQ(dtd("<!ENTITY % e '<!ELEMENT a '>%e;ANY>"),
              line(1, 48, "Markup declaration not ended in the entity that began it"));
    EXPECT_EQ(dtd("<!ENTITY % e '<!--'>%e; -->"), line(1, 37, "Markup not ended in the entity that began it: '-->'"));
    // Inside declarations of the internal subset no reference may stand,
    // also where a name is expected.
    const std::string refused = "Parameter entities not allowed in DTD internal subset";
    EXPECT_EQ(dtd("<!ELEMENT %e; ANY>"), line(1, 25, refused));
    EXPECT_EQ(dtd("<!NOTATION %e; SYSTEM 'x'>"), line(1, 26, refused));
    EXPECT_EQ(dtd("<!ATTLIST a %e;>"), line(1, 27, refused));
}

TEST(XpDtd, ParameterEntitiesInsideExternalDeclarations)
{
    TempDir dir;
    CwdKeeper keep;
    TXpParser p;
    std::u16string log;
    p.OnAttribute = [&](TXpParser&, const std::u16string& n, const std::u16string& v, bool) {
        log += n + u"=" + v + u";";
    };
    auto run = [&](const std::string& ext) {
        dir.write("ext.dtd", ext);
        std::string doc = dir.write("doc.xml", "<!DOCTYPE doc SYSTEM 'ext.dtd'><doc/>");
        log.clear();
        bool ok = p.ParseFromSource(doc);
        return ok ? std::string() : p.ErrorLines.at(0);
    };
    // A reference's text counts as having a blank on each side.
    EXPECT_EQ(run("<!ENTITY % e \"'v1'\"><!ATTLIST doc a1 CDATA %e;>"), "");
    EXPECT_EQ(log, u"a1=v1;");
    EXPECT_EQ(run("<!ENTITY % e \"'v1'\"><!ATTLIST doc a1 CDATA%e;>"), "");
    EXPECT_EQ(run("<!ENTITY % e 'doc'><!ATTLIST%e;a1 CDATA 'v1'>"), "");
    EXPECT_EQ(log, u"a1=v1;");
    EXPECT_EQ(run("<!ENTITY % e 'x'><!ENTITY % e 'y'><!ENTITY % v \"'%e;'\"><!ATTLIST doc a1 CDATA %v;>"), "");
    EXPECT_EQ(log, u"a1=x;");
    EXPECT_EQ(run("<!ENTITY % e ''><!ELEMENT doc (#PCDATA %e;)>"), "");
    EXPECT_EQ(run("<!ENTITY % n 'NOTATION'><!ENTITY % s 'SYSTEM'><!NOTATION x %s; 'x'>"
                  "<!ATTLIST doc t %n; (x) #IMPLIED d CDATA #FIXED 'f'>"),
              "");
    EXPECT_EQ(log, u"d=f;");
    EXPECT_EQ(run("<!ENTITY % n 'NOTATION'><!ENTITY % s 'SYSTEM'><!NOTATION x %s; 'x'>"
                  "<!ATTLIST doc t %n; (x) #IMPLIED d CDATA #FIXED 'f'><!ELEMENT doc %n;>"),
              line(1, 1, "Expected String: '('")); // in the text of n
    // Groups and declarations may open in one text and close in another:
    // a matter of validity.
    EXPECT_EQ(run("<!ENTITY % c1 '(a|b'><!ENTITY % c2 '|c)'><!ELEMENT doc %c1;%c2; >"), "");
    EXPECT_EQ(run("<!ENTITY % e '>'><!ELEMENT doc (#PCDATA) %e;"), "");
    EXPECT_EQ(run("<!ENTITY % e 'b CDATA #IMPLIED>'><!ATTLIST doc %e;"), "");
    // A quoted value closes in the text it opened in.
    EXPECT_EQ(run("<!ENTITY % e \"'a&amp;\"><!ATTLIST doc a CDATA %e;'>"), line(1, 8, "Expected: '"));
    // Where a blank is required, none is supplied by an unexpanded name.
    EXPECT_EQ(run("<!ATTLIST doc a CDATA'v'>"),
              "File: " + dir.path() + "/ext.dtd. Line: 1 Col: 22 Error: Whitespace expected at Line: 1 Position: 22");
}
