// The main window: opening files end to end, the views it fills, error
// marking, the recently-used list, saving, orientation and scrolling.
#include "FormTestSupport.h"

#include "dom/DomCore.h"
#include "gui/About.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <set>

namespace {

// The checker's line and column as an index into text (CR LF, CR, LF end a line).
int indexOfLineColumn(const QString& text, int line, int column)
{
    int i = 0;
    for (int l = 1; l < line && i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            ++l;
        } else if (text[i] == '\n') {
            ++l;
        }
    }
    return i + std::max(0, column - 1);
}

} // namespace

class TestMainForm : public QObject {
    // Puts non-blank text in front of the root of the open document, which no
    // conversion does, and shows its XML again.
    static void breakDocument(TMainForm& w)
    {
        TDocument* doc = w.Document.get();
        doc->insertBefore(doc->createTextNode(u"\r\n\r\njunk"), doc->documentElement());
        w.ShowXml();
    }

    Q_OBJECT
private slots:
    void startsWithTheDescribedWindow()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        QCOMPARE(w.windowTitle(), QString("Quenvale - Ortavix"));
        QCOMPARE(w.geometry().size(), QSize(715, 498));
        QCOMPARE(w.FileEdit->toolTip(), QString("Enter file or url to open and hit Enter"));
        QCOMPARE(w.FileEdit->width(), 451);
        QCOMPARE(w.OpenHtmlFile->text(), QString("&Open"));
        QVERIFY(w.OpenHtmlFile->shortcuts().contains(QKeySequence(Qt::Key_Return)));
        QCOMPARE(w.SaveAsXml->text(), QString("&Save Xml"));
        QCOMPARE(w.SaveHtml->text(), QString("Save &Html"));
        QCOMPARE(w.ExitApplication->text(), QString("E&xit"));
        QCOMPARE(w.About->text(), QString("About"));
        QCOMPARE(w.ToggleView->text(), QString("View Horiz"));
        QVERIFY(w.ToggleView->isCheckable() && w.ToggleView->isChecked());
        QCOMPARE(w.FileItem->title(), QString("&File"));
        QCOMPARE(w.FileItem->actions().size(), 4);
        QCOMPARE(w.FileItem->actions()[1], w.SaveHtml);
        QCOMPARE(w.ViewItem->actions().value(0), w.ToggleView);
        QCOMPARE(w.HelpItem->actions().value(0), w.About);
        QCOMPARE(w.OpenToolButton->menu(), w.MRUOpenPopup);
        QCOMPARE(w.ErrorMsg->height(), 53);
        QCOMPARE(w.StatusPanels[0]->width(), 128);
        QCOMPARE(w.StatusPanels[1]->width(), 150);
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        QVERIFY(w.htmlDocument() == nullptr);
        QVERIFY(w.lastOpened().empty());
        QVERIFY(!w.HTMLMemo->isUndoRedoEnabled());
        QVERIFY(!w.HTMLMemo->isReadOnly() && !w.XMLMemo->isReadOnly());
        w.About->trigger();
        QCOMPARE(f.state->aboutShown, 1);
        QVERIFY(w.AboutDialog != nullptr && !w.AboutDialog->isVisible());
    }

    void sourceViewGetsEveryTokenInItsStyle()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("p.html", "<p>x</p>"));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        TRichView* v = w.HTMLMemo;
        QVERIFY(v->itemCount() >= 4);
        QCOMPARE(v->item(0).text, std::u16string(u"<p"));
        QCOMPARE(v->item(1).text, std::u16string(u">"));
        QCOMPARE(v->item(2).text, std::u16string(u"x"));
        QCOMPARE(v->item(3).text, std::u16string(u"</p>"));
        QCOMPARE(v->itemStyle(0), 1);
        QCOMPARE(v->itemStyle(1), 1);
        QCOMPARE(v->itemStyle(2), 3);
        QCOMPARE(v->itemStyle(3), 1);
        for (int i = 1; i < 4; ++i)
            QCOMPARE(v->item(i).brk, TRichView::brContinue); // one line
        QCOMPARE(v->document()->begin().text(), QString("<p>x</p>"));
        // The whole text reached the view, in order, with nothing left out.
        QCOMPARE(itemText(v), std::u16string(u"<p>x</p>"));
    }

    void sourceViewStylesDoctypeCommentsAndLineBreaks()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string html = "<!DOCTYPE html>\r\n<html><body><p>a\r\nb</p><p>\r\nc</p>"
                                 "<!-- one\r\ntwo\r\nthree --><b title=\"t\">&amp;</b></body></html>\r\n";
        f.open(f.write("d.html", html));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        TRichView* v = w.HTMLMemo;
        QCOMPARE(v->itemStyle(0), 0);
        QVERIFY(v->item(0).text.find(u"<!DOCTYPE") == 0);
        // Every character is there, every line break kept: within a text,
        // at its start, inside a comment.
        QCOMPARE(v->plainText(), QString::fromStdString(html).toStdU16String());
        QCOMPARE(viewText(v), QString::fromStdString(html).replace("\r\n", "\n"));
        std::set<int> styles;
        for (int i = 0; i < v->itemCount(); ++i)
            styles.insert(v->itemStyle(i));
        QVERIFY(styles.count(8) && styles.count(2) && styles.count(5));
    }

    void xmlViewUsesOnlyTheWritersStyles()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("x.html", "<!DOCTYPE html><html><head><script>if (a < b) x();</script></head>"
                                 "<body class=\"c\">t&nbsp;u<!-- c --></body></html>"));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        TRichView* x = w.XMLMemo;
        QVERIFY(x->itemCount() > 5);
        std::set<int> styles;
        for (int i = 0; i < x->itemCount(); ++i)
            styles.insert(x->itemStyle(i));
        for (int s : styles)
            QVERIFY2(s == 1 || s == 2 || s == 3 || s == 4 || s == 5 || s == 8, qPrintable(QString::number(s)));
        // The view holds exactly the produced XML.
        QCOMPARE(QString::fromStdU16String(x->plainText()), QString::fromStdU16String(w.htmlDocument()->toXML()));
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
    }

    void openingAFileFillsEverything()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string name = f.write("ok.html", "<html><body><p>Hello</p></body></html>");
        f.open(name);
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QVERIFY(w.HTMLMemo->isFormatted() && w.XMLMemo->isFormatted());
        QVERIFY(w.HTMLMemo->itemCount() > 0 && w.XMLMemo->itemCount() > 0);
        QVERIFY(w.htmlDocument() != nullptr);
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
        QCOMPARE(w.lastOpened(), name);
        QCOMPARE(w.mruList().front(), name);
        QCOMPARE(w.FileEdit->text(), QString::fromStdString(name));
        QVERIFY(f.state->dialogs.isEmpty());
    }

    void anErrorIsMarkedAndListed()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        f.open(f.write("bad.html", "<html><body>\r\n<p>first</p>\r\n<p x=\"y\">text</p></body></html>"));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
        // Text before the root, on the third line, breaks the XML.
        breakDocument(w);
        const QString pane = w.ErrorMsg->toPlainText();
        QRegularExpression re("Line: (\\d+) Col: (\\d+) Error: ");
        auto m = re.match(pane);
        QVERIFY2(m.hasMatch(), qPrintable(pane));
        const QString xml = QString::fromStdU16String(w.htmlDocument()->toXML());
        int at = indexOfLineColumn(xml, m.captured(1).toInt(), m.captured(2).toInt());
        QString sel = w.XMLMemo->textCursor().selectedText();
        sel.replace(QChar::ParagraphSeparator, "");
        QString want = xml.mid(at, 10);
        want.remove('\r').remove('\n');
        QVERIFY(!sel.isEmpty());
        QCOMPARE(sel, want);
        QVERIFY(w.XMLMemo->hasFocus());
    }

    void enterOnTheSameNameOpensTheDialog()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const std::string a = f.write("a.html", "<p>a</p>");
        const std::string b = f.write("b.html", "<p>b</p>");
        w.FileEdit->setFocus();
        w.FileEdit->setText(QString::fromStdString(a));
        QTest::keyClick(w.FileEdit, Qt::Key_Return);
        QCOMPARE(w.lastOpened(), a);
        QVERIFY(f.state->dialogs.isEmpty());
        // Same text again: the dialog; cancelled, nothing happens.
        w.FileEdit->setFocus();
        QTest::keyClick(w.FileEdit, Qt::Key_Return);
        QCOMPARE(f.state->dialogs, QStringList{"open *.html"});
        QCOMPARE(w.lastOpened(), a);
        // Confirmed: the chosen file opens.
        f.state->openAnswers << QString::fromStdString(b);
        w.OpenHtmlFile->trigger();
        QCOMPARE(w.lastOpened(), b);
        QCOMPARE(w.FileEdit->text(), QString::fromStdString(b));
        // An empty edit box also asks.
        w.FileEdit->clear();
        w.OpenHtmlFile->trigger();
        QCOMPARE(f.state->dialogs.size(), 3);
        QVERIFY(f.state->errors.isEmpty());
    }

    void unsupportedSchemesChangeNothing()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string a = f.write("a.html", "<p>a</p>");
        f.open(a);
        for (const char* url : {"https://example.org/", "ftp://example.org/x.html", "file:///tmp/x.html"}) {
            f.open(url);
            QCOMPARE(f.state->errors.last(), QString("URI Protocol not supported"));
            QCOMPARE(w.lastOpened(), a);
            QCOMPARE(w.mruList().size(), size_t(1));
            QCOMPARE(w.FileEdit->text(), QString(url));
            QCOMPARE(w.HTMLMemo->itemCount(), 0);
            QCOMPARE(w.XMLMemo->itemCount(), 0);
        }
        QCOMPARE(f.state->errors.size(), 3);
        QVERIFY(QApplication::overrideCursor() == nullptr); // cursor restored
    }

    void unreadableFilesAreNotRemembered()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string missing = f.path("missing.html");
        f.open(missing);
        QCOMPARE(f.state->errors.size(), 1);
        QVERIFY2(f.state->errors[0].startsWith("Cannot open file \"" + QString::fromStdString(missing) + "\"."),
                 qPrintable(f.state->errors[0]));
        QVERIFY(w.mruList().empty());
        QVERIFY(w.lastOpened().empty());
        QVERIFY(!w.busy());
    }

    void emptyFileGivesEmptyViewsAndClearsThePane()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("bad.html", "<p>x</p>"));
        breakDocument(w);
        QVERIFY(!w.ErrorMsg->toPlainText().isEmpty());
        f.open(f.write("empty.html", ""));
        QVERIFY(f.state->errors.isEmpty());
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        // Even an empty page has a root.
        QCOMPARE(itemText(w.XMLMemo), std::u16string(u"<html><body/></html>"));
        // The old lines described another page; they go.
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
    }

    void theWindowLiesOnTheScreen()
    {
        // 1400 pixels at 150%: 933 logical pixels across.
        const QRect small(0, 0, 933, 600);
        QCOMPARE(fitOnScreen(QRect(284, 58, 715, 498), small), QRect(218, 58, 715, 498));
        QCOMPARE(fitOnScreen(QRect(284, 58, 715, 498), QRect(0, 0, 1920, 1080)), QRect(284, 58, 715, 498));
        QCOMPARE(fitOnScreen(QRect(284, 58, 715, 498), QRect(0, 0, 600, 400)), QRect(0, 0, 600, 400));
        QCOMPARE(fitOnScreen(QRect(-50, -20, 300, 200), QRect(10, 30, 800, 600)), QRect(10, 30, 300, 200));
        TFormFixture f;
        TMainForm& w = *f.form;
        QCOMPARE(w.geometry().size(), QSize(715, 498));
        QVERIFY(w.screen()->availableGeometry().contains(w.geometry()));
    }

    void expectedShortcuts()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.FileEdit->setText(QStringLiteral("page.html"));
        w.XMLMemo->setFocus();
        QTest::keyClick(w.XMLMemo, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(w.FileEdit->hasFocus());
        QCOMPARE(w.FileEdit->selectedText(), QStringLiteral("page.html"));
        // F1 shows the about box, from any view.
        w.HTMLMemo->setFocus();
        QTest::keyClick(w.HTMLMemo, Qt::Key_F1);
        QCOMPARE(f.state->aboutShown, 1);
        QCOMPARE(w.SaveAsXml->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
        QCOMPARE(w.SaveHtml->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
        QCOMPARE(w.ExitApplication->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        // Enter still opens.
        QVERIFY(w.OpenHtmlFile->shortcuts().contains(QKeySequence(Qt::Key_Return)));
    }

    void everyOpenStartsFromAClearState()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("p.html", "<p>x</p>"));
        breakDocument(w);
        for (int panel = 0; panel < 3; ++panel)
            w.setStatus(panel, QStringLiteral("old"));
        QVERIFY(!w.ErrorMsg->toPlainText().isEmpty());
        f.open(f.path("missing.html"));
        QCOMPARE(f.state->errors.size(), 1);
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
        for (int panel = 0; panel < 3; ++panel)
            QCOMPARE(w.statusText(panel), QString());
        QCOMPARE(w.HTMLMemo->itemCount(), 0);
        QCOMPARE(w.XMLMemo->itemCount(), 0);
    }

    void aCharacterXmlForbidsIsShownAsAReplacementCharacter()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("vt.html", "<p>a&#11;b</p>"));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QVERIFY(w.ErrorMsg->toPlainText().isEmpty());
        QVERIFY(itemText(w.XMLMemo).find(u"a\uFFFDb") != std::u16string::npos);
        QVERIFY(w.HTMLMemo->isFormatted() && w.HTMLMemo->itemCount() > 0);
    }

    void recentlyUsedMenuAndClicks()
    {
        TFormFixture pre;
        std::string lines;
        for (int i = 0; i < 15; ++i)
            lines += pre.path(("m" + std::to_string(i) + ".html").c_str()) + "\r\n";
        pre.write("list.mru", lines);
        TFormFixture f(TMruLocation{pre.path("list.mru"), {}});
        TMainForm& w = *f.form;
        QCOMPARE(w.mruList().size(), size_t(15));
        w.MRUOpenPopupPopup();
        QList<QAction*> items = w.MRUOpenPopup->actions();
        QCOMPARE(items.size(), 15);
        QCOMPARE(items[0]->text(), "&0 " + QString::fromStdString(w.mruList()[0]));
        QVERIFY(items[10]->text().startsWith("&A "));
        QVERIFY(items[14]->text().startsWith("&E "));

        // The entry equal to the edit box does nothing (not even an error).
        w.FileEdit->setText(items[3]->data().toString());
        items[3]->trigger();
        QVERIFY(f.state->errors.isEmpty());
        QCOMPARE(w.mruList().size(), size_t(15));
        // Another entry opens (here: fails, the file does not exist).
        pre.write("m5.html", "<p>five</p>");
        items[5]->trigger();
        QVERIFY(f.state->errors.isEmpty());
        QCOMPARE(w.lastOpened(), pre.path("m5.html"));
        QCOMPARE(w.mruList().size(), size_t(10)); // trimmed by the open
        QCOMPARE(w.mruList().front(), pre.path("m5.html"));
        // The popup is rebuilt each time it opens.
        w.MRUOpenPopupPopup();
        QCOMPARE(w.MRUOpenPopup->actions().size(), 10);
    }

    void namesWithAmpersandsSurviveTheMenu()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string a = f.write("R&D.html", "<p>x</p>");
        const std::string b = f.write("b.html", "<p>y</p>");
        f.open(a);
        f.open(b);
        w.MRUOpenPopupPopup();
        QAction* first = w.MRUOpenPopup->actions().value(1);
        QVERIFY(first->text().endsWith("R&&D.html"));
        first->trigger();
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        QCOMPARE(w.lastOpened(), a);
    }

    void listIsWrittenAtExitWithAFallback()
    {
        QTemporaryDir dir;
        const std::string file = dir.filePath("o.mru").toStdString();
        {
            TFormFixture f(TMruLocation{file, {}});
            f.open(f.write("a.html", "<p>a</p>"));
            f.open("ftp://x/"); // not remembered
            f.form.reset();
            QCOMPARE(readBytes(file), f.path("a.html") + "\r\n");
        }
        {
            // An empty list still writes (an empty) file.
            TFormFixture f(TMruLocation{file, {}});
            QCOMPARE(f.form->mruList().size(), size_t(1));
        }
        const std::string blocked = dir.filePath("no/such/dir/o.mru").toStdString();
        const std::string fallback = dir.filePath("config/ortavix/o.mru").toStdString();
        {
            TFormFixture f(TMruLocation{blocked, fallback});
            f.open(f.write("b.html", "<p>b</p>"));
            f.form.reset();
            QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
            QCOMPARE(readBytes(fallback), f.path("b.html") + "\r\n"); // nothing lost
        }
        {
            TFormFixture f(TMruLocation{blocked, {}});
            f.open(f.write("c.html", "<p>c</p>"));
            f.form.reset();
            QCOMPARE(f.state->errors.size(), 1); // said, not swallowed
        }
    }

    void savesXmlAndHtml()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        // Before any open: no XML is written, the HTML file is empty.
        f.state->saveAnswers << QString::fromStdString(f.path("none.xml")) << QString::fromStdString(f.path("none.html"));
        w.SaveAsXml->trigger();
        w.SaveHtml->trigger();
        QCOMPARE(f.state->dialogs, (QStringList{"save Save XML to file *.xml xml", "save Save HTML to file *.html html"}));
        QVERIFY(!QFile::exists(QString::fromStdString(f.path("none.xml"))));
        QCOMPARE(readBytes(f.path("none.html")), std::string());

        f.open(f.write("s.html", "<p>a\r\nb</p>"));
        f.state->saveAnswers << QString::fromStdString(f.path("out.xml")) << QString::fromStdString(f.path("out.html"));
        w.SaveAsXml->trigger();
        w.SaveHtml->trigger();
        const std::string xml = readBytes(f.path("out.xml"));
        QVERIFY(xml.size() > 2 && xml.compare(0, 2, "\xFF\xFE") == 0);
        // The text as converted, in UTF-16LE with a byte order mark.
        QCOMPARE(readBytes(f.path("out.html")), std::string("\xFF\xFE<\0p\0>\0a\0\r\0\n\0b\0<\0/\0p\0>\0\r\0\n\0", 28));
        // Cancelled dialogs write nothing; a failing save is reported.
        w.SaveHtml->trigger();
        f.state->saveAnswers << QString::fromStdString(f.path("no/dir/x.html"));
        w.SaveHtml->trigger();
        QCOMPARE(f.state->errors.size(), 1);
        QVERIFY(f.state->errors[0].contains("no/dir/x.html"));
    }

    void orientationToggleKeepsTheHalfSplit()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QWidget* panel = w.CodeViewPanel;
        QCOMPARE(w.HTMLMemo->height(), panel->height() / 2 - 3);
        w.ToggleView->trigger(); // unchecked: side by side
        QVERIFY(!w.ToggleView->isChecked());
        QCOMPARE(w.ViewSplitter->orientation(), Qt::Horizontal);
        QCOMPARE(w.HTMLMemo->width(), panel->width() / 2 - 3);
        QVERIFY(w.HTMLMemo->x() < w.XMLMemo->x());
        QCOMPARE(w.HTMLMemo->width() + 3 + w.XMLMemo->width(), panel->width());
        w.resize(901, 600);
        QTRY_COMPARE(w.HTMLMemo->width(), panel->width() / 2 - 3);
        w.ToggleView->trigger(); // checked again: one above the other
        QCOMPARE(w.ViewSplitter->orientation(), Qt::Vertical);
        QCOMPARE(w.HTMLMemo->height(), panel->height() / 2 - 3);
        QVERIFY(w.HTMLMemo->y() < w.XMLMemo->y());
    }

    void scrollingOneViewMovesTheOtherOnce()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        std::string html = "<html><body>";
        for (int i = 0; i < 300; ++i)
            html += "<p>line " + std::to_string(i) + " with a long text that needs a horizontal scroll bar to be read whole</p>\r\n";
        html += "</body></html>";
        f.open(f.write("long.html", html));
        QVERIFY(f.state->errors.isEmpty());
        QSignalSpy htmlV(w.HTMLMemo->verticalScrollBar(), &QScrollBar::valueChanged);
        QSignalSpy xmlV(w.XMLMemo->verticalScrollBar(), &QScrollBar::valueChanged);
        QSignalSpy htmlH(w.HTMLMemo->horizontalScrollBar(), &QScrollBar::valueChanged);
        QSignalSpy xmlH(w.XMLMemo->horizontalScrollBar(), &QScrollBar::valueChanged);
        const int target = std::min(w.HTMLMemo->verticalScrollBar()->maximum(), w.XMLMemo->verticalScrollBar()->maximum());
        QVERIFY(target > 0);
        w.HTMLMemo->verticalScrollBar()->setValue(target);
        QCOMPARE(htmlV.count(), 1);
        QCOMPARE(xmlV.count(), 1);
        QCOMPARE(w.XMLMemo->vPosition(), target);
        const int h = std::min(w.HTMLMemo->horizontalScrollBar()->maximum(), w.XMLMemo->horizontalScrollBar()->maximum());
        QVERIFY(h > 0);
        w.XMLMemo->horizontalScrollBar()->setValue(h);
        QCOMPARE(xmlH.count(), 1);
        QCOMPARE(htmlH.count(), 1);
        QCOMPARE(w.HTMLMemo->hPosition(), h);
        QCOMPARE(htmlV.count(), 1);
        // The handlers are attached again afterwards.
        w.XMLMemo->verticalScrollBar()->setValue(0);
        QCOMPARE(w.HTMLMemo->vPosition(), 0);
        QCOMPARE(htmlV.count(), 2);
        QCOMPARE(xmlV.count(), 2);
    }

    void caretPositionsShowInTheStatusBar()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        f.open(f.write("c.html", "<p>hello</p>"));
        w.HTMLMemo->setSelection(2, 3, 2, 3);
        QCOMPARE(w.statusText(1), QString("HTML Segm: 2 Pos: 3"));
        w.XMLMemo->setSelection(1, 0, 1, 0);
        QCOMPARE(w.statusText(2), QString("Xml Segm: 1 Pos: 0"));
        QCOMPARE(w.statusText(0), QString());
    }
};

QTEST_MAIN(TestMainForm)
#include "test_mainform.moc"
