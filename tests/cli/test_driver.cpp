// The console driver in-process: options, pattern expansion, output naming,
// messages, the order of the per-file steps and what a failure does. The
// per-file steps are replaced by a recorder so that the batch loop is tested
// on its own; the real conversion is tested through the built program.
#include "cli/Driver.h"
#include "text/Errors.h"
#include "DriverSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string P = "/usr/local/bin/ortavixcl";
const std::string usage = "Useage: \nortavixcl infiles.html [--outdir directory] [--info]\n";

// Records every step; can be told to fail or to report error lines.
struct Recorder {
    Strings log;
    std::set<std::string> failOnLoad;
    bool runtimeFailure = false;
    int loadErrorCode = 0; // fail as the text list does: a bare system error
    int writeErrorCode = 0; // fail writing with this errno, as a full disk does
    bool noDocument = false;
    Strings errorLines;
    int alive = 0;
};

class TRecordingSteps : public TFileSteps {
public:
    explicit TRecordingSteps(Recorder& r) : r_(r)
    {
        ++r_.alive;
        r_.log.push_back("create");
    }
    ~TRecordingSteps() override
    {
        --r_.alive;
        r_.log.push_back("destroy");
    }
    void load(const std::string& path) override
    {
        r_.log.push_back("load " + path);
        if (r_.failOnLoad.count(path)) {
            if (r_.loadErrorCode != 0)
                throw EOSError::fromCode(r_.loadErrorCode);
            if (r_.runtimeFailure)
                throw std::runtime_error("boom");
            throw EFOpenError(path, 2);
        }
    }
    bool parse() override
    {
        r_.log.push_back("parse");
        return !r_.noDocument;
    }
    void write(const std::string& path) override
    {
        r_.log.push_back("write " + path);
        if (r_.writeErrorCode != 0) {
            errno = r_.writeErrorCode;
            throw EWriteError();
        }
    }
    Strings check(const std::string& path) override
    {
        r_.log.push_back("check " + path);
        return r_.errorLines;
    }
    void freeDocument() override { r_.log.push_back("free"); }
    void clear() override { r_.log.push_back("clear"); }

private:
    Recorder& r_;
};

class Driver : public clitest::TDriverFolder {
protected:
    Driver() : TDriverFolder("driver") {}

    static void touch(const std::string& path, const std::string& content = "<p>x")
    {
        std::ofstream(path, std::ios::binary) << content;
    }

    int run(const Strings& args)
    {
        out.str("");
        err.str("");
        rec.log.clear();
        getoptlib::argvarray argv = getoptlib::makeArgv(P, args);
        return driver::run(argv, out, err,
                           [this] { return std::make_unique<TRecordingSteps>(rec); });
    }

    // Only the lines of the log that start with the given word.
    Strings logged(const std::string& word) const
    {
        Strings result;
        for (const std::string& line : rec.log)
            if (line.compare(0, word.size() + 1, word + " ") == 0)
                result.push_back(line.substr(word.size() + 1));
        return result;
    }

    Recorder rec;
    std::ostringstream out, err;
};

} // namespace

TEST(DriverNames, OutputName)
{
    EXPECT_EQ(driver::outputName("page.html"), "page.XML");
    EXPECT_EQ(driver::outputName("a.b.htm"), "a.b.XML");
    EXPECT_EQ(driver::outputName("notes"), "notes.XML");
    EXPECT_EQ(driver::outputName(".profile"), ".XML");
    EXPECT_EQ(driver::outputName("x.xml"), "x.XML");
    EXPECT_EQ(driver::outputName("trailing."), "trailing.XML");
}

TEST(DriverNames, DirectoryPart)
{
    EXPECT_EQ(driver::directoryPart("in/*.html"), "in/");
    EXPECT_EQ(driver::directoryPart("/a/b/c?"), "/a/b/");
    EXPECT_EQ(driver::directoryPart("*.html"), "");
    EXPECT_EQ(driver::directoryPart("dir/"), "dir/");
}

TEST(DriverNames, Wildcards)
{
    using driver::matchesMask;
    EXPECT_TRUE(matchesMask("page.html", "*.html"));
    EXPECT_FALSE(matchesMask("page.htm", "*.html"));
    EXPECT_FALSE(matchesMask("page.HTML", "*.html")) << "names are case-sensitive here";
    EXPECT_TRUE(matchesMask(".hidden.html", "*.html")) << "hidden files match";
    EXPECT_TRUE(matchesMask(".profile", "*"));
    EXPECT_TRUE(matchesMask("", "*"));
    EXPECT_FALSE(matchesMask("", "?"));
    EXPECT_TRUE(matchesMask("ab", "a?"));
    EXPECT_FALSE(matchesMask("a", "a?"));
    EXPECT_FALSE(matchesMask("abc", "a?"));
    EXPECT_TRUE(matchesMask("aaab", "a*ab")) << "the star must give back characters";
    EXPECT_TRUE(matchesMask("abcbcd", "a*bcd"));
    EXPECT_FALSE(matchesMask("abcbce", "a*bcd"));
    EXPECT_TRUE(matchesMask("axbyc", "a*b*c"));
    EXPECT_TRUE(matchesMask("abc", "***"));
    EXPECT_TRUE(matchesMask("a[1].html", "a[1].html")) << "brackets are ordinary characters";
    EXPECT_FALSE(matchesMask("a1.html", "a[1].html"));
    std::string longName(100000, 'a');
    EXPECT_FALSE(matchesMask(longName, "*a*a*a*b")) << "no exponential blow-up";
}

TEST_F(Driver, NoArgumentsPrintsUsage)
{
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(out.str(), usage);
    EXPECT_EQ(rec.log, Strings{});
}

TEST_F(Driver, OptionsOnlyPrintUsage)
{
    EXPECT_EQ(run({"--info", "--outdir", "somewhere"}), 0);
    EXPECT_EQ(out.str(), usage);
    EXPECT_EQ(err.str(), "");
}

TEST_F(Driver, MissingOutputDirectoryIsReportedOncePerPattern)
{
    touch("a.html");
    EXPECT_EQ(run({"a.html", "--outdir", "nowhere", "*.html", "b*"}), 0);
    const std::string line = "Error: Directory nowhere does not exists\n";
    EXPECT_EQ(out.str(), line + line + line);
    EXPECT_EQ(rec.log, Strings{}) << "nothing is created or converted";
}

TEST_F(Driver, OutputDirectoryThatIsAFileIsMissing)
{
    touch("a.html");
    touch("plain");
    EXPECT_EQ(run({"a.html", "--outdir=plain"}), 0);
    EXPECT_EQ(out.str(), "Error: Directory plain does not exists\n");
}

TEST_F(Driver, InfoLinesNameInputAndOutput)
{
    fs::create_directory("in");
    touch("in/page.html");
    touch("in/other.htm");
    EXPECT_EQ(run({"--info", "in/*.html"}), 0);
    EXPECT_EQ(out.str(), "Converting in/page.html -> page.XML\n");
    EXPECT_EQ(logged("write"), Strings{"page.XML"}) << "output in the current directory";
}

TEST_F(Driver, StepsRunInOrderWithOneSetOfWorkingObjectsPerRun)
{
    touch("a.html");
    touch("b.html");
    rec.errorLines = {"File: a.XML. Line: 1 Col: 2 Error: x", "second"};
    EXPECT_EQ(run({"--info", "*.html", "b.html"}), 0);
    EXPECT_EQ(rec.log, (Strings{"create",
                                "load a.html", "parse", "write a.XML", "check a.XML", "free", "clear",
                                "load b.html", "parse", "write b.XML", "check b.XML", "free", "clear",
                                "load b.html", "parse", "write b.XML", "check b.XML", "free", "clear",
                                "destroy"}));
    EXPECT_EQ(out.str(), "Converting a.html -> a.XML\n"
                         "File: a.XML. Line: 1 Col: 2 Error: x\nsecond\n"
                         "Converting b.html -> b.XML\n"
                         "File: a.XML. Line: 1 Col: 2 Error: x\nsecond\n"
                         "Converting b.html -> b.XML\n"
                         "File: a.XML. Line: 1 Col: 2 Error: x\nsecond\n");
    EXPECT_EQ(rec.alive, 0);
}

TEST_F(Driver, WithoutInfoAWellFormedResultPrintsNothing)
{
    touch("a.html");
    EXPECT_EQ(run({"a.html"}), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(logged("write"), Strings{"a.XML"});
}

TEST_F(Driver, NoDocumentMeansNothingWritten)
{
    touch("a.html");
    rec.noDocument = true;
    EXPECT_EQ(run({"a.html"}), 0);
    EXPECT_EQ(rec.log, (Strings{"create", "load a.html", "parse", "clear", "destroy"}));
}

TEST_F(Driver, MatchesInByteOrderWithHiddenFilesAndWithoutDirectories)
{
    for (const char* name : {"b.html", "a.html", "B.html", "_x.html", ".h.html"})
        touch(name);
    fs::create_directory("dir.html");
    fs::create_directory("sub");
    fs::create_symlink("sub", "linkdir.html");
    EXPECT_EQ(run({"--info", "*.html"}), 0);
    EXPECT_EQ(logged("load"), (Strings{".h.html", "B.html", "_x.html", "a.html", "b.html"}));

    EXPECT_EQ(run({"*"}), 0);
    EXPECT_EQ(logged("load"), (Strings{".h.html", "B.html", "_x.html", "a.html", "b.html"}))
        << "directories, . and .. are skipped";

    EXPECT_EQ(run({"sub"}), 0);
    EXPECT_EQ(logged("load"), Strings{}) << "a plain name of a directory is skipped too";
}

TEST_F(Driver, PatternsInGivenOrderAndSameFileTwice)
{
    touch("a.html");
    touch("z.html");
    EXPECT_EQ(run({"z.html", "--info", "a.html", "z*"}), 0);
    EXPECT_EQ(logged("load"), (Strings{"z.html", "a.html", "z.html"}));
}

TEST_F(Driver, PatternsMatchingNothingSayNothing)
{
    EXPECT_EQ(run({"--info", "*.none", "missing.html", "nodir/*.html", "", "dir/"}), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(logged("load"), Strings{});
}

TEST_F(Driver, OutdirSpellingsHaveTheSameEffect)
{
    fs::create_directory("out");
    fs::create_directory("in");
    touch("in/page.html");
    for (const Strings& args :
         {Strings{"--outdir=out", "in/*"}, Strings{"--outdir", "out", "in/*"},
          Strings{"in/*", "--out", "out"}, Strings{"--outdir=out/", "in/page.html"}}) {
        EXPECT_EQ(run(args), 0);
        EXPECT_EQ(logged("write"), Strings{"out/page.XML"}) << args[0];
        EXPECT_EQ(out.str(), "");
    }
}

TEST_F(Driver, OutdirDelimiterIsKeptForLaterPatterns)
{
    fs::create_directory("out");
    touch("a.html");
    EXPECT_EQ(run({"--info", "--outdir", "out", "a.html", "a.html"}), 0);
    EXPECT_EQ(out.str(), "Converting a.html -> out/a.XML\nConverting a.html -> out/a.XML\n");
    EXPECT_EQ(driver::outdir, "out/");
}

TEST_F(Driver, InfoWithArgumentIsRejected)
{
    touch("a.html");
    EXPECT_EQ(run({"--info=1", "a.html"}), 0);
    EXPECT_EQ(out.str(), P + ": option `--info' doesn't allow an argument\n");
    EXPECT_FALSE(driver::info);
    EXPECT_EQ(logged("load"), Strings{"a.html"});
}

TEST_F(Driver, OutdirWithoutArgumentWritesToCurrentDirectory)
{
    fs::create_directory("in");
    touch("in/a.html");
    EXPECT_EQ(run({"in/a.html", "--info", "--outdir"}), 0);
    EXPECT_EQ(out.str(), P + ": option `--outdir' requires an argument\n"
                             "Converting in/a.html -> a.XML\n");
}

TEST_F(Driver, BadOptionsAreIgnored)
{
    touch("a.html");
    EXPECT_EQ(run({"-x", "--foo", "a.html", "--in"}), 0);
    EXPECT_EQ(out.str(), P + ": invalid option -- x\n" + P + ": unrecognized option `--foo'\n" +
                             "Converting a.html -> a.XML\n");
}

TEST_F(Driver, DoubleDashMakesOptionLookalikesPatterns)
{
    touch("--info");
    EXPECT_EQ(run({"--", "--info"}), 0);
    EXPECT_EQ(logged("load"), Strings{"--info"});
    EXPECT_EQ(out.str(), "") << "--info after -- is a pattern, not the option";
}

TEST_F(Driver, PosixlyCorrectTreatsLaterOptionsAsPatterns)
{
    touch("a.html");
    ::setenv("POSIXLY_CORRECT", "1", 1);
    int rc = run({"a.html", "--info"});
    ::unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(logged("load"), Strings{"a.html"});
}

TEST_F(Driver, InputIsNeverOverwrittenByItsOwnOutput)
{
    touch("x.XML");
    touch("y.XML");
    EXPECT_EQ(run({"--info", "*.XML"}), 0);
    EXPECT_EQ(out.str(), "Skipping x.XML: the output would overwrite the input\n"
                         "Skipping y.XML: the output would overwrite the input\n");
    EXPECT_EQ(logged("load"), Strings{});

    // The same file under another name: a link in the output directory.
    fs::create_directory("in");
    fs::create_directory("out");
    touch("in/page.html");
    touch("in/next.html");
    fs::create_hard_link("in/page.html", "out/page.XML");
    EXPECT_EQ(run({"--outdir", "out", "in/*.html"}), 0);
    EXPECT_EQ(out.str(), "Skipping in/page.html: the output would overwrite the input\n");
    EXPECT_EQ(logged("load"), Strings{"in/next.html"}) << "the batch goes on";

    fs::remove("out/page.XML");
    fs::create_symlink("../in/page.html", "out/page.XML");
    EXPECT_EQ(run({"--outdir", "out", "in/page.html"}), 0);
    EXPECT_EQ(out.str(), "Skipping in/page.html: the output would overwrite the input\n");
}

TEST_F(Driver, DifferentCaseIsADifferentFileHere)
{
    touch("x.xml");
    EXPECT_EQ(run({"x.xml"}), 0);
    EXPECT_EQ(logged("write"), Strings{"x.XML"});
}

TEST_F(Driver, FailureEndsTheRunOnStandardError)
{
    touch("a.html");
    touch("b.html");
    touch("c.html");
    rec.failOnLoad = {"b.html"};
    EXPECT_EQ(run({"--info", "*.html", "c.html"}), 1);
    EXPECT_EQ(out.str(), "Converting a.html -> a.XML\n");
    EXPECT_EQ(err.str(), "EFOpenError: " + EFOpenError("b.html", 2).message() + "\n");
    EXPECT_EQ(rec.log.back(), "destroy") << "working objects freed on the way out";
    EXPECT_EQ(rec.alive, 0);
    EXPECT_EQ(logged("load"), (Strings{"a.html", "b.html"})) << "nothing after the failure";
}

TEST_F(Driver, ForeignFailureIsReportedWithItsKind)
{
    touch("a.html");
    rec.failOnLoad = {"a.html"};
    rec.runtimeFailure = true;
    EXPECT_EQ(run({"a.html"}), 1);
    EXPECT_EQ(err.str(), "std::runtime_error: boom\n");
}

TEST_F(Driver, UnwritableConsoleEndsTheRun)
{
    touch("a.html");
    std::ofstream full("/dev/full");
    ASSERT_TRUE(full.is_open());
    getoptlib::argvarray argv = getoptlib::makeArgv(P, {"--info", "a.html"});
    int rc = driver::run(argv, full, err, [this] { return std::make_unique<TRecordingSteps>(rec); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err.str(), "EWriteError: Stream write error\n");
}

TEST_F(Driver, ManyLiteralPatterns)
{
    Strings args{"--info"};
    for (int i = 0; i < 3000; ++i) {
        std::string name = "f" + std::to_string(i) + ".html";
        touch(name);
        args.push_back(name);
    }
    EXPECT_EQ(run(args), 0);
    EXPECT_EQ(logged("load").size(), 3000u);
    EXPECT_EQ(logged("write").back(), "f2999.XML");
}

// Only regular files are read: a FIFO would block the run for ever and a link
// to /dev/stdin would never end. Both are skipped like directories.
TEST_F(Driver, MatchesThatAreNotRegularFilesAreSkipped)
{
    touch("a.html");
    ASSERT_EQ(::mkfifo("b.html", 0600), 0);
    fs::create_symlink("/dev/zero", "c.html");
    touch("d.html");
    EXPECT_EQ(run({"*.html", "b.html"}), 0);
    EXPECT_EQ(out.str(), "Skipping b.html: not a regular file\n"
                         "Skipping c.html: not a regular file\n"
                         "Skipping b.html: not a regular file\n");
    EXPECT_EQ(logged("load"), (Strings{"a.html", "d.html"}));
}

// An output never replaces another input of the run, whether that input
// comes earlier, later or through a link, and two inputs never share one
// output. The recorder writes nothing, so the outputs exist beforehand here.
TEST_F(Driver, OutputsNeverReplaceInputsOfTheRun)
{
    touch("x.XML");
    touch("x.html");
    EXPECT_EQ(run({"x.*"}), 0);
    EXPECT_EQ(out.str(), "Skipping x.XML: the output would overwrite the input\n"
                         "Skipping x.html: the output would overwrite the input x.XML\n");
    EXPECT_EQ(logged("write"), Strings{});

    // o.XML leads to b.html, which comes later on the command line.
    touch("o.html");
    touch("b.html");
    fs::create_symlink("b.html", "o.XML");
    EXPECT_EQ(run({"o.html", "b.html"}), 0);
    EXPECT_EQ(out.str(), "Skipping o.html: the output would overwrite the input b.html\n");
    EXPECT_EQ(logged("load"), Strings{"b.html"});
}

// Failures that end the run name the file and the cause.
TEST_F(Driver, FailuresNameTheFile)
{
    touch("a.html");
    touch("b.html");
    rec.failOnLoad = {"b.html"};
    rec.loadErrorCode = EACCES;
    EXPECT_EQ(run({"*.html"}), 1);
    EXPECT_EQ(err.str(), "EOSError: Cannot open file \"b.html\": " + systemErrorMessage(EACCES) + "\n");

    // A match that vanished before its turn.
    rec.failOnLoad.clear();
    fs::create_symlink("gone", "c.html");
    EXPECT_EQ(run({"c.html"}), 1);
    EXPECT_EQ(err.str(), "EOSError: Cannot open file \"c.html\": No such file or directory\n");
    EXPECT_EQ(logged("load"), Strings{});

    rec.writeErrorCode = ENOSPC;
    EXPECT_EQ(run({"a.html", "b.html"}), 1);
    EXPECT_EQ(err.str(), "EOSError: Cannot write file \"a.XML\": No space left on device\n");
    EXPECT_EQ(logged("write"), Strings{"a.XML"}) << "the run ends at the first failure";
}

// An output folder that reads like an address is still a local folder: the
// checker gets a name it cannot take for a URL.
TEST_F(Driver, OutputFolderNamedLikeAnAddressStaysLocal)
{
    touch("a.html");
    fs::create_directories("http://127.0.0.1:1");
    EXPECT_EQ(run({"--outdir", "http://127.0.0.1:1", "a.html"}), 0);
    EXPECT_EQ(logged("check"), Strings{fs::current_path().string() + "/http://127.0.0.1:1/a.XML"});
    EXPECT_EQ(run({"a.html"}), 0);
    EXPECT_EQ(logged("check"), Strings{"a.XML"}) << "other names are handed over as they are";
}
