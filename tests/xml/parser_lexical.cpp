// The lexical layer of the XML checker: location resolution, the source
// stack, the readers, references, the entity table and the value tests.
#include "parser_support.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace xptest;

namespace {

TXpDirContext at(int kind, const std::string& directory, const std::string& fileName = "doc.xml")
{
    TXpDirContext c;
    c.kind = static_cast<uint8_t>(kind);
    c.directory = directory;
    c.fileName = fileName;
    return c;
}

struct Resolved {
    int kind;
    std::string directory;
    std::string fileName;
};

Resolved resolve(const TXpBaseDirContext* parent, const std::string& location)
{
    TXpDirContext c(parent, location);
    return {c.kind, c.directory, c.fileName};
}

void expectResolved(const Resolved& r, int kind, const std::string& directory, const std::string& fileName)
{
    EXPECT_EQ(r.kind, kind);
    EXPECT_EQ(r.directory, directory);
    EXPECT_EQ(r.fileName, fileName);
}

std::string cwdSlash() { return std::filesystem::current_path().string() + "/"; }

// A parser reading the given UTF-8 text with the lexical layer alone.
class Lexer {
public:
    explicit Lexer(const std::string& text)
    {
        ms_.write(text.data(), static_cast<int64_t>(text.size()));
        ms_.seek(0, SeekOrigin::Begin);
        p.BeginSource(ms_);
    }
    ~Lexer() { p.EndSource(); }
    std::string failure(const std::function<void()>& step)
    {
        try {
            step();
        } catch (const EXpParserError& e) {
            return e.message();
        }
        return "";
    }
    TXpParser p;

private:
    TMemoryStream ms_;
};

} // namespace

TEST(XpLocation, SchemesAreRecognisedIgnoringCase)
{
    expectResolved(resolve(nullptr, "http://host/dir/page.xml"), xpHttp, "host/dir/", "page.xml");
    expectResolved(resolve(nullptr, "HTTP://host:8080/a.xml"), xpHttp, "host:8080/", "a.xml");
    expectResolved(resolve(nullptr, "ftp://host/pub/a.dtd"), xpFtp, "host/pub/", "a.dtd");
    expectResolved(resolve(nullptr, "File:///tmp/x/a.xml"), xpLocalFile, "/tmp/x/", "a.xml");
}

TEST(XpLocation, AbsoluteLocalPaths)
{
    TXpDirContext local = at(xpLocalFile, "/doc/");
    expectResolved(resolve(nullptr, "/srv/a.xml"), xpLocalFile, "/srv/", "a.xml");
    expectResolved(resolve(&local, "/srv/a.dtd"), xpLocalFile, "/srv/", "a.dtd");
}

TEST(XpLocation, SubdirectoryAgainstLocalAndWebParents)
{
    TXpDirContext local = at(xpLocalFile, "/doc/");
    TXpDirContext web = at(xpHttp, "host/site/");
    TXpDirContext ftp = at(xpFtp, "host/pub/");
    expectResolved(resolve(&local, "sub/x.dtd"), xpLocalFile, "/doc/sub/", "x.dtd");
    expectResolved(resolve(&web, "sub/x.dtd"), xpHttp, "host/site/sub/", "x.dtd");
    expectResolved(resolve(&ftp, "sub/x.dtd"), xpFtp, "host/pub/sub/", "x.dtd");
    expectResolved(resolve(&local, "./x.dtd"), xpLocalFile, "/doc/./", "x.dtd");
    expectResolved(resolve(&web, "../x.dtd"), xpHttp, "host/site/../", "x.dtd");
}

TEST(XpLocation, RelativePathsWithoutParentAreMadeAbsolute)
{
    expectResolved(resolve(nullptr, "sub/x.xml"), xpLocalFile, cwdSlash() + "sub/", "x.xml");
    expectResolved(resolve(nullptr, ".hidden"), xpLocalFile, cwdSlash(), ".hidden");
}

TEST(XpLocation, BareNamesLiveInTheParentsDirectory)
{
    TXpDirContext local = at(xpLocalFile, "/doc/");
    TXpDirContext web = at(xpHttp, "host/site/");
    expectResolved(resolve(nullptr, "x.xml"), xpLocalFile, "", "x.xml");
    expectResolved(resolve(&local, "x.dtd"), xpLocalFile, "/doc/", "x.dtd");
    // A bare name below a web document is fetched from that document's
    // directory, not from an address without a server.
    expectResolved(resolve(&web, "x.dtd"), xpHttp, "host/site/", "x.dtd");
}

TEST(XpLocation, RootRelativeAgainstAWebParentKeepsTheServer)
{
    TXpDirContext web = at(xpHttp, "127.0.0.1:8000/a/b/");
    expectResolved(resolve(&web, "/dtd/x.dtd"), xpHttp, "127.0.0.1:8000/dtd/", "x.dtd");
}

TEST(XpLocation, BackslashPaths)
{
    TXpDirContext local = at(xpLocalFile, "/doc/");
    TXpDirContext web = at(xpHttp, "host/site/");
    expectResolved(resolve(&web, "sub\\x.dtd"), xpHttp, "host/site/sub/", "x.dtd");
    // On this platform a backslash is an ordinary file-name character.
    expectResolved(resolve(&local, "sub\\x.dtd"), xpLocalFile, "/doc/", "sub\\x.dtd");
}

TEST(XpLocation, DriveLetterBelowAWebParentCannotBeMixed)
{
    TXpDirContext web = at(xpHttp, "host/site/");
    try {
        TXpDirContext c(&web, "c:x.dtd");
        FAIL() << "no exception";
    } catch (const EXpParserError&) {
        FAIL() << "must not be a parser error";
    } catch (const EXpException& e) {
        EXPECT_STREQ(e.what(), "Cannot mix absolute local path 'c:x.dtd' with internet path host/site/");
    }
    TXpDirContext local = at(xpLocalFile, "/doc/");
    EXPECT_NO_THROW(TXpDirContext(&local, "c:x.dtd"));
}

TEST(XpLocation, VirtualConstructorResolvesLikeTheConstructor)
{
    TXpDirContext web = at(xpHttp, "host/site/");
    std::unique_ptr<TXpBaseDirContext> c = web.CreateContext(&web, "sub/x.dtd");
    EXPECT_EQ(c->kind, xpHttp);
    EXPECT_EQ(c->FullLocation(), "host/site/sub/x.dtd");
}

TEST(XpQuoting, SingleQuotesInsideAreDoubled)
{
    EXPECT_EQ(XpQuote(u"it's"), u"'it''s'");
    EXPECT_EQ(XpQuote(u""), u"''");
}

TEST(XpReaders, RequireIsNotSatisfiedByACharacterReference)
{
    // A reference is data; it never stands for markup.
    Lexer lx("&#62;");
    EXPECT_EQ(lx.failure([&] { lx.p.Require(U">"); }), "Expected String: '>'");
}

TEST(XpReaders, RequireWithAReferenceToAnotherCharacterFails)
{
    Lexer lx("&#60;");
    EXPECT_EQ(lx.failure([&] { lx.p.Require(U">"); }), "Expected String: '>'");
}

TEST(XpReaders, CharacterReferences)
{
    Lexer lx("x41;65;x1F600;");
    EXPECT_EQ(lx.p.ReadCharRef(), u'A');
    EXPECT_EQ(lx.p.ReadCharRef(), u'A');
    lx.p.ReadCharRef(); // beyond 16 bits: a surrogate pair
    EXPECT_EQ(lx.p.TextBuffer(), u"AA\U0001F600");
    for (const char* bad : {"0;", "x;", "x110000;", "4294967361;", "xFFFF;", "xDFFF;", "8;"}) {
        Lexer b(bad);
        EXPECT_NE(b.failure([&] { b.p.ReadCharRef(); }).find("Invalid character reference: "), std::string::npos)
            << bad;
    }
}

TEST(XpReaders, UpperCaseXIsNotAHexMarker)
{
    Lexer lx("X41;");
    EXPECT_EQ(lx.failure([&] { lx.p.ReadCharRef(); }), "Illegal character in reference: X (88)");
}

TEST(XpReaders, Names)
{
    Lexer lx("a:b-c.d_1>");
    EXPECT_EQ(lx.p.ReadName(true), u"a:b-c.d_1");
    EXPECT_EQ(lx.p.ReadName(true), u""); // a delimiter first
    Lexer bad("ab#c");
    EXPECT_EQ(bad.failure([&] { bad.p.ReadName(true); }), "Invalid XML name: '#'");
    Lexer digit("1a");
    EXPECT_EQ(digit.failure([&] { digit.p.ReadName(true); }), "Invalid XML name: '1'");
    Lexer token("1a ");
    EXPECT_EQ(token.p.ReadName(false), u"1a");
    Lexer wide("\xC3\xA9t\xC3\xA9 ");
    EXPECT_EQ(wide.p.ReadName(true), u"\u00E9t\u00E9");
}

TEST(XpReaders, NameErrorReportsThePeekedCharactersOwnColumn)
{
    Lexer lx("abc#");
    try {
        lx.p.ReadName(true);
        FAIL();
    } catch (const EXpParserError& e) {
        EXPECT_EQ(e.LineNo, 1);
        EXPECT_EQ(e.ColumnNo, 4);
    }
}

TEST(XpReaders, LiteralFlags)
{
    Lexer lx("\"a\nb&#10;c\" 'x&#65;&amp;y' \"  a \t b  \" \"&e;\"");
    bool had = true;
    EXPECT_EQ(lx.p.ParseLiteral(1, &had), u"a b\nc");
    EXPECT_TRUE(had);
    lx.p.SkipWhitespace(false);
    EXPECT_EQ(lx.p.ParseLiteral(0, &had), u"x&#65;&amp;y");
    EXPECT_FALSE(had);
    lx.p.SkipWhitespace(false);
    EXPECT_EQ(lx.p.ParseLiteral(8), u"a b");
    lx.p.SkipWhitespace(false);
    // References recognised but entities not expanded: left as written.
    EXPECT_EQ(lx.p.ParseLiteral(1), u"&e;");
    EXPECT_TRUE(lx.p.TextBuffer().empty());
}

TEST(XpReaders, DelimiterFromEntityTextIsData)
{
    Lexer lx("\"a&q;b\"");
    lx.p.DeclareEntity(u"q", xpetInternal, false, u"\"");
    bool had = false;
    EXPECT_EQ(lx.p.ParseLiteral(3, &had), u"a\"b");
    EXPECT_TRUE(had);
}

TEST(XpReaders, LiteralErrors)
{
    Lexer open("abc");
    EXPECT_EQ(open.failure([&] { open.p.ParseLiteral(0); }), "Expected \" or '");
    Lexer unterminated("'abc");
    EXPECT_EQ(unterminated.failure([&] { unterminated.p.ParseLiteral(0); }), "Expected: '");
}

TEST(XpReaders, ReadUntilAndWhitespace)
{
    Lexer lx("  \t\nabc-->rest");
    EXPECT_EQ(lx.failure([&] { lx.p.RequireWhitespace(); }), "");
    lx.p.ReadUntil(U"-->");
    EXPECT_EQ(lx.p.TextBuffer(), u"abc");
    EXPECT_EQ(lx.failure([&] { lx.p.RequireWhitespace(); }), "Whitespace expected at Line: 2 Position: 7");
    Lexer open("abc--");
    EXPECT_EQ(open.failure([&] { open.p.ReadUntil(U"-->"); }), "End of input while looking for delimiter: '-->'");
}

TEST(XpSourceStack, PushedTextIsReadBeforeTheRestAndPoppedAtItsEnd)
{
    Lexer lx("xy");
    lx.p.PushText(u"ab");
    EXPECT_EQ(lx.p.SuspendedSourceCount(), 1u);
    EXPECT_TRUE(lx.p.MatchAhead(U"ab"));
    // The exhausted text was popped by the look-ahead.
    EXPECT_EQ(lx.p.SuspendedSourceCount(), 0u);
    EXPECT_TRUE(lx.p.MatchAhead(U"xy"));
    EXPECT_TRUE(lx.p.PopSources());
    lx.p.PushText(u"");
    EXPECT_EQ(lx.p.SuspendedSourceCount(), 0u);
}

TEST(XpSourceStack, LiteralsDoNotMatchAcrossSources)
{
    Lexer lx("b");
    lx.p.PushText(u"a");
    EXPECT_FALSE(lx.p.MatchAhead(U"ab"));
    EXPECT_TRUE(lx.p.MatchAhead(U"a"));
    EXPECT_TRUE(lx.p.MatchAhead(U"b"));
}

TEST(XpEntities, PredefinedEntitiesComeFirstAndBind)
{
    Lexer lx("");
    ASSERT_EQ(lx.p.EntityCount(), 5);
    const char16_t* names[] = {u"amp", u"lt", u"gt", u"apos", u"quot"};
    const char16_t* texts[] = {u"&#38;", u"&#60;", u"&#62;", u"&#39;", u"&#34;"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lx.p.EntityInfo(i)->name, names[i]);
        EXPECT_EQ(lx.p.EntityInfo(i)->replacementText, texts[i]);
    }
    lx.p.DeclareEntity(u"lt", xpetInternal, false, u"x");
    EXPECT_EQ(lx.p.EntityCount(), 5);
    EXPECT_EQ(lx.p.EntityInfo(lx.p.FindEntity(u"lt", false))->replacementText, u"&#60;");
}

TEST(XpEntities, ParameterEntitiesAreSkippedByGeneralLookups)
{
    Lexer lx("");
    lx.p.DeclareEntity(u"p", xpetInternal, true, u"param");
    EXPECT_EQ(lx.p.FindEntity(u"p", false), -1);
    EXPECT_EQ(lx.p.EntityKind(u"p", true), xpetInternal);
    lx.p.DeclareEntity(u"p", xpetInternal, false, u"general");
    EXPECT_EQ(lx.p.EntityInfo(lx.p.FindEntity(u"p", false))->replacementText, u"general");
    EXPECT_EQ(lx.p.EntityInfo(lx.p.FindEntity(u"p", true))->replacementText, u"param");
    EXPECT_EQ(lx.p.EntityKind(u"none", true), 0);
    // Names are told apart as wide text, not by a lossy 8-bit form.
    lx.p.DeclareEntity(u"\u0430", xpetInternal, false, u"1");
    lx.p.DeclareEntity(u"\u0431", xpetInternal, false, u"2");
    EXPECT_EQ(lx.p.EntityInfo(lx.p.FindEntity(u"\u0431", false))->replacementText, u"2");
}

TEST(XpEntities, UndeclaredAndCircularReferences)
{
    Lexer undeclared("nope;");
    EXPECT_EQ(undeclared.failure([&] { undeclared.p.ReadEntityRef(); }), "Reference to undeclared entity: 'nope'");
    Lexer pe("nope;");
    try {
        pe.p.ReadPERef(true);
        FAIL();
    } catch (const EXpParserError& e) {
        EXPECT_STREQ(e.what(), "Reference to undeclared entity: nope");
        EXPECT_EQ(e.ColumnNo, 6 - 3);
    }
    Lexer circular("a;");
    circular.p.DeclareEntity(u"a", xpetInternal, false, u"x&a;");
    circular.p.ReadEntityRef();
    EXPECT_EQ(circular.p.ReadName(true), u"x");
    EXPECT_TRUE(circular.p.MatchAhead(U"&"));
    EXPECT_EQ(circular.failure([&] { circular.p.ReadEntityRef(); }), "Circular reference to: a");
}

TEST(XpValueTests, Messages)
{
    Lexer lx("");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckVersionNumber(u"1.0_a:Z-[]"); }), "");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckVersionNumber(u"1 0"); }), "Invalid XML version number: '1 0'");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckEncodingName(u"UTF-8"); }), "");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckEncodingName(u"8bit"); }), "Invalid encoding declaration: '8bit'");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckEncodingName(u""); }), "Invalid encoding declaration: ''");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckPublicId(u"-//W3C//DTD X 1.0//EN"); }), "");
    EXPECT_EQ(lx.failure([&] { lx.p.CheckPublicId(u"a\"b"); }), "Invalid PublicID character: '\"'");
}
