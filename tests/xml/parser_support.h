// Helpers shared by the XML checker's tests.
#pragma once

#include "text/Ansi.h"
#include "text/Streams.h"
#include "xml/XpParser.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace xptest {

// Parses UTF-8 bytes from a memory stream; returns the error lines.
inline std::vector<std::string> check(const std::string& bytes, TXpParser* with = nullptr)
{
    TXpParser own;
    TXpParser& p = with ? *with : own;
    TMemoryStream ms;
    ms.write(bytes.data(), static_cast<int64_t>(bytes.size()));
    ms.seek(0, SeekOrigin::Begin);
    p.ParseFromStream(ms);
    return p.ErrorLines;
}

// The single error line of a stream document, or "" when it is well-formed.
inline std::string error(const std::string& bytes)
{
    std::vector<std::string> lines = check(bytes);
    return lines.empty() ? std::string() : lines.front();
}

// "File: . Line: L Col: C Error: M" for a stream document.
inline std::string line(int l, int c, const std::string& message, const std::string& file = "")
{
    return "File: " + file + ". Line: " + std::to_string(l) + " Col: " + std::to_string(c) + " Error: " + message;
}

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "xpparserXXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::filesystem::path full = std::filesystem::path(path_) / name;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << bytes;
        return full.string();
    }

private:
    std::string path_;
};

// Restores the current directory when a test changes it.
class CwdKeeper {
public:
    CwdKeeper() : saved_(std::filesystem::current_path()) {}
    ~CwdKeeper()
    {
        std::error_code ec;
        std::filesystem::current_path(saved_, ec);
    }

private:
    std::filesystem::path saved_;
};

} // namespace xptest
