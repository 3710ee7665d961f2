// SIGINT, SIGTERM and SIGHUP remove the temporary file being written and
// then end the process with that signal: checked on the cleanup itself in a
// forked child, on a running batch of ortavixcl and on a download of xpcheck.
#include "text/TempFiles.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/ortavix-signals-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr)
            path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> a = args;
    std::vector<char*> argv;
    for (auto& s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> e = env;
    for (char** p = environ; *p; ++p)
        e.emplace_back(*p);
    std::vector<char*> envp;
    for (auto& s : e)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Files in dir whose names contain part.
std::size_t countFiles(const fs::path& dir, const std::string& part)
{
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(part) != std::string::npos)
            ++n;
    return n;
}

// Polls (a bounded number of times) until found() holds; false once the
// child has ended without it.
template <class Found>
bool waitUntil(pid_t child, const Found& found)
{
    for (int i = 0; i < 120000; ++i) {
        if (found())
            return true;
        siginfo_t info{};
        // Looks without reaping: the caller still waits for the child.
        if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child)
            return false;
        ::usleep(1000);
    }
    return false;
}

// Until dir holds a file whose name contains part.
bool waitForFile(const fs::path& dir, const std::string& part, pid_t child)
{
    return waitUntil(child, [&] { return countFiles(dir, part) > 0; });
}

// Until the child writes a file in dir: one with a temporary name there, or
// one still without a name, which only the child's descriptors show.
bool waitForOutput(const fs::path& dir, pid_t child)
{
    const std::string inDir = fs::canonical(dir).string() + "/";
    const fs::path fds = "/proc/" + std::to_string(child) + "/fd";
    return waitUntil(child, [&] {
        if (countFiles(dir, ".tmp") > 0)
            return true;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fds, ec)) {
            const std::string target = fs::read_symlink(e.path(), ec).string();
            if (!ec && target.rfind(inDir, 0) == 0 && target.find(" (deleted)") != std::string::npos)
                return true;
        }
        return false;
    });
}

int terminatingSignal(pid_t child)
{
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// An HTTP server on a free loopback port that sends headers and then one
// byte every few milliseconds until the client goes away.
class TricklingServer {
public:
    TricklingServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TricklingServer()
    {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        if (thread_.joinable())
            thread_.join();
    }
    int port = 0;

private:
    void serve()
    {
        int c = ::accept(listener_, nullptr, nullptr);
        if (c < 0)
            return;
        char buf[4096];
        (void)::recv(c, buf, sizeof buf, 0);
        const char head[] = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<a>";
        bool ok = ::send(c, head, sizeof head - 1, MSG_NOSIGNAL) > 0;
        while (ok && !stop_) {
            ok = ::send(c, "x", 1, MSG_NOSIGNAL) == 1;
            ::usleep(2000);
        }
        ::close(c);
    }
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

TEST(TempFileCleanup, SignalsRemoveRegisteredFilesAndEndTheProcess)
{
    TempDir dir;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const fs::path kept = dir.path / "kept", removed = dir.path / "removed";
        std::ofstream(kept) << "k";
        std::ofstream(removed) << "r";
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InstallTempFileCleanup();
            int a = RegisterTempFile(removed.string());
            int b = RegisterTempFile(kept.string());
            UnregisterTempFile(b);
            (void)a;
            ::raise(sig);
            ::_exit(0); // not reached
        }
        EXPECT_EQ(terminatingSignal(child), sig);
        EXPECT_FALSE(fs::exists(removed)) << sig;
        EXPECT_TRUE(fs::exists(kept)) << sig;
    }
}

TEST(TempFileCleanup, SlotsAreReused)
{
    std::vector<int> slots;
    for (int i = 0; i < 1000; ++i) {
        int s = RegisterTempFile("/nonexistent/" + std::to_string(i));
        ASSERT_GE(s, 0) << i;
        UnregisterTempFile(s);
    }
    EXPECT_EQ(RegisterTempFile(""), -1);
    EXPECT_EQ(RegisterTempFile(std::string(5000, 'a')), -1);
}

// Stopped while it writes, a batch leaves an earlier output as it was and
// no output where there was none, and no temporary file either way.
TEST(TempFileCleanup, TerminatedBatchLeavesNoTemporaryOutput)
{
    TempDir dir;
    {
        std::ofstream big(dir.path / "big.html", std::ios::binary);
        for (int i = 0; i < 150000; ++i)
            big << "<p>word &amp; text <b>bold</b> ";
    }
    for (const bool earlier : {true, false}) {
        fs::remove_all(dir.path / "out");
        fs::create_directory(dir.path / "out");
        if (earlier)
            std::ofstream(dir.path / "out/big.XML") << "earlier output";
        pid_t child = spawn({ORTAVIX_BINARY_DIR "/ortavixcl", (dir.path / "big.html").string(), "--outdir",
                             (dir.path / "out").string()});
        ASSERT_GT(child, 0);
        if (!waitForOutput(dir.path / "out", child)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            GTEST_SKIP() << "the batch ended before its output file could be caught";
        }
        ::kill(child, SIGTERM);
        EXPECT_EQ(terminatingSignal(child), SIGTERM);
        EXPECT_EQ(countFiles(dir.path / "out", ".tmp"), 0u);
        if (earlier) {
            std::ifstream in(dir.path / "out/big.XML");
            std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(kept, "earlier output") << "an interrupted output leaves the old one as it was";
        } else {
            EXPECT_FALSE(fs::exists(dir.path / "out/big.XML"));
        }
    }
}

// Outputs that wait without a name hold a descriptor each; under a low
// limit on descriptors they take names instead, and a batch still writes
// every file, also over its earlier outputs.
TEST(ProcessLimits, ALowDescriptorLimitStillConvertsEveryFile)
{
    TempDir dir;
    fs::create_directory(dir.path / "in");
    fs::create_directory(dir.path / "out");
    for (int i = 0; i < 100; ++i)
        std::ofstream(dir.path / ("in/p" + std::to_string(100 + i) + ".html")) << "<p>page " << i;
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    struct rlimit low = before;
    low.rlim_cur = 16;
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        pid_t child = spawn({ORTAVIX_BINARY_DIR "/ortavixcl", "--outdir", (dir.path / "out").string(),
                             (dir.path / "in/*.html").string()});
        ::setrlimit(RLIMIT_NOFILE, &before);
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << " status " << status;
        EXPECT_EQ(countFiles(dir.path / "out", ".XML"), 100u) << "run " << run;
        EXPECT_EQ(countFiles(dir.path / "out", ".tmp"), 0u) << "run " << run;
    }
}

TEST(TempFileCleanup, InterruptedDownloadLeavesNoTemporaryFile)
{
    TempDir dir;
    TricklingServer server;
    ASSERT_GT(server.port, 0);
    fs::create_directory(dir.path / "tmp");
    pid_t child = spawn({ORTAVIX_BINARY_DIR "/xpcheck", "http://127.0.0.1:" + std::to_string(server.port) + "/a.xml"},
                        {"TMPDIR=" + (dir.path / "tmp").string(), "no_proxy=*", "http_proxy=", "HTTP_PROXY=",
                         "all_proxy=", "ALL_PROXY="});
    ASSERT_GT(child, 0);
    if (!waitForFile(dir.path / "tmp", "ZUZ", child)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        FAIL() << "the download did not start";
    }
    ::kill(child, SIGINT);
    EXPECT_EQ(terminatingSignal(child), SIGINT);
    EXPECT_EQ(countFiles(dir.path / "tmp", ""), 0u);
}
