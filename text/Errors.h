// The general failure class of the system and the framework failures that
// several modules raise (operating-system and stream failures). Every failure
// derives from std::exception; `className` names its kind for reports.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    virtual const char* className() const noexcept { return "Exception"; }

protected:
    std::string message_;
};

// A failed call to the operating system, carrying its error number.
class EOSError : public Exception {
public:
    EOSError(int code, std::string message) : Exception(std::move(message)), errorCode(code) {}
    const char* className() const noexcept override { return "EOSError"; }
    // "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed"
    // when the code is 0.
    static EOSError fromCode(int code);
    int errorCode;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
    const char* className() const noexcept override { return "EStreamError"; }
};

// "Cannot open file "%s". %s"
class EFOpenError : public EStreamError {
public:
    EFOpenError(const std::string& fileName, int code);
    const char* className() const noexcept override { return "EFOpenError"; }
    int errorCode;
};

// "Cannot create file "%s". %s"
class EFCreateError : public EStreamError {
public:
    EFCreateError(const std::string& fileName, int code);
    const char* className() const noexcept override { return "EFCreateError"; }
    int errorCode;
};

// "Stream read error"
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
    const char* className() const noexcept override { return "EReadError"; }
};

// "Stream write error"
class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
    const char* className() const noexcept override { return "EWriteError"; }
};

// The system's message text for an error number.
std::string systemErrorMessage(int code);
