// The two views of the main window as the user meets them: the text shown
// exactly, the views scrolling together whatever moves them, finding text,
// and where the caret is.
#include "FormTestSupport.h"

#include "dom/DomCore.h"
#include "gui/FindBar.h"
#include "text/Unicode.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace {

// The text the window converts from ASCII bytes: lines ended by CR LF, CR or
// LF, each joined back with CR LF.
std::u16string converted(const std::string& bytes)
{
    std::u16string out;
    std::u16string line;
    bool open = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            out += line + u"\r\n";
            line.clear();
            open = false;
        } else {
            line += static_cast<char16_t>(static_cast<unsigned char>(c));
            open = true;
        }
    }
    if (open)
        out += line + u"\r\n";
    return out;
}

std::string utf16File(const std::u16string& text)
{
    std::string b("\xFF\xFE", 2);
    for (char16_t ch : text) {
        b += static_cast<char>(ch & 0xFF);
        b += static_cast<char>(ch >> 8);
    }
    return b;
}

// The lines of a text as XML counts them (CR LF, CR, LF), joined by "\n".
QString xmlLines(const std::u16string& text)
{
    QString s = QString::fromStdU16String(text);
    s.replace("\r\n", "\n").replace('\r', '\n');
    return s;
}

// A page of many long lines, so that both views scroll both ways.
std::string longPage(int lines)
{
    std::string html = "<html><body>\r\n";
    for (int i = 0; i < lines; ++i)
        html += "<p>line " + std::to_string(i) + " with a long text that needs a horizontal scroll bar to be read, and some more words to be sure of it</p>\r\n";
    return html + "</body></html>\r\n";
}

// The selection start of a view as the checker's line and column.
QPoint selectionLineColumn(TRichView* v)
{
    QTextCursor c = v->textCursor();
    c.setPosition(c.selectionStart());
    return QPoint(c.positionInBlock() + 1, c.blockNumber() + 1);
}

} // namespace

class TestViews : public QObject {
    // Adds text after the root, which no conversion does, and shows the XML
    // again: the checker stops there.
    static void breakAtTheEnd(TMainForm& w)
    {
        TDocument* doc = w.Document.get();
        doc->appendChild(doc->createTextNode(u"\r\n  junk"));
        w.ShowXml();
    }

    static void showActive(TMainForm& w)
    {
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
    }

    Q_OBJECT
private slots:
    void viewsShowTheTextExactly()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        const std::string pages[] = {
            // LF only, no final break, a blank first line, multi-line
            // text, comment and doctype.
            "\n<!DOCTYPE html\nPUBLIC \"x\">\n<html><body>\n<p>Text line one\ntext line two</p>\n"
            "<!-- a\n\nb -->\n<table>\n<tr><td>1</td>\n</tr></table></body></html>",
            // Repaired by the tokenizer, or cut off in the middle of a token.
            "<a b\"c\" d='e'>x</a>\r\n<p>y",
            "<p>x<!-- never closed\r\nstill",
            "<p x=",
            "text &amp\r\r<",
            "<script>\r\nif (a < b)\r\n  c();\r\n</script>\r\n<![CDATA[\r\nq\r\n]]>",
        };
        int n = 0;
        for (const std::string& page : pages) {
            const std::string name = f.write(("v" + std::to_string(n++) + ".html").c_str(), page);
            f.open(name);
            QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
            const std::u16string text = converted(page);
            QCOMPARE(QString::fromStdU16String(w.HTMLMemo->plainText()), QString::fromStdU16String(text));
            QCOMPARE(viewText(w.HTMLMemo), xmlLines(text));
            // The XML view's lines are the XML's lines.
            const std::u16string xml = w.htmlDocument()->toXML();
            QCOMPARE(QString::fromStdU16String(w.XMLMemo->plainText()), QString::fromStdU16String(xml));
            QCOMPARE(viewText(w.XMLMemo), xmlLines(xml));
            // Save Html writes that text.
            f.state->saveAnswers << QString::fromStdString(name + ".saved");
            w.SaveHtml->trigger();
            QCOMPARE(readBytes(name + ".saved"), utf16File(text));
        }
        // A page read as UTF-16 comes back as the text loaded from it.
        const std::string wide = ORTAVIX_SOURCE_DIR "/samples/utf16.html";
        TWideStringList list;
        list.loadFromFile(wide);
        f.open(wide);
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        f.state->saveAnswers << QString::fromStdString(f.path("wide.saved"));
        w.SaveHtml->trigger();
        QCOMPARE(readBytes(f.path("wide.saved")), utf16File(list.text()));
        // The first page keeps its line structure in the XML too.
        f.open(f.path("v0.html"));
        QVERIFY(viewText(w.XMLMemo).contains("<p>Text line one\ntext line two</p>"));
        QVERIFY(viewText(w.XMLMemo).contains("<!-- a\n\nb -->"));
    }

    void xmlLinesAreTheCheckersLines()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        // Breaks of every kind XML counts, also from character references,
        // and line separators that it does not count.
        f.open(f.write("e.html", "<html><body>\n<p>a&#10;&#13;b\r\rc&#x2028;d</p>\r\n" + longPage(40) + "<p>x\ry</p>"));
        QVERIFY2(f.state->errors.isEmpty(), qPrintable(f.state->errors.join("|")));
        breakAtTheEnd(w);
        const QString pane = w.ErrorMsg->toPlainText();
        auto m = QRegularExpression("Line: (\\d+) Col: (\\d+) Error: ").match(pane);
        QVERIFY2(m.hasMatch(), qPrintable(pane));
        QVERIFY(m.captured(1).toInt() > 40);
        QCOMPARE(selectionLineColumn(w.XMLMemo), QPoint(m.captured(2).toInt(), m.captured(1).toInt()));
        QVERIFY(w.XMLMemo->textCursor().selectedText().startsWith("junk"));
    }

    void theViewsScrollTogetherWhateverMovesThem()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        showActive(w);
        f.open(f.write("long.html", longPage(300)));
        QVERIFY(f.state->errors.isEmpty());
        TRichView* html = w.HTMLMemo;
        TRichView* xml = w.XMLMemo;
        QScrollBar* hv = html->verticalScrollBar();
        QScrollBar* xv = xml->verticalScrollBar();
        QVERIFY(hv->maximum() > 100 && xv->maximum() > 100);
        auto together = [&]() { return html->vPosition() == xv->value() || xv->value() == xv->maximum(); };

        // (The editor moves its own bar with signals blocked; the follower's
        // bar is moved by the window and counts the moves.)
        QSignalSpy xmlMoves(xv, &QScrollBar::valueChanged);
        html->setFocus();
        QTest::keyClick(html, Qt::Key_PageDown);
        const int paged = html->vPosition();
        QVERIFY(paged > 0);
        QCOMPARE(xml->vPosition(), paged);
        QCOMPARE(xmlMoves.count(), 1); // once
        QCOMPARE(html->vPosition(), paged); // and not back again
        for (int i = 0; i < 60 && html->vPosition() == paged; ++i)
            QTest::keyClick(html, Qt::Key_Down);
        QVERIFY(html->vPosition() > paged);
        QCOMPARE(xmlMoves.count(), 2);
        QCOMPARE(xml->vPosition(), html->vPosition());
        QTest::keyClick(html, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(html->vPosition(), hv->maximum());
        QVERIFY(together());
        QTest::keyClick(html, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(xml->vPosition(), 0);

        // The other way round, and sideways.
        xml->setFocus();
        QTest::keyClick(xml, Qt::Key_PageDown);
        QTest::keyClick(xml, Qt::Key_PageDown);
        QVERIFY(xml->vPosition() > 0);
        QCOMPARE(html->vPosition(), xml->vPosition());
        QTest::keyClick(xml, Qt::Key_PageUp);
        QCOMPARE(html->vPosition(), xml->vPosition());
        QTest::keyClick(xml, Qt::Key_End);
        QVERIFY(xml->hPosition() > 0);
        QCOMPARE(html->hPosition(), xml->hPosition());
        QTest::keyClick(xml, Qt::Key_Home);
        QCOMPARE(html->hPosition(), 0);

        // A click in the trough, below the slider.
        const int before = xv->value();
        QCoreApplication::processEvents(); // the bars are laid out
        QVERIFY(hv->isVisible());
        QTest::mouseClick(hv, Qt::LeftButton, {}, QPoint(hv->width() / 2, hv->height() - 30));
        QTRY_VERIFY(html->vPosition() > before);
        QCOMPARE(xml->vPosition(), html->vPosition());

        // Set by the program, in either view.
        html->setVPosition(42);
        QCOMPARE(xml->vPosition(), 42);
        xml->setHPosition(25);
        QCOMPARE(html->hPosition(), 25);
    }

    void theErrorJumpTakesTheSourceViewAlong()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        showActive(w);
        f.open(f.write("long.html", longPage(300)));
        QCOMPARE(w.HTMLMemo->vPosition(), 0);
        breakAtTheEnd(w);
        QVERIFY(!w.ErrorMsg->toPlainText().isEmpty());
        QVERIFY(w.XMLMemo->vPosition() > 100);
        QCOMPARE(w.HTMLMemo->vPosition(), w.XMLMemo->vPosition());
        QVERIFY(w.XMLMemo->hasFocus());
        // Still in sight once the scroll bars have settled.
        QCoreApplication::processEvents();
        QVERIFY(w.XMLMemo->viewport()->rect().contains(w.XMLMemo->cursorRect()));
        QCOMPARE(w.HTMLMemo->vPosition(), w.XMLMemo->vPosition());
    }

    void findsInTheFocusedView()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        showActive(w);
        const std::string page = "<p>Para one</p>\r\n<p>para two</p>\r\n<p>PARA three</p>\r\n";
        const std::string name = f.write("find.html", page);
        f.open(name);
        TFindBar* bar = w.FindBar;
        QVERIFY(!bar->isVisible());

        w.XMLMemo->setFocus();
        QTest::keyClick(w.XMLMemo, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->target(), static_cast<QPlainTextEdit*>(w.XMLMemo));
        QVERIFY(bar->FindEdit->hasFocus());
        // Over the view it searches.
        const QRect over(w.XMLMemo->mapTo(w.CodeViewPanel, QPoint(0, 0)), w.XMLMemo->size());
        QVERIFY(over.contains(bar->geometry()));

        QTest::keyClicks(bar->FindEdit, "para");
        auto selected = [&]() { return w.XMLMemo->textCursor().selectedText(); };
        auto line = [&]() { return w.XMLMemo->textCursor().blockNumber(); };
        QCOMPARE(selected(), QString("Para"));
        QCOMPARE(line(), 0);
        QTest::keyClick(bar->FindEdit, Qt::Key_Return); // next
        QCOMPARE(selected(), QString("para"));
        QCOMPARE(line(), 1);
        QTest::keyClick(bar->FindEdit, Qt::Key_F3);
        QCOMPARE(selected(), QString("PARA"));
        QTest::keyClick(bar->FindEdit, Qt::Key_F3); // wraps to the top
        QCOMPARE(line(), 0);
        QCOMPARE(bar->Message->text(), QString("Wrapped"));
        QTest::keyClick(bar->FindEdit, Qt::Key_F3, Qt::ShiftModifier); // back round
        QCOMPARE(line(), 2);
        QTest::keyClick(bar->FindEdit, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(line(), 1);
        // Enter in the search box searches; it does not open a page.
        QVERIFY(f.state->dialogs.isEmpty());
        QCOMPARE(w.lastOpened(), name);

        // Letter case.
        bar->MatchCase->setChecked(true);
        QCOMPARE(selected(), QString("para"));
        QTest::keyClick(bar->FindEdit, Qt::Key_F3);
        QCOMPARE(selected(), QString("para"));
        QCOMPARE(line(), 1);
        bar->FindEdit->clear();
        QTest::keyClicks(bar->FindEdit, "pARA");
        QCOMPARE(bar->Message->text(), QString("Not found"));
        QVERIFY(!bar->findNext(false));
        bar->MatchCase->setChecked(false);
        QCOMPARE(bar->Message->text(), QString());

        // Escape closes the bar and gives the view back its focus.
        QTest::keyClick(bar->FindEdit, Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QVERIFY(w.XMLMemo->hasFocus());

        // F3 with the bar closed searches the focused view for the same text.
        w.HTMLMemo->setFocus();
        QTest::keyClick(w.HTMLMemo, Qt::Key_F3);
        QVERIFY(!bar->isVisible());
        QCOMPARE(bar->target(), static_cast<QPlainTextEdit*>(w.HTMLMemo));
        QCOMPARE(w.HTMLMemo->textCursor().selectedText(), QString("Para"));
        // Ctrl+F from the other view opens the bar there, with the selection.
        QTest::keyClick(w.HTMLMemo, Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(bar->target(), static_cast<QPlainTextEdit*>(w.HTMLMemo));
        QCOMPARE(bar->FindEdit->text(), QString("Para"));
        const QRect overHtml(w.HTMLMemo->mapTo(w.CodeViewPanel, QPoint(0, 0)), w.HTMLMemo->size());
        QVERIFY(overHtml.contains(bar->geometry()));
        // F3 in the other view, the bar still open, moves the bar there.
        w.XMLMemo->setFocus();
        QTest::keyClick(w.XMLMemo, Qt::Key_F3);
        QCOMPARE(bar->target(), static_cast<QPlainTextEdit*>(w.XMLMemo));
        QVERIFY(bar->isVisible() && over.contains(bar->geometry()));
        QCOMPARE(w.XMLMemo->textCursor().selectedText().toLower(), QString("para"));
        QCOMPARE(w.FindBar->Find->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
        QCOMPARE(w.FindBar->FindPrevious->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F3));
    }

    void caretLineAndColumnInTheStatusBar()
    {
        TFormFixture f;
        TMainForm& w = *f.form;
        showActive(w);
        f.open(f.write("c.html", "<p>one</p>\r\n<p>two\r\nthree</p>\r\n"));
        w.HTMLMemo->setFocus();
        QTest::keyClick(w.HTMLMemo, Qt::Key_Down);
        QTest::keyClick(w.HTMLMemo, Qt::Key_Right);
        QTest::keyClick(w.HTMLMemo, Qt::Key_Right);
        QCOMPARE(w.statusText(3), QString("Ln 2 Col 3"));
        w.XMLMemo->setFocus();
        QTest::keyClick(w.XMLMemo, Qt::Key_Down);
        QTest::keyClick(w.XMLMemo, Qt::Key_Down);
        QTest::keyClick(w.XMLMemo, Qt::Key_End);
        QCOMPARE(w.statusText(4), QString("Ln 3 Col %1").arg(w.XMLMemo->textCursor().block().text().size() + 1));
        QCOMPARE(w.statusText(3), QString("Ln 2 Col 3")); // each view its own
        // Each beside its view's item panel, which stays as it was.
        QVERIFY(w.StatusPanels[3]->x() > w.StatusPanels[1]->x() && w.StatusPanels[3]->x() < w.StatusPanels[2]->x());
        QVERIFY(w.StatusPanels[4]->x() > w.StatusPanels[2]->x());
        QVERIFY(w.statusText(1).startsWith("HTML Segm: "));
        QVERIFY(w.statusText(2).startsWith("Xml Segm: "));
        // An open that fails leaves no caret of the last page.
        f.open(f.path("missing.html"));
        QCOMPARE(w.statusText(3), QString());
        QCOMPARE(w.statusText(4), QString());
    }
};

QTEST_MAIN(TestViews)
#include "test_views.moc"
