// Splits a typed name into URL parts and re-assembles the URL that is
// requested: without user name, password and fragment, with every character
// that may not stand in a URL percent-encoded.
#pragma once

#include "text/Errors.h"

#include <string>

// "Protocol field is empty", "Host field is empty".
class EIdURIException : public Exception {
public:
    using Exception::Exception;
    const char* className() const noexcept override { return "EIdURIException"; }
};

class TIdURI {
public:
    TIdURI() = default;
    explicit TIdURI(const std::string& uri) { setURI(uri); }

    // Parses uri (8-bit text). A text without "://" has no protocol and is
    // all path.
    void setURI(const std::string& uri);
    // The URL to request; EIdURIException when protocol or host is missing.
    std::string getURI() const;

    std::string Protocol; // the text before the first "://"
    std::string Username;
    std::string Password;
    std::string Host;
    std::string Port;
    std::string Path;     // from the first "/" after the host, "" when none
    std::string Params;   // after "?", without it
    std::string Bookmark; // after "#", without it

    // Percent-encodes what may not stand in a URL; existing escapes stay.
    static std::string encode(const std::string& s, const char* keep);
};
