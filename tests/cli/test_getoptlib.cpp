// The long-option parser, mostly with the console program's own table
// ("outdir" requiring an argument, "info" taking none, optstring ":").
#include "cli/getoptlib.h"
#include "text/Errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace getoptlib;
// optind and friends are always qualified: <unistd.h> has its own.

namespace {

const std::string P = "/opt/bin/ortavixcl";

const option driverTable[] = {
    {"outdir", required_argument, nullptr, 0},
    {"info", no_argument, nullptr, 0},
    {"", 0, nullptr, 0},
};

struct Result {
    int32_t code;
    int32_t longind;
    std::string arg;
};

class Getopt : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::unsetenv("POSIXLY_CORRECT");
        resetGetopt();
        setGetoptOutput(out);
    }
    void TearDown() override
    {
        resetGetopt();
        ::unsetenv("POSIXLY_CORRECT");
    }

    void start(const std::vector<std::string>& args)
    {
        argv = makeArgv(P, args);
        argc = static_cast<int32_t>(args.size()) + 1;
    }

    Result next(const std::string& optstring = ":", const option* table = driverTable)
    {
        int32_t longind = -7;
        int32_t code = getopt_long(argc, argv, optstring, table, longind);
        return {code, longind, getoptlib::optarg};
    }

    // Runs the scan to its end; returns the results before the -1.
    std::vector<int32_t> drain(const std::string& optstring = ":", const option* table = driverTable)
    {
        std::vector<int32_t> codes;
        for (int guard = 0; guard < 100000; ++guard) {
            int32_t c = next(optstring, table).code;
            if (c == -1)
                return codes;
            codes.push_back(c);
        }
        ADD_FAILURE() << "scan does not end";
        return codes;
    }

    std::vector<std::string> rest() const
    {
        return std::vector<std::string>(argv.begin() + getoptlib::optind, argv.begin() + argc);
    }

    argvarray argv;
    int32_t argc = 0;
    std::ostringstream out;
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(Getopt, OptionAfterPatternIsMovedInFrontKeepingOrder)
{
    start({"a.html", "--info", "b.html"});
    Result r = next();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.longind, 1);
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 2);
    EXPECT_EQ(argv, (argvarray{P, "--info", "a.html", "b.html", ""}));
    EXPECT_EQ(out.str(), "");
}

TEST_F(Getopt, InterleavedOptionsAndPatternsPermuteStably)
{
    start({"p1", "p2", "--outdir", "o", "p3", "--info", "p4", "p5", "p6", "--i", "p7"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(rest(), (Strings{"p1", "p2", "p3", "p4", "p5", "p6", "p7"}));
    EXPECT_EQ(Strings(argv.begin() + 1, argv.begin() + getoptlib::optind),
              (Strings{"--outdir", "o", "--info", "--i"}));
}

TEST_F(Getopt, NoOptionsAtAll)
{
    start({});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 1);

    resetGetopt();
    start({"x", "y"});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 1);
    EXPECT_EQ(rest(), (Strings{"x", "y"}));
}

TEST_F(Getopt, OptionsOnlyLeaveOptindAtArgc)
{
    start({"--info", "--outdir", "d"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(getoptlib::optind, 4);
}

TEST_F(Getopt, OutdirSpellings)
{
    for (const Strings& args : {Strings{"--outdir=out"}, Strings{"--outdir", "out"},
                                Strings{"--out", "out"}, Strings{"--o=out"}}) {
        resetGetopt();
        setGetoptOutput(out);
        start(args);
        Result r = next();
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_EQ(r.longind, 0) << args[0];
        EXPECT_EQ(r.arg, "out") << args[0];
        EXPECT_EQ(next().code, -1);
        EXPECT_EQ(getoptlib::optarg, "") << "emptied at every call";
    }
    EXPECT_EQ(out.str(), "");
}

TEST_F(Getopt, RequiredArgumentTakesNextArgumentEvenIfItLooksLikeAnOption)
{
    start({"--outdir", "--info"});
    Result r = next();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.arg, "--info");
    EXPECT_EQ(next().code, -1);
}

TEST_F(Getopt, EmptyAttachedArgument)
{
    start({"--outdir=", "a"});
    Result r = next();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.arg, "");
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"a"}));
}

TEST_F(Getopt, MissingArgumentMessageNamesTheOptionAsTyped)
{
    start({"a", "--outdir"});
    Result r = next();
    EXPECT_EQ(r.code, ':');
    EXPECT_EQ(r.longind, -7) << "longind untouched on error";
    EXPECT_EQ(out.str(), P + ": option `--outdir' requires an argument\n");
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"a"}));

    resetGetopt();
    std::ostringstream out2;
    setGetoptOutput(out2);
    start({"--ou"});
    EXPECT_EQ(next("").code, '?') << "without a leading ':' the result is '?'";
    EXPECT_EQ(out2.str(), P + ": option `--ou' requires an argument\n");
}

TEST_F(Getopt, ArgumentToOptionTakingNone)
{
    start({"--info=1", "x"});
    Result r = next();
    EXPECT_EQ(r.code, '?');
    EXPECT_EQ(out.str(), P + ": option `--info' doesn't allow an argument\n");
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"x"}));

    resetGetopt();
    std::ostringstream out2;
    setGetoptOutput(out2);
    start({"--i=1"});
    EXPECT_EQ(next().code, '?');
    EXPECT_EQ(out2.str(), P + ": option `--info' doesn't allow an argument\n") << "full row name";
}

TEST_F(Getopt, UnrecognizedLongOptions)
{
    start({"--foo=1", "--=x", "--infos", "--Info"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{'?', '?', '?', '?'}));
    EXPECT_EQ(out.str(), P + ": unrecognized option `--foo=1'\n" +
                             P + ": unrecognized option `--=x'\n" +
                             P + ": unrecognized option `--infos'\n" +
                             P + ": unrecognized option `--Info'\n");
    EXPECT_EQ(getoptlib::optind, 5);
}

TEST_F(Getopt, AmbiguousPrefixAndExactMatchWins)
{
    int32_t flag = 0;
    const option table[] = {
        {"verbose", no_argument, nullptr, 'v'},
        {"version", no_argument, &flag, 42},
        {"ver", optional_argument, nullptr, 'r'},
        {"", 0, nullptr, 0},
    };
    start({"--ve=1", "--vers", "--ver", "--version", "--verb"});
    EXPECT_EQ(next("", table).code, '?');
    EXPECT_EQ(out.str(), P + ": option `--ve=1' is ambiguous\n") << "the argument as typed";
    Result r = next("", table);
    EXPECT_EQ(r.code, 0) << "--vers is a prefix of version only";
    EXPECT_EQ(r.longind, 1);
    EXPECT_EQ(flag, 42);
    flag = 0;
    r = next("", table);
    EXPECT_EQ(r.code, 'r') << "exact match beats the longer rows";
    EXPECT_EQ(r.longind, 2);
    EXPECT_EQ(r.arg, "") << "an optional argument is taken only with '='";
    r = next("", table);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(flag, 42);
    EXPECT_EQ(r.longind, 1);
    EXPECT_EQ(next("", table).code, 'v');
    EXPECT_EQ(next("", table).code, -1);
}

TEST_F(Getopt, OptionalLongArgumentOnlyAttached)
{
    const option table[] = {{"level", optional_argument, nullptr, 'l'}, {"", 0, nullptr, 0}};
    start({"--level=3", "--level", "4"});
    EXPECT_EQ(next("", table).arg, "3");
    Result r = next("", table);
    EXPECT_EQ(r.code, 'l');
    EXPECT_EQ(r.arg, "");
    EXPECT_EQ(next("", table).code, -1);
    EXPECT_EQ(rest(), (Strings{"4"}));
}

TEST_F(Getopt, UnknownShortOptionsOneResultPerCharacter)
{
    start({"-x", "a", "-xy", "b"});
    EXPECT_EQ(next().code, '?');
    EXPECT_EQ(getoptlib::optopt, 'x');
    EXPECT_EQ(getoptlib::optind, 2);
    EXPECT_EQ(next().code, '?');
    EXPECT_EQ(getoptlib::optopt, 'x');
    EXPECT_EQ(getoptlib::optind, 3) << "still inside -xy";
    EXPECT_EQ(next().code, '?');
    EXPECT_EQ(getoptlib::optopt, 'y');
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"a", "b"}));
    EXPECT_EQ(out.str(), P + ": invalid option -- x\n" + P + ": invalid option -- x\n" + P +
                             ": invalid option -- y\n");
}

TEST_F(Getopt, ColonIsNeverAnOption)
{
    start({"-:"});
    EXPECT_EQ(next(":a").code, '?');
    EXPECT_EQ(getoptlib::optopt, ':');
    EXPECT_EQ(out.str(), P + ": invalid option -- :\n");
}

TEST_F(Getopt, ShortOptionsWithArguments)
{
    const option none[] = {{"", 0, nullptr, 0}};
    start({"-ab", "-bval", "-b", "next", "-c", "-cx", "p", "-ac"});
    const std::string optstring = "ab:c::";
    EXPECT_EQ(next(optstring, none).code, 'a');
    Result r = next(optstring, none);
    EXPECT_EQ(r.code, 'b');
    EXPECT_EQ(r.arg, "-bval") << "b at the end of -ab takes the next argument";
    r = next(optstring, none);
    EXPECT_EQ(r.code, 'b');
    EXPECT_EQ(r.arg, "next");
    r = next(optstring, none);
    EXPECT_EQ(r.code, 'c');
    EXPECT_EQ(r.arg, "");
    r = next(optstring, none);
    EXPECT_EQ(r.code, 'c');
    EXPECT_EQ(r.arg, "x");
    EXPECT_EQ(next(optstring, none).code, 'a');
    EXPECT_EQ(next(optstring, none).code, 'c');
    EXPECT_EQ(next(optstring, none).code, -1);
    EXPECT_EQ(rest(), (Strings{"p"}));
    EXPECT_EQ(out.str(), "");
}

TEST_F(Getopt, ShortOptionMissingArgument)
{
    const option none[] = {{"", 0, nullptr, 0}};
    start({"p", "-b"});
    EXPECT_EQ(next(":b:", none).code, ':');
    EXPECT_EQ(getoptlib::optopt, 'b');
    EXPECT_EQ(next(":b:", none).code, -1);
    EXPECT_EQ(rest(), (Strings{"p"}));

    resetGetopt();
    setGetoptOutput(out);
    start({"-b"});
    EXPECT_EQ(next("b:", none).code, '?');
    EXPECT_EQ(out.str(), P + ": option requires an argument -- b\n" + P +
                             ": option requires an argument -- b\n");
}

TEST_F(Getopt, WithoutLongOptionsDoubleDashIsAShortCluster)
{
    const option none[] = {{"", 0, nullptr, 0}};
    start({"--x"});
    EXPECT_EQ(next("x", none).code, '?');
    EXPECT_EQ(getoptlib::optopt, '-');
    EXPECT_EQ(next("x", none).code, 'x');
    EXPECT_EQ(next("x", none).code, -1);
}

TEST_F(Getopt, DoubleDashEndsOptions)
{
    start({"a", "--", "--info", "b"});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"a", "--info", "b"}));

    resetGetopt();
    start({"--info", "a", "--outdir", "o", "--", "-x", "b"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(rest(), (Strings{"a", "-x", "b"}));
    EXPECT_EQ(out.str(), "");

    resetGetopt();
    start({"--info", "--"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{0}));
    EXPECT_EQ(getoptlib::optind, 3);
}

TEST_F(Getopt, LoneDashAndEmptyArgumentAreNonOptions)
{
    start({"-", "--info", "", "x"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{0}));
    EXPECT_EQ(rest(), (Strings{"-", "", "x"}));
}

TEST_F(Getopt, PosixlyCorrectStopsAtFirstNonOption)
{
    ::setenv("POSIXLY_CORRECT", "1", 1);
    start({"a.html", "--info"});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 1);
    EXPECT_EQ(rest(), (Strings{"a.html", "--info"}));

    resetGetopt();
    setGetoptOutput(out);
    start({"-x", "--info", "a", "--info"});
    EXPECT_EQ(next().code, '?');
    EXPECT_EQ(out.str(), P + ": illegal option -- x\n");
    EXPECT_EQ(next().code, 0);
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 3);

    resetGetopt();
    start({"--", "--info"});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(rest(), (Strings{"--info"}));
}

TEST_F(Getopt, EmptyPosixlyCorrectDoesNotCount)
{
    ::setenv("POSIXLY_CORRECT", "", 1);
    start({"a.html", "--info"});
    EXPECT_EQ(next().code, 0);
}

TEST_F(Getopt, EnvironmentIsReadWhenAScanStarts)
{
    start({"a", "--info"});
    EXPECT_EQ(next().code, 0);
    ::setenv("POSIXLY_CORRECT", "y", 1);
    EXPECT_EQ(next().code, -1) << "the running scan keeps permuting";
    getoptlib::optind = 0;
    start({"a", "--info"});
    EXPECT_EQ(next().code, -1);
    EXPECT_EQ(getoptlib::optind, 1);
}

TEST_F(Getopt, OpterrFalseSilencesMessages)
{
    getoptlib::opterr = false;
    start({"--foo", "-x", "--info=2", "--outdir"});
    EXPECT_EQ(drain(), (std::vector<int32_t>{'?', '?', '?', ':'}));
    EXPECT_EQ(out.str(), "");
}

TEST_F(Getopt, ThousandsOfArgumentsMixedWithOptions)
{
    std::vector<std::string> args;
    for (int i = 0; i < 5000; ++i) {
        args.push_back("file" + std::to_string(i) + ".html");
        if (i % 1000 == 500)
            args.push_back("--info");
    }
    args.push_back("--outdir=o");
    start(args);
    EXPECT_EQ(drain(), (std::vector<int32_t>(6, 0)));
    ASSERT_EQ(argc - getoptlib::optind, 5000);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(argv[getoptlib::optind + i], "file" + std::to_string(i) + ".html");
}

TEST_F(Getopt, ArgvEntryZeroAndClosingEntry)
{
    const char* raw[] = {"ortavixcl", "a", "--info"};
    int32_t n = loadArgv(3, raw);
    EXPECT_EQ(n, 3);
    ASSERT_EQ(arguments.size(), 4u);
    EXPECT_EQ(arguments[0].front(), '/') << "entry 0 is the program's full path";
    EXPECT_EQ(arguments[1], "a");
    EXPECT_EQ(arguments[3], "");
}

TEST_F(Getopt, UnwritableOutputRaises)
{
    std::ofstream full("/dev/full");
    ASSERT_TRUE(full.is_open());
    setGetoptOutput(full);
    start({"--foo"});
    EXPECT_THROW(next(), EWriteError);
}
