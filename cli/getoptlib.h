// Long-option parser of the console program: short options after "-", long
// options after "--" (any unambiguous prefix), arguments attached with "=" or
// given as the next argument, and non-options moved behind the options so
// that options and file names may be mixed on the command line.
//
// The scanning state is module-wide, as the console program has one scan per
// run; `resetGetopt` returns it to its initial values (tests run many scans).
// Messages go to standard output unless `setGetoptOutput` points elsewhere.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace getoptlib {

// The argument vector: entry 0 the program's full path, entries 1 to argc - 1
// the arguments, entry argc empty. Unlike a fixed array it holds any number
// of arguments (the shell expands patterns, so thousands are ordinary).
using argvarray = std::vector<std::string>;

// One row of the long-option table; a row with an empty name ends the table.
struct option {
    std::string name;
    uint8_t has_arg = 0;      // 0: none, 1: required, 2: optional (only with "=")
    int32_t* flag = nullptr;  // when set, receives `val` and the call returns 0
    int32_t val = 0;
};

enum : uint8_t { no_argument = 0, required_argument = 1, optional_argument = 2 };

// Index of the next argument to scan; 0 starts a new scan.
extern int32_t optind;
// Argument of the option just returned.
extern std::string optarg;
// Print error messages.
extern bool opterr;
// The offending character after a short-option error.
extern char optopt;

// The module's own argument vector, filled once at program start.
extern argvarray arguments;

// Fills `arguments` from the process's arguments, entry 0 being the full path of
// the running program; returns argc.
int32_t loadArgv(int count, const char* const* args);

// Builds an argument vector (closing empty entry included) from a program
// path and arguments.
argvarray makeArgv(const std::string& program, const std::vector<std::string>& args);

// Returns -1 when the options are exhausted (optind then indexes the first
// non-option), the row's `val` (or 0 with a flag) for a long option, the
// character for a short option, '?' for an error, ':' for a missing argument
// when optstring begins with ':'. Reorders argv in place. Raises EWriteError
// when a message cannot be written.
int32_t getopt_long(int32_t argc, argvarray& argv, const std::string& optstring,
                    const option* longopts, int32_t& longind);

// Back to the initial state: optind 0, optarg empty, opterr true, optopt '?',
// messages to standard output.
void resetGetopt();

// Where the messages go (standard output by default); the stream stays the
// caller's.
void setGetoptOutput(std::ostream& out);

} // namespace getoptlib
