// The about box: its text, version, links and closing.
#include "gui/About.h"
#include "gui/RichView.h"

#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

class TestAbout : public QObject {
    Q_OBJECT
private slots:
    void versionTextHasFourNumbers()
    {
        QCOMPARE(VersionText("1.2.0.4"), std::string("1.2.0.4"));
        QCOMPARE(VersionText(ORTAVIX_VERSION), std::string("1.2.0.4"));
        // Without version information: all zero.
        QCOMPARE(VersionText(nullptr), std::string("0.0.0.0"));
        QCOMPARE(VersionText(""), std::string("0.0.0.0"));
        QCOMPARE(VersionText("garbage"), std::string("0.0.0.0"));
        QCOMPARE(VersionText("1.2.x"), std::string("0.0.0.0"));
        // Missing parts are zero; each part is a 16-bit half.
        QCOMPARE(VersionText("3.1"), std::string("3.1.0.0"));
        QCOMPARE(VersionText("65537.2.0.4"), std::string("1.2.0.4"));
    }

    void showsTheTextOnce()
    {
        TAboutDialog d;
        QCOMPARE(d.windowTitle(), QString("About Quenvale - Ortavix"));
        QCOMPARE(d.size(), QSize(426, 283));
        QCOMPARE(d.AboutMemo->geometry(), QRect(8, 8, 409, 237));
        QCOMPARE(d.btnOK->text(), QString("OK"));
        QCOMPARE(d.btnOK->geometry(), QRect(168, 250, 75, 25));
        QVERIFY(d.AboutMemo->isReadOnly());

        QStringList lines;
        for (QTextBlock b = d.AboutMemo->document()->begin(); b.isValid(); b = b.next())
            lines << b.text();
        QCOMPARE(lines.size(), 12);
        QCOMPARE(lines[1], QString());
        QCOMPARE(lines[2], QString("Version: 1.2.0.4"));
        QCOMPARE(lines[4], QString("Website:"));
        QCOMPARE(lines[5], QString(TAboutDialog::WebsiteUrl));
        QCOMPARE(lines[7], QString("Report errors at:"));
        QCOMPARE(lines[8], QString(TAboutDialog::ReportUrl));
        QCOMPARE(lines[9], QString());
        // Only normal text and the first link style are used; two links.
        for (int i = 0; i < d.AboutMemo->itemCount(); ++i) {
            int s = d.AboutMemo->itemStyle(i);
            QVERIFY(s == 0 || s == 4);
            QCOMPARE(d.AboutMemo->item(i).paraStyle, 0);
        }
        QCOMPARE(d.AboutMemo->linkCount(), 2);
        QVERIFY(QString(TAboutDialog::WebsiteUrl) != QString(TAboutDialog::ReportUrl));
    }

    void clickingALinkOpensItsPage()
    {
        TAboutDialog d;
        QList<QUrl> opened;
        d.OpenUrl = [&](const QUrl& u) { opened << u; };
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto clickLine = [&](int blockNo) {
            QTextCursor c(d.AboutMemo->document()->findBlockByNumber(blockNo));
            c.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 3);
            QPoint p = d.AboutMemo->cursorRect(c).center() + QPoint(2, 0);
            QTest::mouseClick(d.AboutMemo->viewport(), Qt::LeftButton, {}, p);
        };
        clickLine(5);
        clickLine(8);
        clickLine(2); // plain text is no link
        QCOMPARE(opened.size(), 2);
        QCOMPARE(opened[0], QUrl(TAboutDialog::WebsiteUrl));
        QCOMPARE(opened[1], QUrl(TAboutDialog::ReportUrl));
        d.AboutMemo->jump(7); // any other number does nothing
        QCOMPARE(opened.size(), 2);
    }

    void okClosesAndReopeningShowsTheSameText()
    {
        TAboutDialog d;
        const QString before = d.AboutMemo->toPlainText();
        QTimer::singleShot(0, &d, [&]() { d.btnOK->click(); });
        QCOMPARE(d.exec(), int(QDialog::Accepted));
        QTimer::singleShot(0, &d, [&]() { d.reject(); });
        d.exec();
        QCOMPARE(d.AboutMemo->toPlainText(), before);
    }
};

QTEST_MAIN(TestAbout)
#include "test_about.moc"
