// A batch spread over worker threads must look, from outside, exactly like
// the same batch on one thread: the same lines in the same order, outputs put
// in place in order, failures where one thread would have met them, nothing
// left behind, and no more conversions under way at once than memory allows.
#include "cli/Driver.h"
#include "text/Errors.h"
#include "text/Streams.h"
#include "text/TempFiles.h"
#include "xml/XpParser.h"
#include "DriverSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string P = "/usr/local/bin/ortavixcl";

// What the steps of one run saw, shared by the batch loop's object and the
// workers'; every member is guarded by the mutex.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<std::string> failOnLoad;
    std::set<std::string> failOnWrite;
    std::set<std::string> failOnPlace; // putting the output in place fails
    std::set<std::string> badChecks;
    Strings committed;   // outputs put in place, in order
    std::multiset<std::string> checked; // outputs checked (where they wait)
    int workersMade = 0;
    int pendingAlive = 0;
    int pendingMost = 0;
    std::uint64_t converting = 0; // input bytes loaded and not yet cleared
    std::uint64_t convertingMost = 0;
    int loaded = 0; // files loaded and not yet cleared
    int loadedLarge = 0; // how many of them are large
    std::uint64_t largeFrom = ~std::uint64_t(0); // a file this large converts alone
    bool largeNotAlone = false;
    int buffersReleased = 0;
    // Putting this output in place waits, the first time, until this many
    // outputs (itself included) are pending.
    std::string holdCommitOf;
    int holdUntilPending = 0;
    bool holdMet = false;
};

class TFakePending : public TPendingOutput {
public:
    TFakePending(Shared& s, const std::string& path) : s_(s), path_(path), file_(path)
    {
        file_.write("<r/>", 4);
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.pendingMost = std::max(s_.pendingMost, ++s_.pendingAlive);
        s_.changed.notify_all();
    }
    ~TFakePending() override
    {
        std::lock_guard<std::mutex> lock(s_.mutex);
        --s_.pendingAlive;
    }
    bool commitIfNew() override
    {
        failIfAsked();
        return false;
    }
    void commit() override
    {
        failIfAsked();
        {
            std::unique_lock<std::mutex> lock(s_.mutex);
            if (path_ == s_.holdCommitOf) {
                s_.holdCommitOf.clear();
                s_.holdMet = s_.changed.wait_for(lock, std::chrono::seconds(60),
                                                 [&] { return s_.pendingAlive >= s_.holdUntilPending; });
            }
        }
        file_.commit();
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.committed.push_back(path_);
        s_.changed.notify_all();
    }
    std::string location() const override { return file_.tempName(); }

private:
    void failIfAsked()
    {
        std::lock_guard<std::mutex> lock(s_.mutex);
        if (s_.failOnPlace.count(path_)) {
            errno = ENOSPC;
            throw EWriteError();
        }
    }

    Shared& s_;
    std::string path_;
    TReplacingFile file_;
};

// Steps whose workers write real temporary files and count what is under
// way; loading a name in failOnLoad fails as an unreadable file does.
class TFakeSteps : public TFileSteps {
public:
    explicit TFakeSteps(Shared& s) : s_(s) {}
    void load(const std::string& path) override
    {
        struct stat st;
        size_ = ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        std::lock_guard<std::mutex> lock(s_.mutex);
        if (s_.failOnLoad.count(path))
            throw EFOpenError(path, EACCES);
        s_.converting += size_;
        s_.convertingMost = std::max(s_.convertingMost, s_.converting);
        ++s_.loaded;
        if (size_ >= s_.largeFrom)
            ++s_.loadedLarge;
        if (s_.loaded > 1 && s_.loadedLarge > 0)
            s_.largeNotAlone = true;
        loaded_ = true;
    }
    void releaseBuffers() override
    {
        std::lock_guard<std::mutex> lock(s_.mutex);
        ++s_.buffersReleased;
    }
    bool parse() override { return true; }
    void write(const std::string& path) override { writeAhead(path)->commit(); }
    std::unique_ptr<TPendingOutput> writeAhead(const std::string& path) override
    {
        {
            std::lock_guard<std::mutex> lock(s_.mutex);
            if (s_.failOnWrite.count(path)) {
                errno = ENOSPC;
                throw EWriteError();
            }
        }
        return std::make_unique<TFakePending>(s_, path);
    }
    // Names the file as it was given, as the checker does; a waiting
    // output counts as its place, and a full path is counted by its name
    // in the test's folder.
    Strings check(const std::string& path) override
    {
        std::string output = path;
        const std::string here = fs::current_path().string() + "/";
        if (output.compare(0, here.size(), here) == 0)
            output = output.substr(here.size());
        const std::size_t tmp = output.rfind(".tmp");
        if (tmp != std::string::npos && IsOwnTempFileName(fs::path(output).filename().string()))
            output = output.substr(0, tmp);
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.checked.insert(output);
        if (s_.badChecks.count(output))
            return {"File: " + path + ". Line: 1 Col: 1 Error: bad"};
        return {};
    }
    void freeDocument() override {}
    void clear() override
    {
        std::lock_guard<std::mutex> lock(s_.mutex);
        if (loaded_) {
            s_.converting -= size_;
            --s_.loaded;
            if (size_ >= s_.largeFrom)
                --s_.loadedLarge;
        }
        loaded_ = false;
    }
    std::unique_ptr<TFileSteps> makeWorker() override
    {
        std::lock_guard<std::mutex> lock(s_.mutex);
        ++s_.workersMade;
        return std::make_unique<TFakeSteps>(s_);
    }

private:
    Shared& s_;
    std::uint64_t size_ = 0;
    bool loaded_ = false;
};

class Ahead : public clitest::TDriverFolder {
protected:
    Ahead() : TDriverFolder("ahead") {}

    static void put(const std::string& path, const std::string& content = "<p>x")
    {
        fs::create_directories(fs::path(path).parent_path().empty() ? "." : fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    struct Outcome {
        int status = -1;
        std::string out, err;
    };

    Outcome run(const Strings& args, unsigned threads, const TStepsFactory& factory)
    {
        driver::threads = threads;
        std::ostringstream out, err;
        getoptlib::argvarray argv = getoptlib::makeArgv(P, args);
        Outcome r;
        r.status = driver::run(argv, out, err, factory);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    Outcome runFake(const Strings& args, unsigned threads, Shared& s)
    {
        return run(args, threads, [&s] { return std::make_unique<TFakeSteps>(s); });
    }

    // Every file below the folder with its content, temporary files included.
    static std::map<std::string, std::string> snapshot(const fs::path& folder)
    {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            if (!e.is_regular_file())
                continue;
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            files[fs::relative(e.path(), folder).string()] = content.str();
        }
        return files;
    }

};

} // namespace

// The real conversion over an awkward batch: repeats, a FIFO, outputs that
// would overwrite inputs or each other, an output folder the patterns also
// match. Every thread count gives the lines and files of one thread.
TEST_F(Ahead, RealConversionMatchesOneThread)
{
    auto makeBatch = [](const std::string& root) {
        put(root + "/in/a.html", "<p>first &amp; <b>bold");
        put(root + "/in/a.htm", "<p>second");
        put(root + "/in/x.html", "<table><tr><td>cell");
        put(root + "/in/x.XML", "<p>precious");
        put(root + "/in/page.html", "<html><body>" + std::string(20000, 'y') + "</body>");
        put(root + "/in/broken.html", "<a b\"c\">&#xD800;<!-- open");
        put(root + "/in/late.txt", "plain < text & more");
        fs::create_directories(root + "/out");
        put(root + "/out/old.html", "<p>in the output folder");
        ASSERT_EQ(::mkfifo((root + "/in/pipe.html").c_str(), 0600), 0);
    };
    const Strings args = {"--info", "--outdir", "out", "in/*.htm*", "in/x.*", "in/a.html", "out/*", "in/late.txt"};
    std::map<std::string, std::string> files[2];
    Outcome outcome[2];
    const unsigned threadCounts[2] = {1, 3};
    for (int i = 0; i < 2; ++i) {
        const std::string root = (dir_ / std::to_string(i)).string();
        makeBatch(root);
        fs::current_path(root);
        outcome[i] = run(args, threadCounts[i], makeConversionSteps);
        fs::current_path(dir_);
        fs::remove(root + "/in/pipe.html");
        files[i] = snapshot(root);
    }
    EXPECT_EQ(outcome[1].status, outcome[0].status);
    EXPECT_EQ(outcome[1].out, outcome[0].out);
    EXPECT_EQ(outcome[1].err, outcome[0].err);
    EXPECT_EQ(files[1], files[0]);
    // The batch did meet the cases it is about.
    EXPECT_NE(outcome[0].out.find("Skipping in/pipe.html: not a regular file"), std::string::npos);
    EXPECT_NE(outcome[0].out.find("Skipping in/x.XML: out/x.XML was already written from in/x.html"),
              std::string::npos);
    EXPECT_NE(outcome[0].out.find("Converting out/old.html -> out/old.XML"), std::string::npos);
}

// Files converted ahead fail (loaded, written or put in place) and are
// reported in their turn: the files before are all done, nothing after is
// put in place, and every output written ahead is gone.
TEST_F(Ahead, FailuresComeInTheirTurn)
{
    for (int i = 0; i < 40; ++i)
        put("f" + std::to_string(100 + i) + ".html");
    for (const std::string kind : {"load", "write", "place"}) {
        Shared s;
        (kind == "load" ? s.failOnLoad : kind == "write" ? s.failOnWrite : s.failOnPlace)
            .insert(kind == "load" ? "f120.html" : "out/f120.XML");
        s.badChecks = {"out/f105.XML", "out/f119.XML", "out/f121.XML"};
        fs::remove_all("out");
        fs::create_directory("out");
        Outcome r = runFake({"--outdir", "out", "*.html"}, 2, s);
        EXPECT_EQ(r.status, 1) << kind;
        EXPECT_EQ(r.out, "File: out/f105.XML. Line: 1 Col: 1 Error: bad\n"
                         "File: out/f119.XML. Line: 1 Col: 1 Error: bad\n")
            << kind;
        EXPECT_EQ(r.err, kind == "load"
                             ? "EFOpenError: Cannot open file \"f120.html\". Permission denied\n"
                             : "EOSError: Cannot write file \"out/f120.XML\": No space left on device\n");
        Strings expected;
        for (int i = 0; i < 20; ++i)
            expected.push_back("out/f" + std::to_string(100 + i) + ".XML");
        EXPECT_EQ(s.committed, expected) << kind;
        for (const std::string& output : expected)
            EXPECT_EQ(s.checked.count(output), 1u) << kind << " " << output;
        EXPECT_EQ(s.pendingAlive, 0);
        EXPECT_EQ(s.workersMade, 2);
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator("out"))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left.size(), 20u) << kind << ": only the outputs put in place stay";
        EXPECT_EQ(left.count("f120.XML") + left.count("f121.XML"), 0u);
    }
}

// Conversions under way at once never add up to more than the largest input
// (or 64 KB), and finished outputs wait at most 8 per worker.
TEST_F(Ahead, WorkInFlightIsBounded)
{
    put("big.html", std::string(1536 * 1024, 'b'));
    put("small15a.html", std::string(1024 * 1024, 'l')); // large, among small ones
    for (int i = 0; i < 12; ++i)
        put("mid" + std::to_string(10 + i) + ".html", std::string(600 * 1024, 'm'));
    for (int i = 0; i < 60; ++i)
        put("small" + std::to_string(10 + i) + ".html", std::string(100, 's'));
    Shared s;
    // The largest is converted alone, from given-back buffers.
    s.largeFrom = 1536 * 1024;
    Outcome r = runFake({"*.html"}, 3, s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.committed.size(), 74u);
    EXPECT_LE(s.convertingMost, 1536u * 1024);
    EXPECT_GE(s.convertingMost, 2 * 600u * 1024);
    EXPECT_FALSE(s.largeNotAlone);
    EXPECT_GE(s.buffersReleased, 1);
    // 8 per worker, and the one being put in place.
    EXPECT_LE(s.pendingMost, 25);
    EXPECT_EQ(s.pendingAlive, 0);
}

// A batch of pages of a few dozen KB never has more than 64 KB of them
// under conversion: a budget of 1 MB let the largest pages of such a batch
// meet, and its peak was twice that of its largest page.
TEST_F(Ahead, SmallPagesShareASmallBudget)
{
    for (int i = 0; i < 24; ++i)
        put("p" + std::to_string(10 + i) + ".html", std::string((i % 3 + 1) * 20 * 1024, 'p'));
    Shared s;
    Outcome r = runFake({"*.html"}, 3, s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(s.committed.size(), 24u);
    EXPECT_LE(s.convertingMost, 64u * 1024);
    EXPECT_EQ(s.converting, 0u);
}

// Outputs written ahead wait under temporary names beside their places; a
// later pattern that lists the output folder must not take them for inputs.
TEST_F(Ahead, LaterPatternsDoNotMeetOutputsWrittenAhead)
{
    put("a.html");
    put("b.html");
    put("c.html");
    Shared s;
    // Before a.html's output is put in place, the workers have written b's
    // and c's (and a's again) ahead; then "*" lists the folder.
    s.holdCommitOf = "a.XML";
    s.holdUntilPending = 4;
    Outcome ahead = runFake({"a.html", "*"}, 2, s);
    EXPECT_TRUE(s.holdMet) << "the workers wrote ahead before the first output was in place";
    const auto filesAhead = snapshot(dir_);

    fs::remove("a.XML");
    fs::remove("b.XML");
    fs::remove("c.XML");
    Shared one;
    Outcome single = runFake({"a.html", "*"}, 1, one);
    EXPECT_EQ(ahead.status, 0) << ahead.err;
    EXPECT_EQ(ahead.out, single.out);
    EXPECT_EQ(ahead.out, "Skipping a.XML: a.XML was already written from a.html\n");
    EXPECT_EQ(s.committed, one.committed);
    EXPECT_EQ(filesAhead, snapshot(dir_));
    EXPECT_EQ(s.pendingAlive, 0);
}

// Steps that write the page itself as the output (so a broken page makes a
// broken output) and check with the real checker, wherever the output is.
class TCopySteps : public TFileSteps {
public:
    void load(const std::string& path) override
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        content_ = content.str();
    }
    bool parse() override { return true; }
    void write(const std::string& path) override { writeAhead(path)->commit(); }
    std::unique_ptr<TPendingOutput> writeAhead(const std::string& path) override
    {
        class TPending : public TPendingOutput {
        public:
            TPending(const std::string& path, const std::string& content) : file_(path)
            {
                file_.write(content.data(), content.size());
            }
            void finish() { file_.finish(); }
            void commit() override { file_.commit(); }
            std::string location() const override { return file_.tempName(); }
            int handle() const override { return file_.readHandle(); }

        private:
            TReplacingFile file_;
        };
        auto pending = std::make_unique<TPending>(path, content_);
        pending->finish();
        return pending;
    }
    Strings check(const std::string& path) override
    {
        TXpParser checker;
        checker.FollowSourceDirectory = false;
        checker.ParseFromSource(path);
        return checker.ErrorLines;
    }
    bool checkHandle(const std::string& path, int handle, Strings& lines) override
    {
        TXpParser checker;
        checker.FollowSourceDirectory = false;
        THandleStream content(handle);
        checker.ParseFromSource(path, content);
        lines = checker.ErrorLines;
        ++handleChecks;
        return true;
    }
    static inline std::atomic<int> handleChecks{0};
    void freeDocument() override {}
    void clear() override { content_.clear(); }
    std::unique_ptr<TFileSteps> makeWorker() override { return std::make_unique<TCopySteps>(); }

private:
    std::string content_;
};

// Outputs checked while they wait are named in the checker's lines as they
// would be once in place, however the output folder is written; one whose
// place is a link is checked in place.
TEST_F(Ahead, CheckerLinesNameTheOutputsPlace)
{
    put("in/a.html", "<a>");
    put("in/b.html", "<b></c>");
    put("in/c.html", "<c/>");
    put("in/d.html", "<d>&e;</d>");
    fs::create_directories("out");
    fs::create_directories("http:");
    fs::create_directories("elsewhere");
    put("elsewhere/b.XML", "old");
    const std::string here = fs::current_path().string();
    for (const Strings& args : {Strings{"in/*.html"}, Strings{"--outdir", "out", "in/*.html"},
                                Strings{"--outdir", "out/", "in/*.html"}, Strings{"--outdir", here + "/out", "in/*.html"},
                                Strings{"--outdir", "./out/../out", "in/*.html"}, Strings{"--outdir", "http:", "in/*.html"}}) {
        Outcome r[2];
        for (unsigned threads : {1u, 2u}) {
            fs::remove("out/b.XML");
            if (args.size() > 1 && args[1] == "out")
                fs::create_symlink(here + "/elsewhere/b.XML", "out/b.XML");
            r[threads - 1] = run(args, threads, [] { return std::make_unique<TCopySteps>(); });
        }
        EXPECT_EQ(r[1].status, 0) << args[1];
        EXPECT_EQ(r[1].out, r[0].out) << args[1];
        EXPECT_EQ(r[1].err, r[0].err) << args[1];
        EXPECT_NE(r[0].out.find("b.XML. Line: 1 Col: 7 Error: Mismatched end tag"), std::string::npos) << r[0].out;
        EXPECT_EQ(r[0].out.find(".tmp"), std::string::npos) << r[0].out;
    }
    // New outputs waited without a name and were checked through their
    // descriptors (where the file system allows it).
    const int fd = ::open(".", O_TMPFILE | O_RDWR, 0600);
    if (fd >= 0) {
        ::close(fd);
        EXPECT_GT(TCopySteps::handleChecks.load(), 0);
    }
}

TEST(TempNames, OwnTemporaryNamesAreRecognised)
{
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(IsOwnTempFileName("page.XML.tmp" + pid + "_0"));
    EXPECT_TRUE(IsOwnTempFileName("a.tmp.XML.tmp" + pid + "_123"));
    EXPECT_TRUE(IsOwnTempFileName(".ortavix" + pid + "_7.tmp"));
    EXPECT_FALSE(IsOwnTempFileName("page.XML.tmp" + pid + "_"));
    EXPECT_FALSE(IsOwnTempFileName("page.XML.tmp" + pid + "_1x"));
    EXPECT_FALSE(IsOwnTempFileName("page.XML.tmp" + std::to_string(::getpid() + 1) + "_1"));
    EXPECT_FALSE(IsOwnTempFileName(".ortavix" + pid + "_.tmp"));
    EXPECT_FALSE(IsOwnTempFileName("page.tmp"));

    // The names TReplacingFile really uses.
    char tmpl[] = "/tmp/ortavix-tempnames-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    // Where files cannot be made without a name, they wait beside their
    // places under one.
    UseNamelessTempFiles(false);
    {
        TReplacingFile shortName((dir / "out.XML").string());
        TReplacingFile longName((dir / std::string(250, 'n')).string());
        int seen = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            EXPECT_TRUE(IsOwnTempFileName(e.path().filename().string())) << e.path();
            ++seen;
        }
        EXPECT_EQ(seen, 2);
    }
    UseNamelessTempFiles(true);
    fs::remove_all(dir);
}
