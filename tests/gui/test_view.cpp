// The rich-text view component and the code views' style sheet.
#include "gui/RVStyle.h"
#include "gui/RichView.h"

#include "text/Streams.h"

#include <QAction>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {

std::shared_ptr<const TRVStyle> htmlStyle()
{
    return std::make_shared<const TRVStyle>(makeHtmlStyle());
}

std::string fileBytes(const QString& path)
{
    TMemoryStream m;
    m.loadFromFile(path.toStdString());
    return m.bytes();
}

} // namespace

class TestView : public QObject {
    Q_OBJECT
private slots:
    void splitsAtEveryKindOfBreak()
    {
        using S = TRichView::TSegment;
        auto segs = TRichView::splitLines(u"a\r\nb\n\rc\r\rd\ne\x0B" u"f\x2028g");
        std::vector<std::u16string> parts;
        std::u16string text = u"a\r\nb\n\rc\r\rd\ne\x0B" u"f\x2028g";
        for (const S& s : segs)
            parts.push_back(text.substr(s.start, s.length));
        std::vector<std::u16string> want = {u"a", u"b", u"c", u"", u"d", u"e", u"f", u"g"};
        QCOMPARE(parts.size(), want.size());
        QVERIFY(parts == want);
        QCOMPARE(segs[0].brk, TRichView::brContinue);
        for (size_t i = 1; i < segs.size(); ++i)
            QCOMPARE(segs[i].brk, TRichView::brLine);

        auto p = TRichView::splitLines(u"x\x2029y\x0Cz");
        QCOMPARE(p.size(), size_t(3));
        QCOMPARE(p[1].brk, TRichView::brParagraph);
        QVERIFY(!p[1].pageBreak);
        QCOMPARE(p[2].brk, TRichView::brLine);
        QVERIFY(p[2].pageBreak);
    }

    void appendFollowsLineRules()
    {
        TRichView v;
        v.setRVStyle(htmlStyle());
        v.addText(u"", 3);
        QCOMPARE(v.itemCount(), 0); // an empty text adds nothing
        v.addText(u"ab", 3);
        v.addText(u"\r\ncd", 3);    // nothing before the break
        QCOMPARE(v.itemCount(), 2);
        QCOMPARE(v.item(1).text, std::u16string(u"cd"));
        QCOMPARE(v.item(1).brk, TRichView::brLine);
        v.addText(u"ef\n", 1);      // continues, then an empty last line
        QCOMPARE(v.itemCount(), 4);
        QCOMPARE(v.item(2).brk, TRichView::brContinue);
        QCOMPARE(v.item(3).brk, TRichView::brLine);
        QVERIFY(v.item(3).text.empty());
        QCOMPARE(v.itemStyle(2), 1);
        v.addText(u"\x0C" u"g", 8);
        QCOMPARE(v.itemCount(), 5);
        QVERIFY(v.item(4).pageBreak);

        v.format();
        QCOMPARE(v.document()->blockCount(), 4);
        QCOMPARE(v.document()->begin().text(), QString("ab"));
        QCOMPARE(v.document()->begin().next().text(), QString("cdef"));
        QCOMPARE(v.document()->lastBlock().text(), QString("g"));

        v.continuePrevious(4); // joins the empty line before it
        QVERIFY(!v.item(4).pageBreak);
        v.continuePrevious(0); // the first item still starts the first line
        v.format();
        QCOMPARE(v.document()->blockCount(), 3);
        QCOMPARE(v.document()->lastBlock().text(), QString("g"));
        QCOMPARE(v.plainText(), std::u16string(u"ab\r\ncdef\ng")); // the dropped break is gone

        // A text that begins with a break keeps it, also in an empty view.
        TRichView w;
        w.addText(u"\r\nx", 3);
        QCOMPARE(w.itemCount(), 2);
        QVERIFY(w.item(0).text.empty());
        w.format();
        QCOMPARE(w.document()->blockCount(), 2);
        QCOMPARE(w.plainText(), std::u16string(u"\r\nx"));
    }

    void xmlLinesAreTheParsersLines()
    {
        // XML counts CR LF, CR and LF; LF CR is two breaks, U+2028 and
        // U+2029 are characters.
        const std::u16string text = u"a\n\rb\r\nc\x2028" u"d\x2029" u"e\rf";
        auto segs = TRichView::splitLines(text, TRichView::lbXml);
        QCOMPARE(segs.size(), size_t(5));
        QCOMPARE(text.substr(segs[3].start, segs[3].length), std::u16string(u"c\x2028" u"d\x2029" u"e"));
        for (size_t i = 1; i < segs.size(); ++i)
            QVERIFY(segs[i].brk == TRichView::brLine && !segs[i].pageBreak);

        TRichView v;
        v.setLineBreaks(TRichView::lbXml);
        v.setRVStyle(htmlStyle());
        v.addText(text, 3);
        v.addText(u"\xFDD0", 1); // would end a block of the document
        v.format();
        QCOMPARE(v.document()->blockCount(), 5);
        // Shown one for one, so offsets into items still hold.
        QCOMPARE(v.document()->findBlockByNumber(3).text().size(), 5);
        QCOMPARE(v.document()->lastBlock().text().size(), 2);
        QCOMPARE(v.plainText(), text + u"\xFDD0");
    }

    void caretLineAndColumnCountCharacters()
    {
        TRichView v;
        v.setRVStyle(htmlStyle());
        v.addText(u"one\r\n\U0001D11Ex\ty\r\n", 3);
        v.format();
        int line = 0, col = 0;
        v.caretLineColumn(line, col);
        QCOMPARE(line, 1);
        QCOMPARE(col, 1);
        QTextCursor c = v.textCursor();
        c.setPosition(v.positionOf(1, 4)); // after the pair, "x" and the tab
        v.setTextCursor(c);
        v.caretLineColumn(line, col);
        QCOMPARE(line, 2);
        QCOMPARE(col, 4);
        c.movePosition(QTextCursor::End);
        v.setTextCursor(c);
        v.caretLineColumn(line, col);
        QCOMPARE(line, 3);
        QCOMPARE(col, 1);
    }

    void stylesMatchTheSheet()
    {
        TRVStyle s = makeHtmlStyle();
        QCOMPARE(s.TextStyles.size(), size_t(13));
        QCOMPARE(s.TextStyles[0].StyleName, QString("NONE"));
        QCOMPARE(s.TextStyles[12].StyleName, QString("NOTATION_NODE"));
        QCOMPARE(s.TextStyles[2].Color, QColor(0x00, 0x00, 0x80));
        QVERIFY(s.TextStyles[2].Bold);
        QVERIFY(s.TextStyles[8].Italic);
        QCOMPARE(s.TextStyles[8].Color, QColor(0x80, 0x80, 0x00));
        QVERIFY(s.isJump(4) && s.isJump(5));
        QVERIFY(!s.isJump(1) && !s.isJump(3) && !s.isJump(99));
        QVERIFY(!s.TextStyles[0].Color.isValid()); // window text colour
        QCOMPARE(s.ParaStyles.size(), size_t(2));
        QCOMPARE(s.ParaStyles[1].StyleName, QString("Centered"));
        for (const TFontInfo& f : s.TextStyles)
            QCOMPARE(f.Size, 10);
        QFont f = s.charFormat(1).font();
        QVERIFY(QFontInfo(f).fixedPitch());
        QCOMPARE(f.pointSize(), 10);
        // A number outside the table falls back on style 0 instead of failing.
        QCOMPARE(s.charFormat(42).foreground(), s.charFormat(0).foreground());

        TRVStyle a = makeAboutStyle();
        QCOMPARE(a.TextStyles.size(), size_t(6));
        QCOMPARE(a.TextStyles[4].StyleName, QString("Jump 1"));
        QVERIFY(a.TextStyles[4].Underline && a.isJump(4) && a.isJump(5) && !a.isJump(0));
    }

    void itemsAreShownInTheirStyles()
    {
        TRichView v;
        v.setRVStyle(htmlStyle());
        v.addText(u"<p", 1);
        v.addText(u" a=", 2);
        v.addText(u"text", 3);
        v.addText(u"<!-- c -->", 8);
        v.addText(u"x", 0);
        v.format();
        auto formatAt = [&](int pos) {
            QTextCursor c(v.document());
            c.setPosition(pos + 1); // the format of the character before
            return c.charFormat();
        };
        QCOMPARE(formatAt(0).foreground().color(), QColor(0x00, 0x00, 0xFF));
        QCOMPARE(formatAt(3).foreground().color(), QColor(0x00, 0x00, 0x80));
        QCOMPARE(formatAt(3).fontWeight(), int(QFont::Bold));
        QCOMPARE(formatAt(5).fontWeight(), int(QFont::Bold));
        QCOMPARE(formatAt(9).foreground().color(), QColor(0x80, 0x80, 0x00));
        QVERIFY(formatAt(9).fontItalic());
        QVERIFY(!formatAt(0).fontItalic());
        QVERIFY(!formatAt(0).isAnchor());
        QVERIFY(QFontInfo(formatAt(0).font()).fixedPitch());
        // Style 0 keeps the view's own text colour.
        QCOMPARE(formatAt(19).foreground().style(), Qt::NoBrush);
    }

    void selectionMapsItemsAndOffsets()
    {
        TRichView v;
        v.setRVStyle(htmlStyle());
        v.addText(u"<p", 1);
        v.addText(u">", 1);
        v.addText(u"hello\r\nworld", 3);
        v.addText(u"</p>", 1);
        QCOMPARE(v.itemCount(), 5);
        // A selection made before lay-out is kept until then.
        v.setSelection(2, 1, 3, 2);
        v.format();
        QCOMPARE(v.textCursor().selectedText(), QString("ello") + QChar(QChar::ParagraphSeparator) + "wo");
        int item = -1, off = -1;
        v.getSelectionStart(item, off);
        QCOMPARE(item, 2);
        QCOMPARE(off, 1);
        // The start is where the user began, even when it lies after the end.
        v.setSelection(4, 2, 0, 0);
        v.getSelectionStart(item, off);
        QCOMPARE(item, 4);
        QCOMPARE(off, 2);
        // Out-of-range numbers are clamped instead of failing.
        v.setSelection(99, 99, -5, -5);
        QCOMPARE(v.textCursor().anchor(), v.document()->characterCount() - 1);
    }

    void positionsFollowUserEdits()
    {
        TRichViewEdit v;
        v.setRVStyle(htmlStyle());
        v.addText(u"abc", 1);
        v.addText(u"def", 3);
        v.addText(u"\r\n", 3);
        v.addText(u"ghi", 1);
        v.format();
        QTextCursor c = v.textCursor();
        c.setPosition(1);
        c.insertText("XY"); // typed inside the first item
        v.setTextCursor(c);
        int item = -1, off = -1;
        v.itemAt(v.document()->find("def").selectionStart(), item, off);
        QCOMPARE(item, 1);
        QCOMPARE(off, 0);
        v.itemAt(v.document()->find("ghi").selectionStart() + 1, item, off);
        QCOMPARE(item, 3);
        QCOMPARE(off, 1);
        v.getSelectionStart(item, off);
        QCOMPARE(item, 0);
        QCOMPARE(off, 3);
        // Deleting across an item's start moves it to where the cut was.
        c.setPosition(4);
        c.setPosition(7, QTextCursor::KeepAnchor); // "c" of item 0, "de" of item 1
        c.removeSelectedText();
        QCOMPARE(v.positionOf(1, 0), 4);
        QCOMPARE(v.positionOf(3, 0), v.document()->find("ghi").selectionStart());
        v.itemAt(4, item, off);
        QCOMPARE(item, 1);
        QCOMPARE(off, 0);
    }

    void savesExactlyItsTextAsUtf16()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.html");
        TRichViewEdit v;
        v.setRVStyle(htmlStyle());
        // Every kind of break is written back as it came.
        const std::u16string text = u"caf\u00E9\r\nline2\n\x4E2D\rx\x0B\x2028\x0C" u"end\r\n";
        v.addText(text.substr(0, 9), 3);
        v.addText(text.substr(9), 1);
        v.format();
        QCOMPARE(v.plainText(), text);
        QVERIFY(v.saveText(path.toStdString(), 0));
        std::string want("\xFF\xFE", 2);
        for (char16_t ch : text) {
            want += static_cast<char>(ch & 0xFF);
            want += static_cast<char>(ch >> 8);
        }
        QCOMPARE(fileBytes(path), want);

        // After an edit the lines shown are written, each break as before;
        // a line the user splits off keeps the break of its line.
        QTextCursor c(v.document());
        c.setPosition(v.positionOf(1, 4)); // "line|2"
        c.insertText("+");
        QVERIFY(v.modifiedByUser());
        QCOMPARE(v.plainText(), std::u16string(u"caf\u00E9\r\nline+2\n\x4E2D\rx\x0B\x2028\x0C" u"end\r\n"));
        c.insertBlock();
        QCOMPARE(v.plainText().substr(0, 15), std::u16string(u"caf\u00E9\r\nline+\r\n2\n"));

        // An empty view writes an empty file; a bad path reports failure.
        v.clear();
        v.format();
        QVERIFY(!v.modifiedByUser());
        QVERIFY(v.saveText(path.toStdString(), 0));
        QCOMPARE(fileBytes(path), std::string());
        QVERIFY(!v.saveText(dir.filePath("no/such/dir/x").toStdString(), 0));
    }

    void scrollEventsFireAlsoWhenTheProgramScrolls()
    {
        TRichView v;
        v.setRVStyle(htmlStyle());
        v.resize(200, 100);
        for (int i = 0; i < 200; ++i)
            v.addText(u"a long line of text that will need horizontal scrolling to be read\r\n", 3);
        v.format();
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        int h = 0, vv = 0;
        v.OnHScrolled = [&](TRichView&) { ++h; };
        v.OnVScrolled = [&](TRichView&) { ++vv; };
        v.setVPosition(20);
        QCOMPARE(v.vPosition(), 20);
        QCOMPARE(vv, 1);
        v.setHPosition(30);
        QCOMPARE(v.hPosition(), 30);
        QCOMPARE(h, 1);
        v.setVPosition(1000000); // limited to the range
        QCOMPARE(v.vPosition(), v.verticalScrollBar()->maximum());
        v.setVPosition(v.vPosition()); // no change, no event
        QCOMPARE(vv, 2);
    }

    void suspendedViewsFireNoChangeEvents()
    {
        TRichViewEdit v;
        v.setRVStyle(htmlStyle());
        v.addText(u"abc", 3);
        v.format();
        int changes = 0;
        v.OnChange = [&](TRichView&) { ++changes; };
        v.suspendNotifications();
        v.suspendNotifications();
        v.textCursor().insertText("x");
        v.resumeNotifications();
        v.textCursor().insertText("y");
        QCOMPARE(changes, 0);
        v.resumeNotifications();
        v.textCursor().insertText("z");
        QCOMPARE(changes, 1);
        v.resumeNotifications(); // never goes below zero
        QVERIFY(!v.notificationsSuspended());
    }

    void caretEventAndEnterInEditableView()
    {
        QWidget w;
        auto* lay = new QVBoxLayout(&w);
        auto* v = new TRichViewEdit(&w);
        lay->addWidget(v);
        v->setRVStyle(htmlStyle());
        v->addText(u"ab", 3);
        v->format();
        int triggered = 0;
        auto* enter = new QAction(&w);
        enter->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
        QObject::connect(enter, &QAction::triggered, [&]() { ++triggered; });
        w.addAction(enter);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        v->setFocus();
        int moves = 0;
        v->OnCaretMove = [&](TRichView&) { ++moves; };
        QTest::keyClick(v, Qt::Key_End);
        QVERIFY(moves >= 1);
        QTest::keyClick(v, Qt::Key_Return);
        QCOMPARE(triggered, 0); // the view keeps Enter for a line break
        QCOMPARE(v->document()->blockCount(), 2);
    }

    void doubleClickStopsOnlyAtDelimiters()
    {
        TRichViewEdit v;
        v.setRVStyle(htmlStyle());
        v.setDelimiters("\"");
        v.addText(u"<a href=\"x y.html\">", 1);
        v.format();
        v.resize(400, 100);
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QTextCursor c(v.document());
        c.setPosition(11);
        QRect r = v.cursorRect(c);
        QTest::mouseDClick(v.viewport(), Qt::LeftButton, {}, r.center() + QPoint(2, 0));
        QCOMPARE(v.textCursor().selectedText(), QString("x y.html"));
    }
};

QTEST_MAIN(TestView)
#include "test_view.moc"
