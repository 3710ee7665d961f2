#include "text/Errors.h"

#include <cstdio>
#include <cstring>

std::string systemErrorMessage(int code)
{
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* msg = strerror_r(code, buf, sizeof buf);
    return msg ? std::string(msg) : std::string();
}

EOSError EOSError::fromCode(int code)
{
    if (code == 0)
        return EOSError(0, "A call to an OS function failed");
    std::string text = "System Error.  Code: " + std::to_string(code) + ".\r\n" + systemErrorMessage(code);
    return EOSError(code, std::move(text));
}

EFOpenError::EFOpenError(const std::string& fileName, int code)
    : EStreamError("Cannot open file \"" + fileName + "\". " + systemErrorMessage(code)), errorCode(code)
{
}

EFCreateError::EFCreateError(const std::string& fileName, int code)
    : EStreamError("Cannot create file \"" + fileName + "\". " + systemErrorMessage(code)), errorCode(code)
{
}
