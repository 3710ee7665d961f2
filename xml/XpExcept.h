// Failures of the XML checker, and the location base that names a source.
//
//   EXpException            message only
//   └ EXpStreamError        + StreamOffset (byte position in the source)
//     └ EXpFilterError      + ReasonText (wide), LineNo, ColumnNo
//       └ EXpParserError    + SourceFile (wide; empty when the source has no
//                              location)
//
// The 8-bit message of the stream family is the reason narrowed to the ANSI
// code page.
#pragma once

#include "text/Errors.h"

#include <cstdint>
#include <memory>
#include <string>

class EXpException : public Exception {
public:
    explicit EXpException(std::string message) : Exception(std::move(message)) {}
    const char* className() const noexcept override { return "EXpException"; }
};

class EXpStreamError : public EXpException {
public:
    EXpStreamError(int64_t offset, const std::u16string& reason);
    const char* className() const noexcept override { return "EXpStreamError"; }

    int64_t StreamOffset;
};

class EXpFilterError : public EXpStreamError {
public:
    EXpFilterError(int64_t offset, int32_t line, int32_t column, const std::u16string& reason);
    const char* className() const noexcept override { return "EXpFilterError"; }

    std::u16string ReasonText;
    int32_t LineNo;
    int32_t ColumnNo;
};

class EXpParserError : public EXpFilterError {
public:
    EXpParserError(int32_t line, int32_t column, const std::u16string& source,
                   const std::u16string& reason);
    const char* className() const noexcept override { return "EXpParserError"; }

    std::u16string SourceFile;
};

// Kinds of location. The two extra values exist only while a relative
// location is being resolved.
enum : uint8_t {
    xpLocalFile = 0,
    xpHttp = 1,
    xpFtp = 2,
};

// A location: directory (up to and including the last separator) and file
// name. The parser's TXpDirContext derives from it and does the resolution.
class TXpBaseDirContext {
public:
    TXpBaseDirContext() = default;
    virtual ~TXpBaseDirContext() = default;
    TXpBaseDirContext(const TXpBaseDirContext&) = default;
    TXpBaseDirContext& operator=(const TXpBaseDirContext&) = default;

    // Splits a location text into directory and fileName against a parent
    // location (nullptr for none).
    virtual void SplitLocation(const TXpBaseDirContext* parent, const std::string& location) = 0;
    // Virtual constructor: a new context of the same class resolved from
    // location against parent (nullptr for none).
    virtual std::unique_ptr<TXpBaseDirContext> CreateContext(const TXpBaseDirContext* parent,
                                                             const std::string& location) const = 0;

    std::string FullLocation() const { return directory + fileName; }

    uint8_t kind = xpLocalFile;
    std::string directory;
    std::string fileName;
};
