// The desktop program's HTTP client: a synchronous GET into a byte stream,
// run on the window's thread by a local event loop that keeps the window
// working meanwhile, so that the user can stop a transfer. Redirects are
// followed and cookies kept for later requests.
#pragma once

#include "text/Errors.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

class TStream;

// Any failed transfer: no connection, a protocol error or an error status.
class EIdHTTPProtocolException : public Exception {
public:
    EIdHTTPProtocolException(int code, std::string message)
        : Exception(std::move(message)), ErrorCode(code) {}
    const char* className() const noexcept override { return "EIdHTTPProtocolException"; }
    int ErrorCode; // the HTTP status, or 0 when none arrived
};

// The transfer was ended by abort(), at the user's request.
class ETransferCancelled : public EIdHTTPProtocolException {
public:
    explicit ETransferCancelled(const std::string& url)
        : EIdHTTPProtocolException(0, "The transfer of " + url + " was cancelled") {}
    const char* className() const noexcept override { return "ETransferCancelled"; }
};

// How long a transfer may go without receiving anything before it fails.
inline constexpr int kStallTimeoutMs = 30000;

enum class TWorkMode { wmRead, wmWrite };

class TIdHTTP : public QObject {
    Q_OBJECT
public:
    explicit TIdHTTP(QObject* parent = nullptr);

    // Writes the response body of url into stream unchanged; raises
    // EIdHTTPProtocolException on any failure.
    void get(const std::string& url, TStream& stream);

    bool HandleRedirects = true;
    int ReadTimeout = 0; // milliseconds, 0: none
    // Milliseconds without any data (headers count) after which the transfer
    // fails with a message naming the URL; 0: wait for ever.
    int StallTimeout = kStallTimeoutMs;
    std::string ContentType = "text/html";
    std::string Accept = "text/html, */*";
    std::string UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
    bool BasicAuthentication = false;
    int ProxyPort = 0; // 0: no proxy
    int64_t ContentLength = -1; // -1: none sent
    int ResponseCode = 0;
    // Content-Type header of the last response ("" when none was sent).
    std::string ResponseContentType;

    // Ends the transfer in progress, if any; its get fails with
    // ETransferCancelled.
    void abort();
    bool active() const { return current_ != nullptr; }

    // During a transfer: the mode and the bytes transferred so far.
    std::function<void(TWorkMode, int64_t)> OnWork;

private:
    QNetworkAccessManager manager_;
    class QNetworkReply* current_ = nullptr;
    bool cancelled_ = false;
};
