// Helpers for tests that run the console program as a process.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace clitest {

// A word for sh -c, whatever it holds.
inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

inline std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace clitest
