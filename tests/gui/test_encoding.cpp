// The desktop program's encoding choice: the Detect Encoding action, a
// forced name, the HTML view showing decoded characters and the status bar
// naming the encoding.
#include "FormTestSupport.h"

#include "dom/DomCore.h"

#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// Answers every request with one response, then closes the connection.
class TOneAnswerServer : public QObject {
public:
    QTcpServer server;
    QByteArray response;

    TOneAnswerServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                connect(s, &QTcpSocket::readyRead, s, [this, s]() {
                    if (!s->readAll().contains("\r\n\r\n"))
                        return;
                    s->write(response);
                    s->flush();
                    s->disconnectFromHost();
                });
            }
        });
    }
    QString url() const { return QString("http://127.0.0.1:%1/p.html").arg(server.serverPort()); }
};

const std::string utf8Page =
    "<html><head><meta charset=\"utf-8\"><title>I\xE2\x80\x99m \xED\x95\x9C</title></head></html>";

} // namespace

class TestEncoding : public QObject {
    Q_OBJECT
private slots:
    void detectEncodingIsOffAtStartAndKeepsTheDefaultRoad()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        QVERIFY(w.DetectEncoding->isCheckable());
        QVERIFY(!w.DetectEncoding->isChecked());
        QCOMPARE(w.DetectEncoding->text(), QString("Detect Encoding"));
        QVERIFY(w.ViewItem->actions().contains(w.DetectEncoding));
        f.open(f.write("u.html", utf8Page));
        // Each byte through the 8-bit code page, as always.
        QVERIFY(itemText(w.HTMLMemo).find(u"I\u00E2\u20AC\u2122m") != std::u16string::npos);
        QCOMPARE(w.statusText(0), QString());
    }

    void detectedPageShowsDecodedTextAndNamesItsEncoding()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.DetectEncoding->trigger();
        QVERIFY(w.DetectEncoding->isChecked());
        QCOMPARE(w.encodingMode(), std::string("auto"));
        f.open(f.write("u.html", utf8Page));
        QVERIFY(itemText(w.HTMLMemo).find(u"<title>I\u2019m \uD55C</title>") != std::u16string::npos);
        QVERIFY(itemText(w.XMLMemo).find(u"<title>I\u2019m \uD55C</title>") != std::u16string::npos);
        QCOMPARE(w.statusText(0), QString("utf-8 from meta"));

        f.open(f.write("k.html", "<meta http-equiv=content-type content='text/html; charset=EUC-KR'>"
                                 "<p>\xC7\xD1\xB1\xDB</p>"));
        QVERIFY(itemText(w.XMLMemo).find(u"<p>\uD55C\uAE00</p>") != std::u16string::npos);
        QCOMPARE(w.statusText(0), QString("EUC-KR from meta"));

        // Off again: the default road.
        w.DetectEncoding->trigger();
        QCOMPARE(w.encodingMode(), std::string());
        f.open(f.write("u.html", utf8Page));
        QVERIFY(itemText(w.XMLMemo).find(u"\uD55C") == std::u16string::npos);
    }

    void forcedNameOverridesTheMeta()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.setEncodingMode("euc-kr");
        QVERIFY(w.DetectEncoding->isChecked());
        f.open(f.write("k.html", "<meta charset=utf-8><p>\xC7\xD1</p>"));
        QVERIFY(itemText(w.XMLMemo).find(u"<p>\uD55C</p>") != std::u16string::npos);
        QCOMPARE(w.statusText(0), QString("euc-kr forced"));
    }

    void httpContentTypeComesAheadOfTheMeta()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        TOneAnswerServer server;
        const QByteArray body = "<meta charset=utf-8><p>\xC7\xD1</p>";
        server.response = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=EUC-KR\r\n"
                          "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        w.setEncodingMode("auto");
        f.open(server.url().toStdString());
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join(' ')));
        QVERIFY(itemText(w.XMLMemo).find(u"<p>\uD55C</p>") != std::u16string::npos);
        QCOMPARE(w.statusText(0), QString("EUC-KR from http header"));
    }
};

QTEST_MAIN(TestEncoding)
#include "test_encoding.moc"
