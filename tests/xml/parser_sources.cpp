// Sources opened by location: local files with relative locations, the
// current directory, missing files, documents and subsets fetched from a
// real HTTP server on 127.0.0.1 (started by the test), the temporary files,
// and the xpcheck program.
#include "parser_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

extern char** environ;

using namespace xptest;
namespace fs = std::filesystem;

namespace {

int freePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

bool accepts(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

// Python's http.server on 127.0.0.1 serving a directory, stopped at the end.
class HttpServer {
public:
    explicit HttpServer(const std::string& directory) : port_(freePort())
    {
        std::string port = std::to_string(port_);
        std::vector<std::string> args = {"/usr/bin/python3", "-m",        "http.server", "--bind",
                                         "127.0.0.1",       "--directory", directory,     port};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (pid_ > 0 && !accepts(port_) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~HttpServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return pid_ > 0 && accepts(port_); }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }
    int port() const { return port_; }

private:
    int port_;
    pid_t pid_ = -1;
};

std::string firstLine(const TXpParser& p) { return p.ErrorLines.empty() ? std::string() : p.ErrorLines[0]; }

// Runs a program; returns its exit status and standard output.
int run(const std::string& command, std::string& output)
{
    output.clear();
    FILE* f = popen(command.c_str(), "r");
    if (!f)
        return -1;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0)
        output.append(buf.data(), n);
    int status = pclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(XpLocalSources, RelativeLocationsResolveAgainstTheReferringFile)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("sub/ext.dtd", "<!ENTITY e 'E'>\n<!ENTITY % m SYSTEM 'more.ent'>\n%m;\n");
    dir.write("sub/more.ent", "<!ENTITY f 'F'>");
    dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a>&e;&f;</a>");
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };

    fs::current_path(dir.path());
    EXPECT_TRUE(p.ParseFromSource("doc.xml")) << firstLine(p);
    EXPECT_EQ(data, u"EF");
    EXPECT_EQ(p.DocLocation(), "");
    EXPECT_EQ(p.DocName(), "doc.xml");

    // The same from another directory, by a relative path with a directory.
    fs::current_path(fs::path(dir.path()).parent_path());
    data.clear();
    std::string rel = fs::path(dir.path()).filename().string() + "/doc.xml";
    EXPECT_TRUE(p.ParseFromSource(rel)) << firstLine(p);
    EXPECT_EQ(data, u"EF");
    EXPECT_EQ(p.DocLocation(), dir.path() + "/");
}

TEST(XpLocalSources, CurrentDirectoryIsRestored)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("sub/ext.dtd", "<!ELEMENT a ANY>");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a/>");
    std::string bad = dir.write("bad.xml", "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a>");
    const fs::path before = fs::current_path();
    TXpParser p;
    fs::path during;
    p.OnExternalSubsetOpened = [&](TXpParser&) { during = fs::current_path(); };
    EXPECT_TRUE(p.ParseFromSource(doc)) << firstLine(p);
    EXPECT_EQ(during, fs::path(dir.path()) / "sub");
    EXPECT_EQ(fs::current_path(), before);

    p.RaiseErrors = true;
    EXPECT_THROW(p.ParseFromSource(bad), EXpParserError);
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_THROW(p.ParseFromSource(dir.path() + "/nosuch.xml"), EXpParserError);
    EXPECT_EQ(fs::current_path(), before);

    // A stream document whose subset lives elsewhere leaves it alone too.
    p.RaiseErrors = false;
    EXPECT_TRUE(check("<!DOCTYPE a SYSTEM '" + dir.path() + "/sub/ext.dtd'><a/>", &p).empty());
    EXPECT_EQ(fs::current_path(), before);
}

// Without following source directories the process's directory stays put
// throughout, and the subset is still found relative to the document.
TEST(XpLocalSources, KeepingTheDirectoryStillResolvesRelativeNames)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("sub/ext.dtd", "<!ELEMENT a ANY><!ENTITY e 'x'>");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a>&e;</a>");
    const fs::path before = fs::current_path();
    TXpParser p;
    p.FollowSourceDirectory = false;
    std::vector<fs::path> seen;
    p.OnExternalSubsetOpened = [&](TXpParser&) { seen.push_back(fs::current_path()); };
    std::u16string text;
    p.OnCharData = [&](TXpParser&, const std::u16string& t) { text += t; };
    EXPECT_TRUE(p.ParseFromSource(doc)) << firstLine(p);
    EXPECT_EQ(text, u"x");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], before);
    EXPECT_EQ(fs::current_path(), before);

    // A missing entity is still named as before.
    std::string bad = dir.write("bad.xml", "<!DOCTYPE a SYSTEM 'sub/none.dtd'><a/>");
    EXPECT_FALSE(p.ParseFromSource(bad));
    EXPECT_EQ(fs::current_path(), before);
}

TEST(XpLocalSources, MissingDocument)
{
    TempDir dir;
    CwdKeeper keep;
    fs::current_path(dir.path());
    TXpParser p;
    try {
        p.ParseFromSource("nosuch.xml");
        FAIL() << "no exception";
    } catch (const EXpParserError& e) {
        EXPECT_EQ(e.LineNo, 0);
        EXPECT_EQ(e.ColumnNo, 0);
        EXPECT_EQ(e.SourceFile, u"nosuch.xml");
        EXPECT_STREQ(e.what(), "File 'nosuch.xml' could not be found");
    }
    ASSERT_EQ(p.ErrorLineCount(), 1);
    EXPECT_EQ(p.ErrorLines[0], "File nosuch.xml could not be found");
    // A directory is not a document either.
    fs::create_directory("folder.xml");
    EXPECT_THROW(p.ParseFromSource("folder.xml"), EXpParserError);
}

TEST(XpLocalSources, ErrorLinesNameTheFile)
{
    TempDir dir;
    CwdKeeper keep;
    std::string bad = dir.write("bad.xml", "<a>\n</b>");
    TXpParser p;
    EXPECT_FALSE(p.ParseFromSource(bad));
    EXPECT_EQ(firstLine(p), line(2, 4, "Mismatched end tag: Start tag = \"a\" End tag = \"b\"", bad));
    fs::current_path(dir.path());
    EXPECT_FALSE(p.ParseFromSource("bad.xml"));
    EXPECT_EQ(firstLine(p), line(2, 4, "Mismatched end tag: Start tag = \"a\" End tag = \"b\"", "bad.xml"));
    // The writer's output for an empty document: the byte order mark alone.
    dir.write("empty.XML", "\xFF\xFE");
    EXPECT_FALSE(p.ParseFromSource("empty.XML"));
    EXPECT_EQ(firstLine(p), line(1, 0, "Expected String: '<'", "empty.XML"));
}

// Bytes already open stand for the file they came from: the lines name it
// and its relative references resolve beside it, as when it is read by name.
TEST(XpLocalSources, OpenBytesReadAsTheNamedSource)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("sub/ext.dtd", "<!ENTITY e 'E'>");
    const std::string doc = "<!DOCTYPE a SYSTEM 'sub/ext.dtd'><a>&e;\n</b>";
    const std::string named = dir.write("doc.xml", doc);
    TXpParser p;
    std::u16string data;
    p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
    EXPECT_FALSE(p.ParseFromSource(named));
    const std::vector<std::string> byName = p.ErrorLines;
    ASSERT_FALSE(byName.empty());
    EXPECT_EQ(data, u"E");

    // The bytes under a name where no file is, from a stream that was read
    // from before.
    TMemoryStream bytes;
    bytes.write(doc.data(), static_cast<int64_t>(doc.size()));
    data.clear();
    EXPECT_FALSE(p.ParseFromSource(named, bytes));
    EXPECT_EQ(p.ErrorLines, byName);
    EXPECT_EQ(data, u"E");
    EXPECT_EQ(p.DocName(), "doc.xml");
    fs::current_path(dir.path());
    std::filesystem::remove("doc.xml");
    EXPECT_FALSE(p.ParseFromSource("doc.xml", bytes));
    EXPECT_EQ(firstLine(p), line(2, 4, "Mismatched end tag: Start tag = \"a\" End tag = \"b\"", "doc.xml"));
}

TEST(XpLocalSources, ExternalParsedEntitiesInContent)
{
    TempDir dir;
    CwdKeeper keep;
    dir.write("ents/part.ent", "<b>part</b>");
    dir.write("ents/self.ent", "x&self;");
    std::string doc = dir.write("doc.xml", "<!DOCTYPE a [<!ENTITY part SYSTEM 'ents/part.ent'>"
                                           "<!ENTITY self SYSTEM 'ents/self.ent'>]><a>&part;&part;</a>");
    TXpParser p;
    std::u16string log;
    p.OnStartElement = [&](TXpParser&, const std::u16string& n) { log += n; };
    EXPECT_TRUE(p.ParseFromSource(doc)) << firstLine(p);
    EXPECT_EQ(log, u"abb");
    std::string loop = dir.write("loop.xml", "<!DOCTYPE a [<!ENTITY self SYSTEM 'ents/self.ent'>]><a>&self;</a>");
    EXPECT_FALSE(p.ParseFromSource(loop));
    EXPECT_EQ(firstLine(p), line(1, 62, "Circular reference to: self", dir.path() + "/loop.xml"));
}

TEST(XpHttpSources, DocumentAndRelativeSubsetsFromAServer)
{
    TempDir dir;
    dir.write("site/doc.xml", "<!DOCTYPE a SYSTEM 'dtd/a.dtd'><a>&e;&f;&g;</a>");
    dir.write("site/dtd/a.dtd", "<!ENTITY e 'E'>\n<!ENTITY % m SYSTEM 'more.ent'>\n%m;\n"
                                "<!ENTITY % r SYSTEM '/site/root.ent'>\n%r;\n");
    dir.write("site/dtd/more.ent", "<!ENTITY f 'F'>");
    dir.write("site/root.ent", "<!ENTITY g 'G'>");
    HttpServer server(dir.path());
    ASSERT_TRUE(server.ready());

    std::vector<std::string> temps;
    {
        TXpParser p;
        std::u16string data;
        p.OnCharData = [&](TXpParser&, const std::u16string& v) { data += v; };
        EXPECT_TRUE(p.ParseFromSource(server.url("site/doc.xml"))) << firstLine(p);
        EXPECT_EQ(data, u"EFG");
        EXPECT_EQ(p.DocLocation(), "127.0.0.1:" + std::to_string(server.port()) + "/site/");
        EXPECT_EQ(p.DocName(), "doc.xml");
        temps = p.TempFiles();
        EXPECT_EQ(temps.size(), 4u);
        for (const std::string& t : temps)
            EXPECT_TRUE(fs::exists(t)) << t;
    }
    for (const std::string& t : temps)
        EXPECT_FALSE(fs::exists(t)) << t;
}

TEST(XpHttpSources, MissingSubsetAndMissingDocument)
{
    TempDir dir;
    dir.write("doc.xml", "<!DOCTYPE a SYSTEM 'none.dtd'><a/>");
    HttpServer server(dir.path());
    ASSERT_TRUE(server.ready());
    std::vector<std::string> temps;
    {
        TXpParser p;
        EXPECT_FALSE(p.ParseFromSource(server.url("doc.xml")));
        ASSERT_FALSE(p.ErrorLines.empty());
        EXPECT_NE(p.ErrorLines.back().find(". Line: 0 Col: 0 Error: "), std::string::npos) << p.ErrorLines.back();
        EXPECT_THROW(p.ParseFromSource(server.url("none.xml")), EXpParserError);
        temps = p.TempFiles();
    }
    for (const std::string& t : temps)
        EXPECT_FALSE(fs::exists(t)) << t;
}

TEST(XpHttpSources, NothingListening)
{
    int port = freePort();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/doc.xml";
    TXpParser p;
    EXPECT_THROW(p.ParseFromSource(url), EXpParserError);
    ASSERT_FALSE(p.ErrorLines.empty());
    // The download's own lines come first, then the missing-file line.
    EXPECT_EQ(p.ErrorLines.back(), "File " + url + " could not be found");
}

TEST(XpCheckProgram, ReportsEachFileAndExitsWithTheRightStatus)
{
    const std::string program = std::string(ORTAVIX_BINARY_DIR) + "/xpcheck";
    if (!fs::exists(program))
        GTEST_SKIP() << "xpcheck is not built";
    TempDir dir;
    std::string good = dir.write("good.xml", "<a><b/></a>");
    std::string bad = dir.write("bad.xml", "<a></b>");
    std::string out;
    EXPECT_EQ(run(program + " " + good, out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(run(program + " " + good + " " + bad + " " + dir.path() + "/none.xml", out), 1);
    EXPECT_EQ(out, line(1, 7, "Mismatched end tag: Start tag = \"a\" End tag = \"b\"", bad) + "\nFile " + dir.path() +
                       "/none.xml could not be found\n");
    EXPECT_EQ(run(program + " 2>/dev/null", out), 2);
}
