// The long-option parser on arbitrary argument vectors: the input is split
// at zero bytes into arguments and scanned with the console program's table,
// once with the ":" short-option string and once with a few short options.
#include "cli/getoptlib.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    if (args.size() > 64)
        args.resize(64);

    static const getoptlib::option table[] = {
        {"outdir", getoptlib::required_argument, nullptr, 0},
        {"info", getoptlib::no_argument, nullptr, 0},
        {"optional", getoptlib::optional_argument, nullptr, 'o'},
        {"", 0, nullptr, 0},
    };
    std::ostringstream messages;
    for (const char* shortOptions : {":", "ab:c::-+"}) {
        getoptlib::argvarray argv = getoptlib::makeArgv("ortavixcl", args);
        getoptlib::resetGetopt();
        getoptlib::setGetoptOutput(messages);
        const int32_t argc = static_cast<int32_t>(argv.size()) - 1;
        // Every call consumes at least one argument or ends the scan; the
        // bound only guards against a parser that stops advancing.
        for (int steps = 0; steps < 4 * argc + 8; ++steps) {
            int32_t longind = 0;
            if (getoptlib::getopt_long(argc, argv, shortOptions, table, longind) == -1)
                break;
            if (longind < 0 || longind > 2)
                __builtin_trap();
        }
    }
    getoptlib::resetGetopt();
    return 0;
}
