// Downloads of external XML sources over HTTP and FTP into temporary files.
//
// Every failure of a transfer step adds one 8-bit line to errorLines (the
// parser's ErrorLines, std::vector<std::string>) and the fetch returns
// nullptr; the caller then reports the source as missing. A returned stream
// is positioned after its last byte; the caller rewinds it and records its
// fileName for deletion. On failure no temporary file is left behind.
#pragma once

#include "xml/XpBase.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Bounds of every download: one that has not finished this long after it
// began, or that grows past this size, fails like any broken transfer and
// leaves no temporary file.
constexpr long XpDownloadTimeLimitMs = 60 * 1000;
constexpr int64_t XpDownloadSizeLimit = int64_t(64) << 20;

// Tests shrink the bounds to keep a stalling or endless server cheap;
// zero or less restores the default of each.
void SetDownloadLimitsForTesting(long timeLimitMs, int64_t sizeLimit);

// Makes the transfer library ready (once per process). On failure adds
// "Cannot open WININET, Microsoft IE required" and returns false; a later
// call tries again.
bool LoadInternetLibrary(std::vector<std::string>& errorLines);

// Creates a new, empty, private (mode 0600), uniquely named file in the
// temporary directory ($TMPDIR, else /tmp) whose name starts with the first
// three characters of prefix; returns its full name, or empty text when no
// file could be created.
std::string NewTempFileName(const std::string& prefix = "ZUZEzavudo");

// location: the address without its scheme: server, "/", path.
// HTTP/1.0 GET without caching. Raises EXpParserError "Http data not
// available" (SourceFile = location, line and column 0) when the first chunk
// of the answer contains "404 Not Found" or the server answers with an error
// status (400 and above).
std::unique_ptr<TXpFileStream> FetchHttp(const std::string& location,
                                         std::vector<std::string>& errorLines);

// Changes to the location's directory (a failure adds "Invalid ftp
// directory" and the file is then looked for in the login directory) and
// fetches the file in ASCII mode. An empty user name logs in anonymously.
std::unique_ptr<TXpFileStream> FetchFtp(const std::string& location, const std::string& userName,
                                        const std::string& password,
                                        std::vector<std::string>& errorLines);
