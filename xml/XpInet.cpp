#include "xml/XpInet.h"

#include "text/Ansi.h"
#include "text/TempFiles.h"
#include "xml/XpExcept.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <string_view>
#include <type_traits>
#include <unistd.h>

namespace {

long downloadTimeLimitMs = XpDownloadTimeLimitMs;
int64_t downloadSizeLimit = XpDownloadSizeLimit;

// ---- the transfer library ---------------------------------------------------------

// libcurl and its dependencies are loaded on the first transfer only: linking
// them would cost every run their loading time, and most runs never fetch a
// thing.
struct CurlLibrary {
    void* handle = nullptr;
    bool ready = false;
    CURLcode (*global_init)(long) = nullptr;
    void (*global_cleanup)() = nullptr;
    CURL* (*easy_init)() = nullptr;
    void (*easy_cleanup)(CURL*) = nullptr;
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*easy_perform)(CURL*) = nullptr;
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
    char* (*easy_escape)(CURL*, const char*, int) = nullptr;
    void (*free)(void*) = nullptr;
    curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
    void (*slist_free_all)(curl_slist*) = nullptr;

    ~CurlLibrary()
    {
        // Never unloaded: its own exit handlers may still run.
        if (ready)
            global_cleanup();
    }

    // Empty when every entry point was found, else why not.
    std::string load()
    {
        handle = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = ::dlerror();
            return why ? why : "libcurl.so.4 not found";
        }
        bool missing = false;
        auto find = [&](auto& entry, const char* name) {
            entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(::dlsym(handle, name));
            missing = missing || entry == nullptr;
        };
        find(global_init, "curl_global_init");
        find(global_cleanup, "curl_global_cleanup");
        find(easy_init, "curl_easy_init");
        find(easy_cleanup, "curl_easy_cleanup");
        find(easy_setopt, "curl_easy_setopt");
        find(easy_perform, "curl_easy_perform");
        find(easy_getinfo, "curl_easy_getinfo");
        find(easy_escape, "curl_easy_escape");
        find(free, "curl_free");
        find(slist_append, "curl_slist_append");
        find(slist_free_all, "curl_slist_free_all");
        if (!missing)
            return {};
        ::dlclose(handle);
        handle = nullptr;
        return "libcurl.so.4 lacks an entry point";
    }
};

CurlLibrary& curlLibrary()
{
    static CurlLibrary library;
    return library;
}

// Only after LoadInternetLibrary succeeded.
CurlLibrary& Curl()
{
    return curlLibrary();
}

struct EasyCleanup {
    void operator()(CURL* h) const { Curl().easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct SlistCleanup {
    void operator()(curl_slist* l) const { Curl().slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

// Settings that keep a transfer from hanging forever.
void setCommonOptions(CURL* h, char* errorBuffer)
{
    Curl().easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    Curl().easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    Curl().easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    Curl().easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
    // The low-speed limit alone lets a trickle of bytes go on for ever.
    Curl().easy_setopt(h, CURLOPT_TIMEOUT_MS, downloadTimeLimitMs);
    Curl().easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(downloadSizeLimit));
    Curl().easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
}

std::string tempDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    std::string d = dir && *dir ? dir : "/tmp";
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    return d;
}

// ---- the temporary file a download goes to ---------------------------------------------

// Created with the first data (or at the end of an empty transfer); deleted
// again unless the download succeeds and hands the stream to the caller.
class Download {
public:
    Download() = default;
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;
    ~Download() { discard(); }

    bool checkFirstChunk = false; // HTTP: the "404 Not Found" rule
    bool notFound = false;
    std::exception_ptr error; // a failure of the local file

    void create()
    {
        if (stream_)
            return;
        std::string name;
        {
            TCleanupSignalsBlocked blocked; // no gap between creation and registration
            name = NewTempFileName();
            if (!name.empty())
                onSignal_.reset(name);
        }
        if (name.empty())
            throw EFCreateError(tempDirectory() + "/ZUZXXXXXX", errno);
        name_ = name;
        stream_ = std::make_unique<TXpFileStream>(name, fmCreate);
    }

    std::unique_ptr<TXpFileStream> release()
    {
        create();
        name_.clear();
        onSignal_.release();
        return std::move(stream_);
    }

    void discard()
    {
        stream_.reset();
        if (!name_.empty())
            ::unlink(name_.c_str());
        name_.clear();
        onSignal_.release();
    }

    static size_t onData(char* data, size_t size, size_t count, void* self)
    {
        auto* d = static_cast<Download*>(self);
        size_t n = size * count;
        try {
            if (d->checkFirstChunk) {
                d->checkFirstChunk = false;
                std::string_view text(data, n);
                text = text.substr(0, text.find('\0'));
                if (text.find("404 Not Found") != std::string_view::npos) {
                    d->notFound = true;
                    return 0;
                }
            }
            // The announced length is checked by the library; an answer
            // without one is counted here.
            d->received_ += static_cast<int64_t>(n);
            if (d->received_ > downloadSizeLimit)
                return 0;
            d->create();
            d->stream_->writeBuffer(data, static_cast<int64_t>(n));
        } catch (...) {
            d->error = std::current_exception();
            return 0;
        }
        return n;
    }

private:
    std::unique_ptr<TXpFileStream> stream_;
    std::string name_;
    int64_t received_ = 0;
    TTempFileGuard onSignal_;
};

// Percent-encodes the bytes a URL cannot carry as they are (controls, space,
// non-ASCII); everything else, "%" and "/" included, stays as written.
std::string encodeUrlPath(std::string_view path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
            c == '`' || c == '{' || c == '|' || c == '}') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One FTP path segment, fully encoded.
std::string encodeSegment(CURL* h, const std::string& segment)
{
    char* e = Curl().easy_escape(h, segment.c_str(), static_cast<int>(segment.size()));
    std::string out = e ? e : "";
    Curl().free(e);
    return out;
}

bool isConnectFailure(CURL* h, CURLcode rc)
{
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_LOGIN_DENIED:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_SSL_CONNECT_ERROR:
        return true;
    case CURLE_OPERATION_TIMEDOUT: {
        curl_off_t connectTime = 0;
        Curl().easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectTime);
        return connectTime == 0;
    }
    default:
        return false;
    }
}

} // namespace

void SetDownloadLimitsForTesting(long timeLimitMs, int64_t sizeLimit)
{
    downloadTimeLimitMs = timeLimitMs > 0 ? timeLimitMs : XpDownloadTimeLimitMs;
    downloadSizeLimit = sizeLimit > 0 ? sizeLimit : XpDownloadSizeLimit;
}

bool LoadInternetLibrary(std::vector<std::string>& errorLines)
{
    CurlLibrary& lib = curlLibrary();
    if (lib.ready)
        return true;
    if (!lib.handle) {
        const std::string why = lib.load();
        if (!why.empty()) {
            errorLines.push_back("Cannot load the transfer library (libcurl): " + why);
            return false;
        }
    }
    if (lib.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        errorLines.push_back("Cannot open WININET, Microsoft IE required");
        return false;
    }
    lib.ready = true;
    return true;
}

std::string NewTempFileName(const std::string& prefix)
{
    std::string start = prefix.substr(0, 3);
    for (char& c : start)
        if (c == '/')
            c = '_';
    std::string name = tempDirectory() + "/" + start + "XXXXXX";
    int fd = ::mkstemp(name.data()); // mode 0600
    if (fd < 0)
        return {};
    ::close(fd);
    return name;
}

std::unique_ptr<TXpFileStream> FetchHttp(const std::string& location, std::vector<std::string>& errorLines)
{
    if (!LoadInternetLibrary(errorLines))
        return nullptr;

    std::string server, object;
    std::size_t slash = location.find('/');
    if (slash == std::string::npos) {
        server = location; // a bare host name asks for its root
    } else {
        server = location.substr(0, slash);
        object = location.substr(slash + 1);
    }

    EasyHandle h(Curl().easy_init());
    if (!h) {
        errorLines.push_back("Unable to open Internet");
        return nullptr;
    }
    if (server.empty()) {
        errorLines.push_back("Unable to make Internet connection");
        return nullptr;
    }

    std::string url = "http://" + encodeUrlPath(server) + "/" + encodeUrlPath(object);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommonOptions(h.get(), errorBuffer);
    HeaderList headers(Curl().slist_append(nullptr, "Pragma: no-cache"));
    if (headers)
        Curl().slist_append(headers.get(), "Cache-Control: no-cache");
    if (Curl().easy_setopt(h.get(), CURLOPT_URL, url.c_str()) != CURLE_OK ||
        Curl().easy_setopt(h.get(), CURLOPT_PROTOCOLS_STR, "http") != CURLE_OK) {
        errorLines.push_back("Unable to open http request");
        return nullptr;
    }
    Curl().easy_setopt(h.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http");
    Curl().easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
    Curl().easy_setopt(h.get(), CURLOPT_MAXREDIRS, 10L);
    Curl().easy_setopt(h.get(), CURLOPT_HTTPGET, 1L);
    Curl().easy_setopt(h.get(), CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    Curl().easy_setopt(h.get(), CURLOPT_USERAGENT, "ZUZEzavudo");
    Curl().easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
    Curl().easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);

    Download download;
    download.checkFirstChunk = true;
    Curl().easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, &Download::onData);
    Curl().easy_setopt(h.get(), CURLOPT_WRITEDATA, &download);

    CURLcode rc = Curl().easy_perform(h.get());
    if (download.error)
        std::rethrow_exception(download.error); // the download's destructor deletes the file
    if (download.notFound || rc == CURLE_HTTP_RETURNED_ERROR)
        throw EXpParserError(0, 0, widen(location), u"Http data not available");
    switch (rc) {
    case CURLE_OK:
        return download.release();
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        errorLines.push_back("Unable to open http request");
        return nullptr;
    default:
        errorLines.push_back(isConnectFailure(h.get(), rc) ? "Unable to make Internet connection"
                                                           : "Unable to send http request");
        return nullptr;
    }
}

std::unique_ptr<TXpFileStream> FetchFtp(const std::string& location, const std::string& userName,
                                        const std::string& password, std::vector<std::string>& errorLines)
{
    std::size_t slash = location.find('/');
    if (slash == std::string::npos) {
        errorLines.push_back("Invalid ftp location");
        return nullptr;
    }
    if (!LoadInternetLibrary(errorLines))
        return nullptr;

    std::string server = location.substr(0, slash);
    std::string rest = location.substr(slash + 1);
    std::string directory, file;
    std::size_t last = rest.rfind('/');
    if (last != std::string::npos) {
        directory = rest.substr(0, last + 1);
        file = rest.substr(last + 1);
        directory.pop_back();
        if (directory.empty() || directory.front() != '/')
            directory.insert(directory.begin(), '/');
    } else {
        file = rest;
    }

    EasyHandle h(Curl().easy_init());
    if (!h) {
        errorLines.push_back("Unable to open Internet");
        return nullptr;
    }
    if (server.empty()) {
        errorLines.push_back("Unable to make Internet connection");
        return nullptr;
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    setCommonOptions(h.get(), errorBuffer);
    Curl().easy_setopt(h.get(), CURLOPT_PROTOCOLS_STR, "ftp");
    Curl().easy_setopt(h.get(), CURLOPT_FTPPORT, "-"); // active mode
    Curl().easy_setopt(h.get(), CURLOPT_ACCEPTTIMEOUT_MS, 30000L);
    if (!userName.empty()) {
        Curl().easy_setopt(h.get(), CURLOPT_USERNAME, userName.c_str());
        Curl().easy_setopt(h.get(), CURLOPT_PASSWORD, password.c_str());
    }
    const std::string base = "ftp://" + encodeUrlPath(server) + "/";

    // Connect and log in; the later steps reuse this connection.
    Curl().easy_setopt(h.get(), CURLOPT_URL, base.c_str());
    Curl().easy_setopt(h.get(), CURLOPT_NOBODY, 1L);
    CURLcode rc = Curl().easy_perform(h.get());
    if (rc != CURLE_OK) {
        errorLines.push_back("Unable to make Internet connection");
        return nullptr;
    }

    // The directory is absolute ("%2F" is the root); a failed change leaves
    // the file to be looked for in the login directory.
    std::string dirPath;
    if (!directory.empty()) {
        std::string path = "%2F";
        std::size_t from = 1;
        while (from < directory.size()) {
            std::size_t next = directory.find('/', from);
            if (next == std::string::npos)
                next = directory.size();
            if (next > from)
                path += encodeSegment(h.get(), directory.substr(from, next - from)) + "/";
            from = next + 1;
        }
        if (path.back() != '/')
            path += '/';
        std::string url = base + path;
        Curl().easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        rc = Curl().easy_perform(h.get());
        if (rc == CURLE_OK)
            dirPath = path;
        else
            errorLines.push_back("Invalid ftp directory");
    }

    if (file.empty()) {
        errorLines.push_back("Unable to open ftp file");
        return nullptr;
    }
    std::string url = base + dirPath + encodeSegment(h.get(), file);
    Curl().easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    Curl().easy_setopt(h.get(), CURLOPT_NOBODY, 0L);
    Curl().easy_setopt(h.get(), CURLOPT_TRANSFERTEXT, 1L); // ASCII transfer
    Download download;
    Curl().easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, &Download::onData);
    Curl().easy_setopt(h.get(), CURLOPT_WRITEDATA, &download);
    rc = Curl().easy_perform(h.get());
    if (download.error)
        std::rethrow_exception(download.error);
    if (rc != CURLE_OK) {
        errorLines.push_back("Unable to open ftp file");
        return nullptr;
    }
    return download.release();
}
