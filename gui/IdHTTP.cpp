#include "gui/IdHTTP.h"

#include "text/Streams.h"

#include <QEventLoop>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <memory>

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
    auto drain = [&]() {
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
    current_ = reply.get();
    struct TClear {
        QNetworkReply*& r;
        ~TClear() { r = nullptr; }
    } clear{current_};
    connect(reply.get(), &QNetworkReply::readyRead, &loop, drain);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
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
    if (current_)
        current_->abort();
}
