#include "gui/IdURI.h"

#include <cstring>

void TIdURI::setURI(const std::string& uri)
{
    Protocol.clear();
    Username.clear();
    Password.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    Params.clear();
    Bookmark.clear();

    std::string rest = uri;
    size_t hash = rest.find('#');
    if (hash != std::string::npos) {
        Bookmark = rest.substr(hash + 1);
        rest.erase(hash);
    }
    size_t sep = rest.find("://");
    if (sep == std::string::npos) {
        // A plain name: no protocol, no host; keep it whole.
        Path = uri;
        Bookmark.clear();
        return;
    }
    Protocol = rest.substr(0, sep);
    rest.erase(0, sep + 3);

    size_t q = rest.find('?');
    if (q != std::string::npos) {
        Params = rest.substr(q + 1);
        rest.erase(q);
    }
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos)
        Path = rest.substr(slash);

    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string user = authority.substr(0, at);
        authority.erase(0, at + 1);
        size_t colon = user.find(':');
        Username = user.substr(0, colon);
        if (colon != std::string::npos)
            Password = user.substr(colon + 1);
    }
    // A bracketed IPv6 address holds colons of its own.
    size_t portColon = std::string::npos;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close != std::string::npos && close + 1 < authority.size() && authority[close + 1] == ':')
            portColon = close + 1;
    } else {
        portColon = authority.rfind(':');
    }
    if (portColon != std::string::npos) {
        Port = authority.substr(portColon + 1);
        authority.erase(portColon);
    }
    Host = authority;
}

std::string TIdURI::encode(const std::string& s, const char* keep)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::strchr("-._~!$&'()*+,;=:@%", c) != nullptr || (c != 0 && std::strchr(keep, c) != nullptr);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string TIdURI::getURI() const
{
    if (Protocol.empty())
        throw EIdURIException("Protocol field is empty");
    if (Host.empty())
        throw EIdURIException("Host field is empty");
    std::string url = Protocol + "://" + Host;
    if (!Port.empty())
        url += ":" + Port;
    url += Path.empty() ? std::string("/") : encode(Path, "/");
    if (!Params.empty())
        url += "?" + encode(Params, "/?");
    return url;
}
