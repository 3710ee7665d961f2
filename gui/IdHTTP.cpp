#include "gui/IdHTTP.h"

#include "text/Streams.h"

#include <QEventLoop>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace {

std::string durationText(int ms)
{
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
    return std::to_string(ms) + " ms";
}

} // namespace

TIdHTTP::TIdHTTP(QObject* parent)
    : QObject(parent)
{
    manager_.setCookieJar(new QNetworkCookieJar(&manager_));
}

void TIdHTTP::get(const std::string& url, TStream& stream)
{
    ResponseCode = 0;
    QUrl qurl(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())), QUrl::TolerantMode);
    if (!qurl.isValid())
        throw EIdHTTPProtocolException(0, "Invalid URL: " + url);

    if (ProxyPort == 0)
        manager_.setProxy(QNetworkProxy::NoProxy);

    QNetworkRequest req(qurl);
    req.setRawHeader("Content-Type", QByteArray::fromStdString(ContentType));
    req.setRawHeader("Accept", QByteArray::fromStdString(Accept));
    req.setRawHeader("User-Agent", QByteArray::fromStdString(UserAgent));
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        HandleRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy : QNetworkRequest::ManualRedirectPolicy);
    req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Automatic);
    req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Automatic);
    req.setTransferTimeout(ReadTimeout);

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(manager_.get(req), [](QNetworkReply* r) {
        r->disconnect();
        r->abort();
        r->deleteLater();
    });

    int64_t done = 0;
    std::string writeError;
    QEventLoop loop;
    // Restarted by every sign of life of the transfer, so that only silence
    // ends it, not a large page on a slow line.
    QTimer stall;
    stall.setSingleShot(true);
    bool stalled = false;
    auto alive = [&]() {
        if (StallTimeout > 0)
            stall.start(StallTimeout);
    };
    connect(&stall, &QTimer::timeout, &loop, [&]() {
        stalled = true;
        reply->abort();
    });
    auto drain = [&]() {
        alive();
        QByteArray chunk = reply->readAll();
        if (chunk.isEmpty())
            return;
        // An error status carries a body too; it is not the page asked for.
        int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400)
            return;
        try {
            stream.writeBuffer(chunk.constData(), chunk.size());
        } catch (const Exception& e) {
            if (writeError.empty())
                writeError = e.message();
            reply->abort();
            return;
        }
        done += chunk.size();
        if (OnWork)
            OnWork(TWorkMode::wmRead, done);
    };
    cancelled_ = false;
    current_ = reply.get();
    struct TClear {
        QNetworkReply*& r;
        ~TClear() { r = nullptr; }
    } clear{current_};
    connect(reply.get(), &QNetworkReply::readyRead, &loop, drain);
    connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, alive);
    connect(reply.get(), &QNetworkReply::redirected, &loop, alive);
    connect(reply.get(), &QNetworkReply::downloadProgress, &loop, alive);
    connect(reply.get(), &QNetworkReply::uploadProgress, &loop, alive);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        alive();
        // User input is taken: the window must stay usable, and Escape or
        // the close box are how a user ends a transfer that hangs.
        loop.exec();
    }
    stall.stop();
    if (cancelled_)
        throw ETransferCancelled(url);
    if (stalled)
        throw EIdHTTPProtocolException(0, "Nothing was received from " + url + " for " +
                                              durationText(StallTimeout) + "; the transfer was stopped");
    drain();

    if (!writeError.empty())
        throw EIdHTTPProtocolException(0, writeError);
    ResponseCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    ResponseContentType = reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdString();
    if (ResponseCode >= 400) {
        QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        throw EIdHTTPProtocolException(ResponseCode,
            "HTTP error " + std::to_string(ResponseCode) + ": " + reason.toStdString());
    }
    if (reply->error() != QNetworkReply::NoError)
        throw EIdHTTPProtocolException(ResponseCode, reply->errorString().toStdString());
    if (ResponseCode >= 300)
        throw EIdHTTPProtocolException(ResponseCode,
            "HTTP error " + std::to_string(ResponseCode) + ": redirect not followed");
}

void TIdHTTP::abort()
{
    if (current_) {
        cancelled_ = true;
        current_->abort();
    }
}
