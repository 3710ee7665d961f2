// The built ortavixcl as a user runs it, in temporary directories: exit
// status, standard output and standard error, files written and kept.
#include "ProcessSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string exe = ORTAVIX_BINARY_DIR "/ortavixcl";
const std::string usage = "Useage: \nortavixcl infiles.html [--outdir directory] [--info]\n";

using clitest::quote;
using clitest::slurp;

struct Outcome {
    int status = -1;
    std::string out, err;
};

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(exe)) << exe << " is not built";
        char tmpl[] = "/tmp/ortavixcl-program-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directory(dir / "work");
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the program in dir/work; environment settings go before it.
    Outcome run(const std::vector<std::string>& args, const std::string& env = "")
    {
        std::string cmd = "cd " + quote((dir / "work").string()) + " && " + env + " " + quote(exe);
        for (const std::string& a : args)
            cmd += " " + quote(a);
        cmd += " >" + quote((dir / "stdout").string()) + " 2>" + quote((dir / "stderr").string());
        Outcome r;
        int rc = std::system(("env -u POSIXLY_CORRECT sh -c " + quote(cmd)).c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(dir / "stdout");
        r.err = slurp(dir / "stderr");
        return r;
    }

    void put(const std::string& name, const std::string& content = "<p>text")
    {
        fs::path p = dir / "work" / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }

    fs::path work(const std::string& name) const { return dir / "work" / name; }

    fs::path dir;
};

} // namespace

TEST_F(Program, UsageWithoutArgumentsOrWithOptionsOnly)
{
    Outcome r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");

    r = run({"--info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
}

TEST_F(Program, MissingOutputDirectoryThreePatterns)
{
    put("a.html");
    Outcome r = run({"--outdir", "missing", "a.html", "*.html", "b.html"});
    EXPECT_EQ(r.status, 0);
    const std::string line = "Error: Directory missing does not exists\n";
    EXPECT_EQ(r.out, line + line + line);
    EXPECT_FALSE(fs::exists(work("a.XML")));
    EXPECT_FALSE(fs::exists(work("missing")));
}

TEST_F(Program, MessagesNameTheProgramByItsFullPath)
{
    Outcome r = run({"--foo", "--info=1", "-x", "--outdir"});
    EXPECT_EQ(r.status, 0);
    const std::string p = fs::canonical(exe).string();
    EXPECT_EQ(r.out, p + ": unrecognized option `--foo'\n" +
                         p + ": option `--info' doesn't allow an argument\n" +
                         p + ": invalid option -- x\n" +
                         p + ": option `--outdir' requires an argument\n" + usage);
}

TEST_F(Program, InfoLinesForPatternsInAnotherDirectory)
{
    put("in/page.html");
    put("in/.hidden.html");
    fs::create_directory(work("in/sub.html"));
    Outcome r = run({"in/*.html", "--info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Converting in/.hidden.html -> .hidden.XML\n"
                     "Converting in/page.html -> page.XML\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Program, PosixlyCorrectMakesALaterOptionAPattern)
{
    put("a.html");
    put("--info");
    Outcome r = run({"a.html", "--info"}, "POSIXLY_CORRECT=1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "") << "--info was taken as a pattern, so no Converting line";
}

TEST_F(Program, UnreadableInputEndsTheRunWithStatusOne)
{
    put("a.html");
    fs::create_symlink("does-not-exist", work("b.html"));
    put("c.html");
    Outcome r = run({"--info", "*.html"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Converting a.html -> a.XML\n") << "c.html is not reached";
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("EOSError: ", 0), 0u) << r.err;
}

TEST_F(Program, InputIsNotDestroyedByItsOwnOutput)
{
    const std::string content = "<p>precious";
    put("x.XML", content);
    Outcome r = run({"*.XML", "x.XML"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Skipping x.XML: the output would overwrite the input\n"
                     "Skipping x.XML: the output would overwrite the input\n");
    EXPECT_EQ(slurp(work("x.XML")), content);
}

TEST_F(Program, ThousandsOfArguments)
{
    std::vector<std::string> args{"--info"};
    for (int i = 0; i < 4000; ++i) {
        std::string name = "p" + std::to_string(i) + ".html";
        put(name);
        args.push_back(name);
    }
    Outcome r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4000);
    EXPECT_NE(r.out.find("Converting p3999.html -> p3999.XML\n"), std::string::npos);
}

TEST_F(Program, ConvertsTheSamplesToUtf16Xml)
{
    const fs::path samples = fs::path(ORTAVIX_SOURCE_DIR) / "samples";
    fs::create_directory(work("out"));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(samples))
        if (entry.path().extension() == ".html")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 5u);

    Outcome r = run({"--outdir", "out", "--info", (samples / "*.html").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string expected;
    for (const std::string& name : names) {
        std::string xml = name.substr(0, name.size() - 5) + ".XML";
        expected += "Converting " + (samples / name).string() + " -> out/" + xml + "\n";
        std::string bytes = slurp(work("out/" + xml));
        ASSERT_GE(bytes.size(), 4u) << xml;
        EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE") << xml << ": byte order mark";
        EXPECT_EQ(bytes.size() % 2, 0u) << xml;
    }
    EXPECT_EQ(r.out, expected) << "no checker error lines for the samples";
}

TEST_F(Program, OutputThatCannotBeCreatedEndsTheRun)
{
    put("in/a.html");
    put("in/b.html");
    fs::create_directories(work("out/a.XML")); // a directory where the file should go
    Outcome r = run({"--outdir", "out", "in/*.html"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("out/a.XML"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(work("out/b.XML"))) << "the run ended at the failure";
    EXPECT_EQ(std::distance(fs::directory_iterator(work("out")), fs::directory_iterator()), 1)
        << "no temporary file left behind";
}

TEST_F(Program, OutputLandsInTheCurrentDirectoryNotBesideTheInput)
{
    put("in/page.html", "<title>t</title><p>x");
    Outcome r = run({"in/page.html"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::exists(work("page.XML")));
    EXPECT_FALSE(fs::exists(work("in/page.XML")));
}

// Deep enough that one native stack frame per level would overflow the stack.
TEST_F(Program, DeeplyNestedUnclosedElements)
{
    const int depth = 300000;
    std::string html = "<html><body>";
    for (int i = 0; i < depth; ++i)
        html += "<div>";
    put("deep.html", html + "bottom");
    Outcome r = run({"deep.html"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_GT(fs::file_size(work("deep.XML")), 2u * 11 * depth) << "every level written";
}

// Pages whose output once failed the check (a document type declaration
// holding "--", &#0;, an XML declaration, text before the root): every
// output is now well-formed, so the run prints only its Converting lines.
TEST_F(Program, AwkwardPagesConvertToCheckedXml)
{
    put("a.html", "<!DOCTYPE x -- y><p>z");
    put("b.html", "<?xml version=\"1.0\"?>\n<p>fine");
    put("c.html", std::string("<p>a&#0;b\0c]]>d", 16));
    put("d.html", "text first<style>/*<![CDATA[*/p{}/*]]>*/</style>");
    Outcome r = run({"--info", "*.html"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Converting a.html -> a.XML\nConverting b.html -> b.XML\n"
                     "Converting c.html -> c.XML\nConverting d.html -> d.XML\n");
    EXPECT_TRUE(fs::exists(work("c.XML")));
}

// Two inputs of one run never share an output, and an output never lands on
// an input, also through a link: the inputs survive.
TEST_F(Program, InputsOfTheRunSurviveOtherInputsOutputs)
{
    put("a.htm", "<p>first");
    put("a.html", "<p>second");
    Outcome r = run({"a.*"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Skipping a.html: a.XML was already written from a.htm\n");
    const std::string first = slurp(work("a.XML"));
    EXPECT_NE(first.find(std::string("f\0i\0r\0s\0t", 9)), std::string::npos) << "a.htm's output stays";

    // Matched twice, the same file is still converted twice.
    r = run({"a.htm", "a.htm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    put("x.XML", "<p>precious");
    put("x.html");
    r = run({"x.*"});
    EXPECT_EQ(r.out, "Skipping x.XML: the output would overwrite the input\n"
                     "Skipping x.html: the output would overwrite the input x.XML\n");
    EXPECT_EQ(slurp(work("x.XML")), "<p>precious");

    put("b.html", "<p>b");
    put("o.html", "<p>o");
    fs::create_symlink("b.html", work("o.XML"));
    r = run({"o.html", "b.html"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Skipping o.html: the output would overwrite the input b.html\n");
    EXPECT_EQ(slurp(work("b.html")), "<p>b");
    EXPECT_TRUE(fs::exists(work("b.XML")));
}

// A FIFO among the matches and a link to /dev/stdin with an endless writer
// behind it: both are skipped and the run ends.
TEST_F(Program, OnlyRegularFilesAreRead)
{
    put("a.html");
    ASSERT_EQ(::mkfifo(work("b.html").c_str(), 0600), 0);
    fs::create_symlink("/dev/stdin", work("c.html"));
    put("d.html");
    Outcome r = run({"--info", "*.html"}, "yes | timeout 60");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Converting a.html -> a.XML\n"
                     "Skipping b.html: not a regular file\n"
                     "Skipping c.html: not a regular file\n"
                     "Converting d.html -> d.XML\n");
    EXPECT_FALSE(fs::exists(work("c.XML")));
}

// An output folder whose name reads as an address is written and checked
// locally: checked as a download, it would fail with an error line.
TEST_F(Program, OutputFolderNamedLikeAnAddressIsCheckedLocally)
{
    put("a.html", "<!DOCTYPE x -- y><p>z");
    fs::create_directories(work("http://127.0.0.1:1"));
    Outcome r = run({"--outdir", "http://127.0.0.1:1", "a.html"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << r.out;
    EXPECT_TRUE(fs::exists(work("http://127.0.0.1:1/a.XML")));
}

// The checker alone: a document or an external entity that is a FIFO fails
// with a line naming it instead of blocking.
TEST_F(Program, CheckerRefusesFilesThatAreNotRegular)
{
    ASSERT_EQ(::mkfifo(work("pipe.xml").c_str(), 0600), 0);
    put("doc.xml", "<!DOCTYPE a [<!ENTITY e SYSTEM \"pipe.xml\">]><a>&e;</a>");
    const std::string xpcheck = ORTAVIX_BINARY_DIR "/xpcheck";
    std::string cmd = "cd " + quote((dir / "work").string()) + " && timeout 60 " + quote(xpcheck) +
                      " pipe.xml doc.xml >" + quote((dir / "stdout").string()) + " 2>&1";
    int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << rc;
    std::istringstream lines(slurp(dir / "stdout"));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    ASSERT_EQ(got.size(), 2u) << slurp(dir / "stdout");
    EXPECT_NE(got[0].find("pipe.xml\" is not a regular file"), std::string::npos) << got[0];
    EXPECT_EQ(got[1].rfind("File: ", 0), 0u) << got[1];
    EXPECT_NE(got[1].find("pipe.xml\" is not a regular file"), std::string::npos) << got[1];
}

// The transfer library is loaded by the first download only: a local batch
// never pays for loading it, and a download still finds it.
TEST_F(Program, TransferLibraryIsLoadedOnlyForADownload)
{
    put("a.html");
    Outcome r = run({"a.html"}, "LD_DEBUG=libs");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(work("a.XML")));
    EXPECT_NE(r.err.find("libc.so"), std::string::npos) << "the loader did not report";
    EXPECT_EQ(r.err.find("libcurl"), std::string::npos);

    // Nothing listens on port 1: the download fails after the library loaded.
    const std::string xpcheck = ORTAVIX_BINARY_DIR "/xpcheck";
    std::string cmd = "cd " + quote((dir / "work").string()) + " && LD_DEBUG=libs timeout 60 " + quote(xpcheck) +
                      " http://127.0.0.1:1/a.xml >" + quote((dir / "stdout").string()) + " 2>" +
                      quote((dir / "stderr").string());
    int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) != 0) << rc;
    EXPECT_NE(slurp(dir / "stderr").find("libcurl.so.4"), std::string::npos);
    EXPECT_EQ(slurp(dir / "stdout").find("Cannot load the transfer library"), std::string::npos)
        << slurp(dir / "stdout");
}
