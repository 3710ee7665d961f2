// The progress display of a long batch: when it draws, what the line says,
// that it is wiped before every other line and at the end, and that a run
// whose failure stream is not a terminal (or that prints "--info" lines)
// writes exactly what it wrote before. Time comes from a counting clock.
#include "cli/Driver.h"
#include "cli/Progress.h"
#include "DriverSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string wipe = "\r\x1b[K";

// A clock that moves on by a fixed step each time it is read.
struct StepClock {
    double now = 0;
    double step;
    double operator()() { return now += step; }
};

std::size_t count(const std::string& s, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace

TEST(Progress, LineWording)
{
    EXPECT_EQ(TProgress::describe(0, 0, 0), "0 of 0 files, 0.0 MB/s");
    EXPECT_EQ(TProgress::describe(12345, 100000, 23.46e6), "12345 of 100000 files, 23.5 MB/s");
}

TEST(Progress, DisabledWritesNothing)
{
    std::ostringstream err;
    StepClock clock{0, 10};
    {
        TProgress p(err, false, std::ref(clock));
        p.start(1000);
        for (int i = 0; i < 1000; ++i)
            p.fileDone(100);
        p.hide();
        p.finish();
        EXPECT_EQ(p.draws(), 0u);
    }
    EXPECT_EQ(err.str(), "");
}

TEST(Progress, ShortBatchShowsNothing)
{
    std::ostringstream err;
    // 100 files within the first second: nothing to report.
    StepClock clock{0, TProgress::firstDrawAfter / 200};
    {
        TProgress p(err, true, std::ref(clock));
        p.start(100);
        for (int i = 0; i < 100; ++i)
            p.fileDone(1);
    }
    EXPECT_EQ(err.str(), "") << "nothing drawn means nothing to wipe";
}

TEST(Progress, RedrawsAreSpacedAndTheLineIsWipedAtTheEnd)
{
    std::ostringstream err;
    // Each file takes a tenth of the redraw interval: after the first draw,
    // one file in ten (or eleven, as the sum of steps rounds) redraws.
    StepClock clock{0, TProgress::redrawEvery / 10};
    TProgress p(err, true, std::ref(clock));
    p.start(2000);
    for (int i = 0; i < 2000; ++i)
        p.fileDone(1000000);
    const std::uint64_t draws = p.draws();
    const std::uint64_t filesAfterFirst =
        2000 - static_cast<std::uint64_t>(TProgress::firstDrawAfter / (TProgress::redrawEvery / 10));
    EXPECT_GE(draws, filesAfterFirst / 11);
    EXPECT_LE(draws, filesAfterFirst / 9 + 1);
    p.finish();
    const std::string s = err.str();
    EXPECT_EQ(count(s, wipe), draws + 1) << "each draw starts with a wipe, and one ends it";
    EXPECT_EQ(s.substr(s.size() - wipe.size()), wipe);
    EXPECT_EQ(s.find('\n'), std::string::npos) << "the line is redrawn in place";
    // One file of 1 MB per 1/40 s: 40 MB/s, whatever the count.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s, m, std::regex(R"((\d+) of 2000 files, ([0-9.]+) MB/s)")));
    EXPECT_EQ(m[2].str(), "40.0");
    p.finish();
    EXPECT_EQ(count(err.str(), wipe), draws + 1) << "finishing twice wipes once";
    p.fileDone(1);
    EXPECT_EQ(p.draws(), draws) << "nothing after the end";
}

TEST(Progress, HiddenLineComesBackAtTheNextRedraw)
{
    std::ostringstream err;
    StepClock clock{0, 1};
    TProgress p(err, true, std::ref(clock));
    p.start(3);
    p.fileDone(1);
    EXPECT_EQ(err.str(), wipe + "1 of 3 files, 0.0 MB/s");
    p.hide();
    p.hide();
    EXPECT_EQ(err.str(), wipe + "1 of 3 files, 0.0 MB/s" + wipe) << "wiped once";
    p.fileDone(1);
    EXPECT_EQ(err.str().substr(err.str().rfind(wipe)), wipe + "2 of 3 files, 0.0 MB/s");
}

// ---------------------------------------------------------------------------
// Through the driver

namespace {

// Steps that do nothing but report one error line for names holding "bad".
class TQuietSteps : public TFileSteps {
public:
    void load(const std::string& path) override
    {
        path_ = path;
        if (path.find("fails") != std::string::npos)
            throw std::runtime_error("cannot read " + path);
    }
    bool parse() override { return true; }
    void write(const std::string&) override {}
    Strings check(const std::string& path) override
    {
        if (path_.find("bad") != std::string::npos)
            return {"File: " + path + ". Line: 1 Col: 1 Error: bad"};
        return {};
    }
    void freeDocument() override {}
    void clear() override {}

private:
    std::string path_;
};

class DriverProgress : public clitest::TDriverFolder {
protected:
    DriverProgress() : TDriverFolder("progress") {}
    void SetUp() override
    {
        TDriverFolder::SetUp();
        for (int i = 0; i < 50; ++i) {
            std::ofstream(std::string(i % 10 == 3 ? "bad" : "page") + std::to_string(100 + i) + ".html")
                << std::string(static_cast<std::size_t>(i), 'x');
        }
        fs::create_directory("folder.html"); // matched, but not a file
    }

    // Runs with the given terminal answer and a clock one second per read;
    // out and err are the same stream when `shared`, as on a console.
    int run(const Strings& args, bool terminal, bool shared = false)
    {
        out.str("");
        err.str("");
        driver::errIsTerminal = [terminal] { return terminal; };
        auto clock = std::make_shared<StepClock>(StepClock{0, 1});
        driver::progressClock = [clock] { return (*clock)(); };
        getoptlib::argvarray argv = getoptlib::makeArgv("ortavixcl", args);
        return driver::run(argv, out, shared ? out : err, [] { return std::make_unique<TQuietSteps>(); });
    }

    std::ostringstream out, err;
};

} // namespace

TEST_F(DriverProgress, NotATerminalOrInfoLinesLeaveTheOutputAsItWas)
{
    ASSERT_EQ(run({"*.html", "page100.html"}, false), 0);
    const std::string plain = out.str();
    EXPECT_EQ(count(plain, "Error: bad"), 5u);
    EXPECT_EQ(err.str(), "");

    ASSERT_EQ(run({"*.html", "page100.html"}, true), 0);
    EXPECT_EQ(out.str(), plain) << "the display stays on the failure stream";
    EXPECT_NE(err.str(), "");

    ASSERT_EQ(run({"--info", "*.html"}, false), 0);
    const std::string info = out.str();
    ASSERT_EQ(run({"--info", "*.html"}, true), 0);
    EXPECT_EQ(out.str(), info);
    EXPECT_EQ(err.str(), "") << "with --info the lines tell the progress";
}

TEST_F(DriverProgress, CountsEveryMatchedFileAndEndsWiped)
{
    // 50 files, one of them twice; the folder is not counted.
    ASSERT_EQ(run({"*.html", "page100.html"}, true), 0);
    const std::string s = err.str();
    EXPECT_NE(s.find("1 of 51 files"), std::string::npos);
    EXPECT_NE(s.find("51 of 51 files"), std::string::npos);
    EXPECT_EQ(s.find("52 of"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - wipe.size()), wipe);
}

TEST_F(DriverProgress, OtherLinesNeverLandOnTheProgressLine)
{
    ASSERT_EQ(run({"*.html"}, true, true), 0);
    const std::string s = out.str();
    EXPECT_EQ(count(s, "Error: bad"), 5u);
    // Every progress text is followed by a wipe before anything else.
    std::regex line(R"(\d+ of 50 files, [0-9.]+ MB/s)");
    std::size_t shown = 0;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), line); it != std::sregex_iterator(); ++it) {
        ++shown;
        const std::size_t end = static_cast<std::size_t>(it->position() + it->length());
        EXPECT_EQ(s.compare(end, wipe.size(), wipe), 0) << "at " << it->str();
    }
    EXPECT_GE(shown, 40u);
    // With the display wiped, the console shows the same lines as before.
    std::string seen = std::regex_replace(s, std::regex(R"(\r\x1b\[K(\d+ of 50 files, [0-9.]+ MB/s)?)"), "");
    ASSERT_EQ(run({"*.html"}, false), 0);
    EXPECT_EQ(seen, out.str());
}

TEST_F(DriverProgress, FailureMessageStandsOnItsOwnLine)
{
    std::ofstream("zz-fails.html") << "x";
    ASSERT_EQ(run({"*.html"}, true, true), 1);
    const std::string s = out.str();
    const std::size_t at = s.find("std::runtime_error: cannot read zz-fails.html\n");
    ASSERT_NE(at, std::string::npos) << s;
    EXPECT_TRUE(s.compare(at - wipe.size(), wipe.size(), wipe) == 0 || s[at - 1] == '\n')
        << "the progress text was wiped first";
    EXPECT_EQ(s.find("files, ", at), std::string::npos) << "nothing drawn after it";
    EXPECT_NE(s.find("50 of 51 files"), std::string::npos);
}
