// Downloads against real HTTP and FTP servers started by the test on
// 127.0.0.1 (Python's http.server and pyftpdlib). Nothing leaves the
// loopback address.
#include "xml/XpInet.h"

#include "text/Ansi.h"
#include "xml/XpExcept.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char* kHttpServer = R"PY(
import http.server, sys, time
root = sys.argv[1]
class H(http.server.SimpleHTTPRequestHandler):
    protocol_version = 'HTTP/1.0'
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)
    def log_message(self, *a):
        pass
    def do_GET(self):
        if self.path == '/echo':
            body = (self.requestline + '\n' + str(self.headers)).encode()
            self.send_response(200)
            self.send_header('Content-Length', str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif self.path == '/redirect':
            self.send_response(302)
            self.send_header('Location', '/doc.xml')
            self.end_headers()
        elif self.path == '/drop':
            self.close_connection = True
        elif self.path in ('/trickle', '/endless'):
            # Headers, then a byte at a time or large blocks, until the
            # client goes away.
            self.send_response(200)
            self.end_headers()
            block = b'x' if self.path == '/trickle' else b'<a>' * 20000
            try:
                while True:
                    self.wfile.write(block)
                    self.wfile.flush()
                    if self.path == '/trickle':
                        time.sleep(0.02)
            except OSError:
                pass
        else:
            super().do_GET()
srv = http.server.ThreadingHTTPServer(('127.0.0.1', 0), H)
srv.handle_error = lambda *a: None  # clients that hang up early are expected
print(srv.server_address[1], flush=True)
srv.serve_forever()
)PY";

const char* kFtpServer = R"PY(
import sys, logging
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.disable(logging.CRITICAL)
a = DummyAuthorizer()
a.add_user('tester', 'secret', sys.argv[1], perm='elr')
a.add_anonymous(sys.argv[2])
FTPHandler.authorizer = a
FTPHandler.auth_failed_timeout = 0.05
s = FTPServer(('127.0.0.1', 0), FTPHandler)
print(s.address[1], flush=True)
s.serve_forever()
)PY";

// A Python server child process; it prints its port once it listens.
class PythonServer {
public:
    PythonServer(const char* script, const std::vector<std::string>& args)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<std::string> argv = {"/usr/bin/python3", "-c", script};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        if (posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);

        // Read the port line, waiting at most 15 seconds.
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (pid_ > 0 && line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buf[64];
            ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            line.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        port_ = std::atoi(line.c_str());
        if (port_ > 0 && !waitUntilAccepting(port_))
            port_ = 0;
    }

    ~PythonServer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }

    PythonServer(const PythonServer&) = delete;
    PythonServer& operator=(const PythonServer&) = delete;

    int port() const { return port_; }

    static bool waitUntilAccepting(int port)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(s);
            if (ok)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// A loopback port nobody listens on (bound and released again).
int closedPort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

void writeFile(const fs::path& p, const std::string& bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string readStream(TStream& s)
{
    std::string out(static_cast<std::size_t>(s.size()), '\0');
    s.setPosition(0);
    s.readBuffer(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

std::string withoutCR(std::string s)
{
    std::erase(s, '\r');
    return s;
}

// Shared by both suites: a private temporary directory (TMPDIR) so that
// every file a download leaves behind can be counted, and no proxy.
class LoopbackTest : public testing::Test {
protected:
    static void prepareEnvironment(fs::path& work)
    {
        for (const char* v : {"http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"})
            ::unsetenv(v);
        ::setenv("no_proxy", "*", 1);
        work = fs::temp_directory_path() / ("xpinet_" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work / "tmp");
        if (const char* old = std::getenv("TMPDIR"))
            oldTmp() = old;
        ::setenv("TMPDIR", (work / "tmp").c_str(), 1);
    }
    static void restoreEnvironment(const fs::path& work)
    {
        if (oldTmp().empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", oldTmp().c_str(), 1);
        std::error_code ec;
        fs::remove_all(work, ec);
    }
    static std::string& oldTmp()
    {
        static std::string s;
        return s;
    }
    static std::size_t tempFileCount(const fs::path& work)
    {
        std::size_t n = 0;
        for (auto& e : fs::directory_iterator(work / "tmp")) {
            (void)e;
            ++n;
        }
        return n;
    }
};

} // namespace

// ---- temporary files --------------------------------------------------------------

TEST(XpTempFile, NewTempFileName)
{
    fs::path dir = fs::temp_directory_path() / ("xptmp_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string old = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", (dir.string() + "/").c_str(), 1);

    std::string a = NewTempFileName();
    std::string b = NewTempFileName("ZUZEzavudo");
    std::string c = NewTempFileName("a/");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(fs::path(a).parent_path(), dir);
    EXPECT_EQ(fs::path(a).filename().string().rfind("ZUZ", 0), 0u);
    EXPECT_EQ(fs::path(c).parent_path(), dir); // a separator in the prefix stays in the name
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(fs::file_size(a), 0u);
    struct stat st;
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ::setenv("TMPDIR", (dir / "does-not-exist").c_str(), 1);
    EXPECT_EQ(NewTempFileName(), "");

    if (old.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", old.c_str(), 1);
    fs::remove_all(dir);
}

// ---- HTTP -------------------------------------------------------------------------

class XpHttp : public LoopbackTest {
protected:
    static void SetUpTestSuite()
    {
        prepareEnvironment(work_);
        writeFile(work_ / "www/doc.xml", docBytes());
        writeFile(work_ / "www/sub dir/b.xml", "<b/>");
        writeFile(work_ / "www/page404.html",
                  "<html><head><title>404 Not Found</title></head><body>gone</body></html>");
        writeFile(work_ / "www/late404.txt", "ok\0 404 Not Found"s);
        writeFile(work_ / "www/empty.xml", "");
        writeFile(work_ / "www/big.bin", bigBytes());
        server_ = new PythonServer(kHttpServer, {(work_ / "www").string()});
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
        restoreEnvironment(work_);
    }
    void SetUp() override { ASSERT_GT(server_->port(), 0) << "HTTP server did not start"; }

    static std::string at(const std::string& path)
    {
        return "127.0.0.1:" + std::to_string(server_->port()) + "/" + path;
    }
    static std::string docBytes() { return "<?xml version=\"1.0\"?>\r\n<a>\xC3\xA9\0\xFF</a>\n"s; }
    static std::string bigBytes()
    {
        std::string s(300000, '\0');
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<char>((i * 7919) >> 3);
        return s;
    }

    static fs::path work_;
    static PythonServer* server_;
};

fs::path XpHttp::work_;
PythonServer* XpHttp::server_ = nullptr;

TEST_F(XpHttp, DownloadsAFileIntoATemporaryFile)
{
    std::vector<std::string> errors;
    std::unique_ptr<TXpFileStream> s = FetchHttp(at("doc.xml"), errors);
    ASSERT_TRUE(s);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(s->position(), s->size()); // positioned after the last byte
    EXPECT_EQ(readStream(*s), docBytes());
    EXPECT_EQ(fs::path(s->fileName).parent_path(), work_ / "tmp");
    EXPECT_EQ(fs::path(s->fileName).filename().string().rfind("ZUZ", 0), 0u);
    std::string name = s->fileName;
    s.reset();
    EXPECT_TRUE(fs::exists(name)); // the caller deletes it
    fs::remove(name);

    // Several chunks, and a path that needs encoding.
    s = FetchHttp(at("big.bin"), errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), bigBytes());
    fs::remove(s->fileName);
    s = FetchHttp(at("sub dir/b.xml"), errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), "<b/>");
    fs::remove(s->fileName);
    EXPECT_TRUE(errors.empty());
}

TEST_F(XpHttp, SendsAnHttp10RequestThatBypassesCaches)
{
    std::vector<std::string> errors;
    auto s = FetchHttp(at("echo"), errors);
    ASSERT_TRUE(s);
    std::string request = readStream(*s);
    EXPECT_EQ(request.rfind("GET /echo HTTP/1.0\n", 0), 0u) << request;
    EXPECT_NE(request.find("User-Agent: ZUZEzavudo"), std::string::npos) << request;
    EXPECT_NE(request.find("Pragma: no-cache"), std::string::npos) << request;
    EXPECT_NE(request.find("Host: 127.0.0.1:"), std::string::npos) << request;
    fs::remove(s->fileName);
}

TEST_F(XpHttp, NotFoundPagesRaiseHttpDataNotAvailable)
{
    std::size_t before = tempFileCount(work_);
    for (const char* path : {"page404.html", "missing.xml"}) {
        std::vector<std::string> errors;
        std::string location = at(path);
        try {
            FetchHttp(location, errors);
            ADD_FAILURE() << path << ": no exception";
        } catch (const EXpParserError& e) {
            EXPECT_STREQ(e.what(), "Http data not available");
            EXPECT_EQ(e.SourceFile, widen(location));
            EXPECT_EQ(e.LineNo, 0);
            EXPECT_EQ(e.ColumnNo, 0);
        }
        EXPECT_TRUE(errors.empty());
    }
    EXPECT_EQ(tempFileCount(work_), before); // nothing left behind

    // The rule reads the first chunk only up to its first zero byte.
    std::vector<std::string> errors;
    auto s = FetchHttp(at("late404.txt"), errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), 17);
    fs::remove(s->fileName);
}

TEST_F(XpHttp, EmptyAnswersAndRedirects)
{
    std::vector<std::string> errors;
    auto s = FetchHttp(at("empty.xml"), errors);
    ASSERT_TRUE(s); // the caller treats an empty stream as missing
    EXPECT_EQ(s->size(), 0);
    fs::remove(s->fileName);

    s = FetchHttp(at("redirect"), errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), docBytes());
    fs::remove(s->fileName);

    // A bare server name asks for its root (here a directory listing).
    s = FetchHttp("127.0.0.1:" + std::to_string(server_->port()), errors);
    ASSERT_TRUE(s);
    EXPECT_NE(readStream(*s).find("doc.xml"), std::string::npos);
    fs::remove(s->fileName);
    EXPECT_TRUE(errors.empty());
}

TEST_F(XpHttp, FailuresAddTheirLine)
{
    std::size_t before = tempFileCount(work_);
    std::vector<std::string> errors{"earlier line"};
    EXPECT_FALSE(FetchHttp("127.0.0.1:" + std::to_string(closedPort()) + "/doc.xml", errors));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "earlier line");
    EXPECT_EQ(errors[1], "Unable to make Internet connection");

    errors.clear();
    EXPECT_FALSE(FetchHttp(at("drop"), errors)); // the server answers nothing at all
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to send http request"});

    errors.clear();
    EXPECT_FALSE(FetchHttp("/doc.xml", errors)); // no server name
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to make Internet connection"});
    EXPECT_EQ(tempFileCount(work_), before);
}

// A server that never finishes, slowly or quickly, meets the download's bounds
// (shrunk here); the download fails like a broken one and leaves no file.
TEST_F(XpHttp, DownloadsAreBoundedInTimeAndSize)
{
    EXPECT_EQ(XpDownloadTimeLimitMs, 60000);
    EXPECT_EQ(XpDownloadSizeLimit, 64 * 1024 * 1024);
    const std::size_t before = tempFileCount(work_);
    struct Restore {
        ~Restore() { SetDownloadLimitsForTesting(0, 0); }
    } restore;

    std::vector<std::string> errors;
    SetDownloadLimitsForTesting(300, XpDownloadSizeLimit);
    EXPECT_FALSE(FetchHttp(at("trickle"), errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to send http request"});
    EXPECT_EQ(tempFileCount(work_), before);

    errors.clear();
    SetDownloadLimitsForTesting(XpDownloadTimeLimitMs, 100000);
    EXPECT_FALSE(FetchHttp(at("endless"), errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to send http request"});
    EXPECT_EQ(tempFileCount(work_), before);

    // An announced length above the bound fails before any byte is kept;
    // exactly the bound is still allowed.
    errors.clear();
    SetDownloadLimitsForTesting(XpDownloadTimeLimitMs, static_cast<int64_t>(bigBytes().size()) - 1);
    EXPECT_FALSE(FetchHttp(at("big.bin"), errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to send http request"});
    EXPECT_EQ(tempFileCount(work_), before);
    SetDownloadLimitsForTesting(XpDownloadTimeLimitMs, static_cast<int64_t>(bigBytes().size()));
    std::unique_ptr<TXpFileStream> s = FetchHttp(at("big.bin"), errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), bigBytes());
    fs::remove(s->fileName);
}

// ---- FTP --------------------------------------------------------------------------

class XpFtp : public LoopbackTest {
protected:
    static void SetUpTestSuite()
    {
        prepareEnvironment(work_);
        writeFile(work_ / "ftp/pub/docs/a.xml", "<a>\nftp text\n</a>\n");
        writeFile(work_ / "ftp/pub/docs/empty.xml", "");
        writeFile(work_ / "ftp/a.xml", "<root-a/>");
        writeFile(work_ / "ftp/top.xml", "<top/>");
        writeFile(work_ / "anon/open.xml", "<open/>");
        server_ = new PythonServer(kFtpServer, {(work_ / "ftp").string(), (work_ / "anon").string()});
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
        restoreEnvironment(work_);
    }
    void SetUp() override { ASSERT_GT(server_->port(), 0) << "FTP server did not start"; }

    static std::string at(const std::string& path)
    {
        return "127.0.0.1:" + std::to_string(server_->port()) + "/" + path;
    }
    std::unique_ptr<TXpFileStream> fetch(const std::string& path, std::vector<std::string>& errors)
    {
        return FetchFtp(at(path), "tester", "secret", errors);
    }

    static fs::path work_;
    static PythonServer* server_;
};

fs::path XpFtp::work_;
PythonServer* XpFtp::server_ = nullptr;

TEST_F(XpFtp, DownloadsFromADirectory)
{
    std::vector<std::string> errors;
    auto s = fetch("pub/docs/a.xml", errors);
    ASSERT_TRUE(s);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(s->position(), s->size());
    EXPECT_EQ(withoutCR(readStream(*s)), "<a>\nftp text\n</a>\n"); // ASCII transfer may add CRs
    EXPECT_EQ(fs::path(s->fileName).parent_path(), work_ / "tmp");
    fs::remove(s->fileName);

    // A leading slash and a trailing one on the directory are the same place.
    s = fetch("/pub/docs/a.xml", errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(withoutCR(readStream(*s)), "<a>\nftp text\n</a>\n");
    fs::remove(s->fileName);

    // No directory: the login directory.
    s = fetch("top.xml", errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), "<top/>");
    fs::remove(s->fileName);

    s = fetch("pub/docs/empty.xml", errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), 0);
    fs::remove(s->fileName);
    EXPECT_TRUE(errors.empty());

    // An empty user name logs in anonymously.
    s = FetchFtp(at("open.xml"), "", "", errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(readStream(*s), "<open/>");
    fs::remove(s->fileName);
    EXPECT_TRUE(errors.empty());
}

TEST_F(XpFtp, ABadDirectoryFallsBackToTheLoginDirectory)
{
    std::vector<std::string> errors;
    auto s = fetch("nowhere/a.xml", errors);
    ASSERT_TRUE(s);
    EXPECT_EQ(errors, std::vector<std::string>{"Invalid ftp directory"});
    EXPECT_EQ(readStream(*s), "<root-a/>");
    fs::remove(s->fileName);

    errors.clear();
    EXPECT_FALSE(fetch("nowhere/b.xml", errors));
    EXPECT_EQ(errors, (std::vector<std::string>{"Invalid ftp directory", "Unable to open ftp file"}));
}

TEST_F(XpFtp, FailuresAddTheirLine)
{
    std::size_t before = tempFileCount(work_);
    std::vector<std::string> errors;
    EXPECT_FALSE(fetch("pub/docs/missing.xml", errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to open ftp file"});

    errors.clear();
    EXPECT_FALSE(fetch("pub/docs/", errors)); // a directory is no file
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to open ftp file"});

    errors.clear();
    EXPECT_FALSE(FetchFtp(at("pub/docs/a.xml"), "tester", "wrong", errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to make Internet connection"});

    errors.clear();
    EXPECT_FALSE(FetchFtp("127.0.0.1:" + std::to_string(closedPort()) + "/a.xml", "tester", "secret", errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to make Internet connection"});

    errors.clear();
    EXPECT_FALSE(FetchFtp("no-slash-here", "tester", "secret", errors));
    EXPECT_EQ(errors, std::vector<std::string>{"Invalid ftp location"});
    EXPECT_EQ(tempFileCount(work_), before);
}
