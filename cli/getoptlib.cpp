#include "cli/getoptlib.h"

#include "text/Errors.h"

#include <cstdlib>
#include <iostream>
#include <unistd.h>
#include <utility>

namespace getoptlib {

int32_t optind = 0;
std::string optarg;
bool opterr = true;
char optopt = '?';
argvarray arguments;

namespace {

enum Ordering { requireOrder = 0, permute = 1 };

std::string scanRest;      // unread part of the current argument
Ordering ordering = permute;
bool strict = false;       // POSIXLY_CORRECT was set when the scan started
int32_t firstNonopt = 1;   // skipped non-options not yet moved: [first, last)
int32_t lastNonopt = 1;
std::ostream* output = &std::cout;

bool isNonOption(const std::string& arg)
{
    return arg.empty() || arg[0] != '-' || arg.size() == 1;
}

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Prints one message line; a message that cannot be written is a failure of
// the caller, not something to lose silently.
void message(const argvarray& argv, const std::string& text)
{
    if (!opterr)
        return;
    std::ostream& out = *output;
    out << argv[0] << text << '\n';
    out.flush();
    if (!out)
        throw EWriteError();
}

// Swaps the skipped non-options [first, last) with the options read since
// [last, optind), each block keeping its order: the shorter block is swapped
// with the far end of the longer one until one of them is empty.
void exchange(argvarray& argv)
{
    int32_t bottom = firstNonopt;
    int32_t middle = lastNonopt;
    int32_t top = optind;
    while (top > middle && middle > bottom) {
        if (top - middle > middle - bottom) {
            int32_t len = middle - bottom;
            for (int32_t i = 0; i < len; ++i)
                std::swap(argv[bottom + i], argv[top - len + i]);
            top -= len;
        } else {
            int32_t len = top - middle;
            for (int32_t i = 0; i < len; ++i)
                std::swap(argv[bottom + i], argv[middle + i]);
            bottom += len;
        }
    }
    firstNonopt += optind - lastNonopt;
    lastNonopt = optind;
}

int32_t readLongOption(int32_t argc, argvarray& argv, const std::string& optstring,
                       const option* longopts, int32_t& longind)
{
    std::string::size_type eq = scanRest.find('=');
    bool attached = eq != std::string::npos;
    std::string typed = attached ? scanRest.substr(0, eq) : scanRest;
    std::string attachedArg = attached ? scanRest.substr(eq + 1) : std::string();

    const option* found = nullptr;
    int32_t foundIndex = -1;
    bool exact = false;
    bool ambiguous = false;
    if (!typed.empty()) {
        for (int32_t i = 0; !longopts[i].name.empty(); ++i) {
            const option& row = longopts[i];
            if (!startsWith(row.name, typed))
                continue;
            if (row.name.size() == typed.size()) {
                found = &row;
                foundIndex = i;
                exact = true;
                break;
            }
            if (found == nullptr) {
                found = &row;
                foundIndex = i;
            } else {
                ambiguous = true;
            }
        }
    }

    if (ambiguous && !exact) {
        message(argv, ": option `" + argv[optind] + "' is ambiguous");
        scanRest.clear();
        ++optind;
        return '?';
    }

    if (found == nullptr) {
        message(argv, ": unrecognized option `--" + scanRest + "'");
        scanRest.clear();
        ++optind;
        return '?';
    }

    ++optind;
    if (attached) {
        if (found->has_arg == no_argument) {
            message(argv, ": option `--" + found->name + "' doesn't allow an argument");
            scanRest.clear();
            return '?';
        }
        optarg = attachedArg;
    } else if (found->has_arg == required_argument) {
        if (optind < argc) {
            optarg = argv[optind];
            ++optind;
        } else {
            message(argv, ": option `" + argv[optind - 1] + "' requires an argument");
            scanRest.clear();
            return !optstring.empty() && optstring[0] == ':' ? ':' : '?';
        }
    }
    scanRest.clear();
    longind = foundIndex;
    if (found->flag != nullptr) {
        *found->flag = found->val;
        return 0;
    }
    return found->val;
}

int32_t readShortOption(int32_t argc, argvarray& argv, const std::string& optstring)
{
    char c = scanRest[0];
    scanRest.erase(0, 1);
    if (scanRest.empty())
        ++optind;

    std::string::size_type at = optstring.find(c);
    if (at == std::string::npos || c == ':') {
        message(argv, std::string(strict ? ": illegal option -- " : ": invalid option -- ") + c);
        optopt = c;
        return '?';
    }

    bool takesArg = at + 1 < optstring.size() && optstring[at + 1] == ':';
    bool optionalArg = takesArg && at + 2 < optstring.size() && optstring[at + 2] == ':';
    int32_t result = static_cast<unsigned char>(c);
    if (optionalArg) {
        if (!scanRest.empty()) {
            optarg = scanRest;
            ++optind;
        } else {
            optarg.clear();
        }
        scanRest.clear();
    } else if (takesArg) {
        if (!scanRest.empty()) {
            optarg = scanRest;
            ++optind;
        } else if (optind == argc) {
            message(argv, std::string(": option requires an argument -- ") + c);
            optopt = c;
            result = optstring[0] == ':' ? ':' : '?';
        } else {
            optarg = argv[optind];
            ++optind;
        }
        scanRest.clear();
    }
    return result;
}

} // namespace

int32_t getopt_long(int32_t argc, argvarray& argv, const std::string& optstring,
                    const option* longopts, int32_t& longind)
{
    optarg.clear();
    // The vector is the truth about how many entries there are.
    if (argc > static_cast<int32_t>(argv.size()))
        argc = static_cast<int32_t>(argv.size());
    if (argc < 1)
        return -1;

    if (optind == 0) {
        firstNonopt = lastNonopt = 1;
        optind = 1;
        scanRest.clear();
        const char* env = std::getenv("POSIXLY_CORRECT");
        strict = env != nullptr && *env != '\0';
        ordering = strict ? requireOrder : permute;
    }

    bool haveLongOptions = longopts != nullptr && !longopts[0].name.empty();

    if (scanRest.empty()) {
        if (ordering == permute) {
            if (firstNonopt != lastNonopt && lastNonopt != optind)
                exchange(argv);
            else if (lastNonopt != optind)
                firstNonopt = optind;
            while (optind < argc && isNonOption(argv[optind]))
                ++optind;
            lastNonopt = optind;
        }

        if (optind < argc && argv[optind] == "--") {
            ++optind;
            if (firstNonopt != lastNonopt && lastNonopt != optind)
                exchange(argv);
            else if (firstNonopt == lastNonopt)
                firstNonopt = optind;
            lastNonopt = argc;
            optind = argc;
        }

        if (optind >= argc) {
            if (firstNonopt != lastNonopt)
                optind = firstNonopt;
            return -1;
        }

        if (isNonOption(argv[optind]))
            return -1;

        bool isLong = haveLongOptions && startsWith(argv[optind], "--");
        scanRest = argv[optind].substr(isLong ? 2 : 1);
    }

    if (haveLongOptions && startsWith(argv[optind], "--"))
        return readLongOption(argc, argv, optstring, longopts, longind);
    return readShortOption(argc, argv, optstring);
}

void resetGetopt()
{
    optind = 0;
    optarg.clear();
    opterr = true;
    optopt = '?';
    scanRest.clear();
    ordering = permute;
    strict = false;
    firstNonopt = lastNonopt = 1;
    output = &std::cout;
}

void setGetoptOutput(std::ostream& out)
{
    output = &out;
}

argvarray makeArgv(const std::string& program, const std::vector<std::string>& args)
{
    argvarray result;
    result.reserve(args.size() + 2);
    result.push_back(program);
    result.insert(result.end(), args.begin(), args.end());
    result.emplace_back();
    return result;
}

int32_t loadArgv(int count, const char* const* args)
{
    // Entry 0 is the program's full path, as messages name it that way.
    std::string program = count > 0 && args[0] != nullptr ? args[0] : "ortavixcl";
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0)
        program.assign(buffer, static_cast<size_t>(n));
    std::vector<std::string> rest;
    for (int i = 1; i < count; ++i)
        rest.emplace_back(args[i] != nullptr ? args[i] : "");
    arguments = makeArgv(program, rest);
    return static_cast<int32_t>(arguments.size()) - 1;
}

} // namespace getoptlib
