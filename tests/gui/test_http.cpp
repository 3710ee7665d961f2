// Fetching pages over HTTP: the client's settings against an in-process
// server, and the window against a real server on 127.0.0.1.
#include "FormTestSupport.h"

#include "gui/IdHTTP.h"

#include <QLineEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <sys/prctl.h>

namespace {

// A tiny server that answers from a table and remembers every request head.
class TFakeServer : public QObject {
public:
    QTcpServer server;
    QList<QByteArray> requests;
    std::function<QByteArray(const QByteArray& path)> answer;

    TFakeServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                auto* buf = new QByteArray;
                connect(s, &QTcpSocket::disconnected, s, [s, buf]() {
                    delete buf;
                    s->deleteLater();
                });
                connect(s, &QTcpSocket::readyRead, s, [this, s, buf]() {
                    buf->append(s->readAll());
                    int end = buf->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    QByteArray head = buf->left(end);
                    buf->remove(0, end + 4);
                    requests << head;
                    QByteArray path = head.split(' ').value(1);
                    s->write(answer(path));
                    s->flush();
                    s->disconnectFromHost();
                });
            }
        });
    }
    QString url(const char* path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }
};

QByteArray header(const QByteArray& head, const QByteArray& name)
{
    for (const QByteArray& line : head.split('\n')) {
        int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// A server on 127.0.0.1 that answers every request with a head and the
// first bytes of a body, then sends more only when told to (or never).
class TStallingServer : public QObject {
public:
    QTcpServer server;
    QList<QTcpSocket*> sockets;
    int requests = 0;
    std::function<void()> onRequest;

    TStallingServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                sockets << s;
                connect(s, &QTcpSocket::readyRead, this, [this, s]() {
                    if (!s->readAll().contains("\r\n\r\n"))
                        return;
                    ++requests;
                    s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1000\r\n\r\n"
                             "<html><body><p>stalled");
                    s->flush();
                    if (onRequest)
                        onRequest();
                });
            }
        });
    }
    void send(const QByteArray& bytes)
    {
        for (QTcpSocket* s : sockets) {
            s->write(bytes);
            s->flush();
        }
    }
    QString url() const { return QString("http://127.0.0.1:%1/stall.html").arg(server.serverPort()); }
};

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

} // namespace

class TestHttp : public QObject {
    Q_OBJECT

    QTemporaryDir site;
    QProcess server;
    quint16 port = 0;

    QString url(const char* path) const { return QString("http://127.0.0.1:%1%2").arg(port).arg(path); }

private slots:
    void initTestCase()
    {
        QVERIFY(site.isValid());
        auto put = [&](const QString& name, const QByteArray& bytes) {
            QFile f(site.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        QDir(site.path()).mkdir("sub");
        put("page.html", "<html><body><p>served</p></body></html>");
        put("sub/index.html", "<p>index</p>");
        port = freePort();
        server.setProgram("/usr/bin/python3");
        server.setArguments({"-m", "http.server", "--bind", "127.0.0.1", QString::number(port), "--directory", site.path()});
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setStandardOutputFile(QProcess::nullDevice()); // its request log is not read
        // The server must not outlive a test program that crashed.
        server.setChildProcessModifier([]() { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        server.start();
        QVERIFY2(server.waitForStarted(5000), qPrintable(server.errorString()));
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            up = probe.waitForConnected(100);
            if (!up)
                QTest::qWait(50);
        }
        QVERIFY2(up, "the test server did not start");
    }

    void cleanupTestCase()
    {
        server.terminate();
        if (!server.waitForFinished(3000)) {
            server.kill();
            server.waitForFinished(3000);
        }
    }

    void clientSendsItsHeadersFollowsRedirectsAndKeepsCookies()
    {
        TFakeServer fake;
        fake.answer = [&](const QByteArray& path) -> QByteArray {
            if (path == "/first")
                return "HTTP/1.1 302 Found\r\nLocation: /second\r\nSet-Cookie: sid=42; Path=/\r\n"
                       "Content-Length: 0\r\nConnection: close\r\n\r\n";
            return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
        };
        TIdHTTP http;
        std::vector<int64_t> work;
        http.OnWork = [&](TWorkMode, int64_t n) { work.push_back(n); };
        TMemoryStream body;
        http.get(fake.url("/first").toStdString(), body);
        QCOMPARE(body.bytes(), std::string("hello"));
        QCOMPARE(http.ResponseCode, 200);
        QVERIFY(!work.empty());
        QCOMPARE(work.back(), int64_t(5));
        QCOMPARE(fake.requests.size(), 2);
        const QByteArray second = fake.requests[1];
        QVERIFY(second.startsWith("GET /second "));
        QCOMPARE(header(second, "Cookie"), QByteArray("sid=42"));
        QCOMPARE(header(second, "User-Agent"), QByteArray("Mozilla/3.0 (compatible; Indy Library)"));
        QCOMPARE(header(second, "Accept"), QByteArray("text/html, */*"));
        QCOMPARE(header(fake.requests[0], "Content-Type"), QByteArray("text/html"));
        QVERIFY(header(second, "Authorization").isEmpty());
    }

    void errorStatusIsAFailureAndWritesNothing()
    {
        TFakeServer fake;
        fake.answer = [](const QByteArray&) -> QByteArray {
            return "HTTP/1.1 500 Broken\r\nContent-Length: 4\r\nConnection: close\r\n\r\noops";
        };
        TIdHTTP http;
        TMemoryStream body;
        try {
            http.get(fake.url("/x").toStdString(), body);
            QFAIL("no failure");
        } catch (const EIdHTTPProtocolException& e) {
            QCOMPARE(e.ErrorCode, 500);
            QVERIFY2(QString::fromStdString(e.message()).contains("500"), e.what());
        }
        QCOMPARE(body.size(), int64_t(0));
    }

    void windowFetchesFromARealServer()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const QString page = url("/page.html");
        f.open(page.toStdString());
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QVERIFY(viewText(w.HTMLMemo).contains("<p>served</p>"));
        QVERIFY(w.XMLMemo->itemCount() > 0);
        QCOMPARE(w.mruList().front(), page.toStdString());
        QCOMPARE(w.lastOpened(), page.toStdString());
        QCOMPARE(w.statusText(0), QString("HTTP: 39"));
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());

        // Any letter case of the scheme; a directory redirect is followed.
        const QString upper = QString("HTTP://127.0.0.1:%1/sub").arg(port);
        f.open(upper.toStdString());
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QVERIFY(viewText(w.HTMLMemo).contains("<p>index</p>"));
    }

    void notFoundIsShownAsAFailure()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const QString missing = url("/missing.html");
        f.open(missing.toStdString());
        QCOMPARE(f.state->errors.size(), 1);
        QVERIFY2(f.state->errors[0].contains("404"), qPrintable(f.state->errors[0]));
        // Remembered before the fetch; nothing shown; nothing marked as opened.
        QCOMPARE(w.mruList().front(), missing.toStdString());
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        QCOMPARE(w.XMLMemo->itemCount(), 0);
        QVERIFY(w.lastOpened().empty());
        QVERIFY(!w.busy());
    }

    void closingTheWindowCutsAHangingTransferOff()
    {
        // A server that accepts and never answers: without a read time-out
        // only closing the window ends the wait.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        bool closedDuringOpen = false;
        QTimer::singleShot(300, &w, [&]() {
            QVERIFY(w.busy());
            closedDuringOpen = !w.close(); // refused for now
        });
        f.open(QString("http://127.0.0.1:%1/slow").arg(silent.serverPort()).toStdString());
        QVERIFY(closedDuringOpen);
        QVERIFY(!w.busy());
        QVERIFY(f.state->errors.isEmpty()); // nothing to tell: the user left
        QTRY_VERIFY(!w.isVisible());
    }

    void aSilentTransferTimesOutAndTheWindowStaysUsable()
    {
        TStallingServer stalling;
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.HTTP->StallTimeout = 300;
        const QString page = stalling.url();
        f.open(page.toStdString());
        QCOMPARE(stalling.requests, 1);
        QVERIFY(!w.busy());
        QCOMPARE(f.state->errors.size(), 1);
        const QString message = f.state->errors[0];
        QVERIFY2(message.contains(page) && message.contains("300 ms"), qPrintable(message));
        QCOMPARE(w.statusText(0), QString("HTTP: 22"));
        QCOMPARE(w.ErrorMsg->toPlainText(), "Open stopped: " + message);
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        QVERIFY(!w.CancelTransfer->isEnabled());
        // The next open works as ever.
        f.open(url("/page.html").toStdString());
        QCOMPARE(f.state->errors.size(), 1);
        QVERIFY(viewText(w.HTMLMemo).contains("<p>served</p>"));
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
    }

    void aTransferThatKeepsSendingDoesNotTimeOut()
    {
        // Ten pieces, each well inside the limit, together far beyond it:
        // only silence counts.
        TStallingServer trickle;
        int sent = 0;
        QTimer more;
        more.setInterval(100);
        QObject::connect(&more, &QTimer::timeout, [&]() {
            trickle.send(sent < 9 ? QByteArray(108, 'x') : QByteArray(6, 'y'));
            if (++sent == 10)
                more.stop();
        });
        trickle.onRequest = [&]() { more.start(); };
        TIdHTTP http;
        http.StallTimeout = 400;
        TMemoryStream body;
        http.get(trickle.url().toStdString(), body);
        QCOMPARE(sent, 10);
        QCOMPARE(body.size(), int64_t(1000));
    }

    void escapeCancelsAStalledTransfer()
    {
        TStallingServer stalling;
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.HTTP->StallTimeout = 0; // only the user can end it
        bool typed = false, toggled = false;
        stalling.onRequest = [&]() {
            QTimer::singleShot(50, &w, [&]() {
                QVERIFY(w.busy());
                // The window takes input meanwhile: the view can be
                // switched and the name box edited.
                QTest::keyClicks(w.FileEdit, "typed");
                typed = w.FileEdit->text().endsWith("typed");
                w.ToggleView->trigger();
                toggled = !w.ToggleView->isChecked();
                // Escape reaches the window from wherever the focus is.
                w.XMLMemo->setFocus();
                QTest::keyClick(w.XMLMemo, Qt::Key_Escape);
            });
        };
        // Should Escape be lost, the test still ends.
        bool rescued = false;
        QTimer::singleShot(20000, &w, [&]() {
            rescued = w.busy();
            w.HTTP->abort();
        });
        const QString page = stalling.url();
        f.open(page.toStdString());
        QVERIFY(!rescued);
        QVERIFY(typed);
        QVERIFY(toggled);
        QVERIFY(!w.busy());
        // Asked for by the user: told in the pane, no error box.
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        const QString pane = w.ErrorMsg->toPlainText();
        QVERIFY2(pane.startsWith("Open stopped: ") && pane.contains(page) && pane.contains("cancelled"),
                 qPrintable(pane));
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        QVERIFY(w.lastOpened().empty());
        QVERIFY(!w.CancelTransfer->isEnabled());
        // Once nothing is fetched, Escape is the widgets' again.
        QTest::keyClick(w.XMLMemo, Qt::Key_Escape);
        QCOMPARE(w.ErrorMsg->toPlainText(), pane);
        f.open(url("/page.html").toStdString());
        QVERIFY(viewText(w.HTMLMemo).contains("<p>served</p>"));
    }

    void missingHostAndRefusedConnections()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open("http:///page.html");
        QCOMPARE(f.state->errors.value(0), QString("Host field is empty"));
        QCOMPARE(w.mruList().front(), std::string("http:///page.html"));

        const QString closed = QString("http://127.0.0.1:%1/x").arg(freePort());
        f.open(closed.toStdString());
        QCOMPARE(f.state->errors.size(), 2);
        QVERIFY(!f.state->errors[1].isEmpty());
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
    }
};

QTEST_MAIN(TestHttp)
#include "test_http.moc"
