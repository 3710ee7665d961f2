#include "gui/RichView.h"

#include "text/Errors.h"
#include "text/Streams.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <optional>

namespace {

// Where the view keeps its bookkeeping in the document's formats.
// (Item numbers are not stored in formats: a format per item would make
// every item's format unique, which the document handles slowly.)
constexpr int LinkProperty = QTextFormat::UserProperty + 1;      // char: link number
constexpr int ParaStartProperty = QTextFormat::UserProperty + 2; // block: starts a paragraph
constexpr int BreakProperty = QTextFormat::UserProperty + 3;     // block: the break characters before it

// Characters the document would take as a block or line break. An item never
// holds a break of its own line rules, but may hold these as characters;
// they are shown as U+FFFD, one for one, so that offsets stay the same.
bool breaksInDocument(char16_t c, TRichView::TLineBreaks rules)
{
    return c == 0x2029 || c == 0xFDD0 || c == 0xFDD1 || (rules == TRichView::lbXml && c == 0x2028);
}

QString shownText(const std::u16string& text, TRichView::TLineBreaks rules)
{
    QString s = QString::fromStdU16String(text);
    for (QChar& c : s)
        if (breaksInDocument(c.unicode(), rules))
            c = QChar(QChar::ReplacementCharacter);
    return s;
}

} // namespace

std::vector<TRichView::TSegment> TRichView::splitLines(std::u16string_view text, TLineBreaks rules)
{
    const bool xml = rules == lbXml;
    std::vector<TSegment> out;
    TSegment cur;
    size_t i = 0;
    while (i < text.size()) {
        char16_t c = text[i];
        size_t len = 0;
        TBreak brk = brLine;
        bool page = false;
        switch (c) {
        case u'\r':
            len = (i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
            break;
        case u'\n':
            len = (!xml && i + 1 < text.size() && text[i + 1] == u'\r') ? 2 : 1;
            break;
        case 0x000B:
        case 0x2028:
            len = xml ? 0 : 1;
            break;
        case 0x000C:
            len = xml ? 0 : 1;
            page = !xml;
            break;
        case 0x2029:
            len = xml ? 0 : 1;
            brk = brParagraph;
            break;
        default:
            break;
        }
        if (len == 0) {
            ++i;
            continue;
        }
        cur.length = i - cur.start;
        out.push_back(cur);
        i += len;
        cur = TSegment{};
        cur.start = i;
        cur.brk = brk;
        cur.pageBreak = page;
    }
    cur.length = text.size() - cur.start;
    out.push_back(cur);
    return out;
}

TRichView::TRichView(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setUndoRedoEnabled(false);
    viewport()->setMouseTracking(true);

    // The editor moves its scroll bars with their signals blocked when it
    // brings the caret into view (keys, selections set by the program); it
    // still reports the repaint of a scrolled viewport. Both roads lead to
    // one check, so that a change is reported once, however it came about.
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this](int) { noticeScroll(); });
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int) { noticeScroll(); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect&, int) { noticeScroll(); });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this]() {
        if (building_)
            return;
        if (OnCaretMove)
            OnCaretMove(*this);
        emit caretMoved();
    });
    connect(document(), &QTextDocument::contentsChange, this, [this](int at, int removed, int added) {
        if (building_)
            return;
        if (added != 0 || removed != 0)
            modified_ = true;
        shiftPositions(at, removed, added);
        if (suspended_ == 0 && OnChange)
            OnChange(*this);
    });
}

TRichView::~TRichView()
{
    // Handlers may point into an owner that is already being torn down.
    OnHScrolled = nullptr;
    OnVScrolled = nullptr;
    OnCaretMove = nullptr;
    OnChange = nullptr;
    OnJump = nullptr;
    // The base classes outlive these members; nothing of ours may run then.
    horizontalScrollBar()->disconnect(this);
    verticalScrollBar()->disconnect(this);
    document()->disconnect(this);
    disconnect(this, nullptr, this, nullptr);
}

void TRichView::noticeScroll()
{
    const int h = horizontalScrollBar()->value();
    const int v = verticalScrollBar()->value();
    if (h != lastH_) {
        lastH_ = h;
        if (OnHScrolled)
            OnHScrolled(*this);
    }
    if (v != lastV_) {
        lastV_ = v;
        if (OnVScrolled)
            OnVScrolled(*this);
    }
}

void TRichView::setRVStyle(std::shared_ptr<const TRVStyle> style)
{
    style_ = std::move(style);
    if (style_ && !style_->TextStyles.empty())
        setFont(style_->charFormat(0).font());
    // Tabs stop every eight characters, as in a text editor.
    setTabStopDistance(QFontMetricsF(font()).horizontalAdvance(QLatin1Char(' ')) * 8);
}

void TRichView::clear()
{
    items_.clear();
    itemPos_.clear();
    formatted_ = false;
    linkCount_ = 0;
    pending_.set = false;
    modified_ = false;
    building_ = true;
    clearHighlight();
    QPlainTextEdit::clear();
    building_ = false;
}

void TRichView::setHighlight(int startItem, int startOffset, int endItem, int endOffset)
{
    if (!formatted_ || items_.empty()) {
        clearHighlight();
        return;
    }
    QTextEdit::ExtraSelection mark;
    mark.cursor = QTextCursor(document());
    mark.cursor.setPosition(positionOf(startItem, startOffset));
    mark.cursor.setPosition(positionOf(endItem, endOffset), QTextCursor::KeepAnchor);
    mark.format.setBackground(palette().color(QPalette::Inactive, QPalette::Highlight));
    mark.format.setForeground(palette().color(QPalette::Inactive, QPalette::HighlightedText));
    setExtraSelections({mark});
}

void TRichView::clearHighlight()
{
    setExtraSelections({});
}

QString TRichView::highlightedText() const
{
    const QList<QTextEdit::ExtraSelection> marks = extraSelections();
    return marks.isEmpty() ? QString() : marks.front().cursor.selectedText();
}

void TRichView::appendItem(TItem item)
{
    if (items_.empty() && item.brk == brContinue)
        item.brk = brParagraph; // the first item starts the first line
    if (style_ && style_->isJump(item.style))
        item.linkNo = linkCount_++;
    items_.push_back(std::move(item));
}

void TRichView::addText(std::u16string_view text, int style)
{
    std::vector<TSegment> segs = splitLines(text, lineBreaks_);
    for (size_t k = 0; k < segs.size(); ++k) {
        const TSegment& s = segs[k];
        if (k == 0 && s.length == 0 && (segs.size() == 1 || !items_.empty()))
            continue;
        TItem it;
        it.text.assign(text.substr(s.start, s.length));
        it.style = style;
        it.brk = s.brk;
        it.pageBreak = s.pageBreak;
        if (k > 0) {
            const size_t end = segs[k - 1].start + segs[k - 1].length;
            it.brkText.assign(text.substr(end, s.start - end));
        }
        appendItem(std::move(it));
    }
}

void TRichView::addLine(std::u16string_view text, int style, int paraStyle)
{
    TItem it;
    it.text.assign(text);
    it.style = style;
    it.paraStyle = paraStyle;
    it.brk = brParagraph;
    appendItem(std::move(it));
}

int TRichView::itemStyle(int item) const
{
    return items_.at(static_cast<size_t>(item)).style;
}

void TRichView::continuePrevious(int item)
{
    TItem& it = items_.at(static_cast<size_t>(item));
    if (item == 0)
        return; // the first item always starts the first line
    it.brk = brContinue;
    it.pageBreak = false;
    it.brkText.clear();
}

void TRichView::format()
{
    building_ = true;
    QPlainTextEdit::clear();
    QTextDocument* doc = document();
    QTextCursor c(doc);
    c.beginEditBlock();
    itemPos_.assign(items_.size(), 0);
    const TRVStyle empty;
    const TRVStyle& st = style_ ? *style_ : empty;
    std::vector<std::optional<QTextCharFormat>> formats;
    for (size_t i = 0; i < items_.size(); ++i) {
        const TItem& it = items_[i];
        if (i == 0 || it.brk != brContinue) {
            QTextBlockFormat bf;
            bf.setProperty(ParaStartProperty, it.brk == brParagraph);
            if (!it.brkText.empty())
                bf.setProperty(BreakProperty, QString::fromStdU16String(it.brkText));
            if (it.pageBreak)
                bf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            if (it.paraStyle >= 0 && it.paraStyle < static_cast<int>(st.ParaStyles.size()))
                bf.setAlignment(st.ParaStyles[static_cast<size_t>(it.paraStyle)].Alignment);
            if (i == 0)
                c.setBlockFormat(bf);
            else
                c.insertBlock(bf);
        }
        itemPos_[i] = c.position();
        if (it.text.empty())
            continue;
        if (it.linkNo >= 0) {
            QTextCharFormat f = st.charFormat(it.style);
            f.setProperty(LinkProperty, it.linkNo);
            c.insertText(shownText(it.text, lineBreaks_), f);
        } else {
            // One format per style, made on first use.
            auto s = static_cast<size_t>(std::max(0, it.style));
            if (s >= formats.size())
                formats.resize(s + 1);
            if (!formats[s])
                formats[s] = st.charFormat(it.style);
            c.insertText(shownText(it.text, lineBreaks_), *formats[s]);
        }
    }
    c.endEditBlock();
    formatted_ = true;
    modified_ = false;
    building_ = false;
    moveCursor(QTextCursor::Start);
    applyPendingSelection();
    viewport()->update();
}

void TRichView::shiftPositions(int at, int removed, int added)
{
    // Text typed or deleted by the user moves the items after it; an item
    // whose start was deleted starts after what replaced it.
    // Equal counts are a format change (or a same-length replacement):
    // nothing moves.
    const int delta = added - removed;
    if (delta == 0)
        return;
    for (int& p : itemPos_) {
        if (p <= at)
            continue;
        if (p >= at + removed)
            p += delta;
        else
            p = at + added;
    }
}

int TRichView::positionOf(int item, int offset)
{
    if (!formatted_ || itemPos_.empty())
        return 0;
    item = std::clamp(item, 0, static_cast<int>(itemPos_.size()) - 1);
    int limit = std::max(0, document()->characterCount() - 1);
    long long p = static_cast<long long>(itemPos_[static_cast<size_t>(item)]) + std::max(0, offset);
    return static_cast<int>(std::clamp<long long>(p, 0, limit));
}

void TRichView::itemAt(int position, int& item, int& offset)
{
    item = 0;
    offset = 0;
    if (!formatted_ || itemPos_.empty())
        return;
    auto it = std::upper_bound(itemPos_.begin(), itemPos_.end(), position);
    if (it == itemPos_.begin()) {
        item = 0;
        offset = 0;
        return;
    }
    --it;
    item = static_cast<int>(it - itemPos_.begin());
    offset = position - *it;
}

void TRichView::setSelection(int startItem, int startOffset, int endItem, int endOffset)
{
    pending_.set = true;
    pending_.startItem = startItem;
    pending_.startOffset = startOffset;
    pending_.endItem = endItem;
    pending_.endOffset = endOffset;
    if (formatted_)
        applyPendingSelection();
}

void TRichView::applyPendingSelection()
{
    if (!pending_.set || !formatted_)
        return;
    pending_.set = false;
    if (items_.empty())
        return;
    int a = positionOf(pending_.startItem, pending_.startOffset);
    int b = positionOf(pending_.endItem, pending_.endOffset);
    QTextCursor c = textCursor();
    c.setPosition(a);
    c.setPosition(b, QTextCursor::KeepAnchor);
    setTextCursor(c);
    ensureCursorVisible();
    // Scroll bars that the new text brings in narrow the viewport only when
    // the view is laid out again; look once more after that.
    QMetaObject::invokeMethod(this, [this]() { ensureCursorVisible(); }, Qt::QueuedConnection);
}

void TRichView::getSelectionStart(int& item, int& offset)
{
    itemAt(textCursor().anchor(), item, offset);
}

int TRichView::hPosition() const
{
    return horizontalScrollBar()->value();
}

void TRichView::setHPosition(int value)
{
    horizontalScrollBar()->setValue(value);
}

int TRichView::vPosition() const
{
    return verticalScrollBar()->value();
}

void TRichView::setVPosition(int value)
{
    verticalScrollBar()->setValue(value);
    viewport()->update();
}

void TRichView::resumeNotifications()
{
    if (suspended_ > 0)
        --suspended_;
}

void TRichView::caretLineColumn(int& line, int& column) const
{
    const QTextCursor c = textCursor();
    const QTextBlock b = c.block();
    line = c.blockNumber() + 1;
    const QString text = b.text();
    const int upTo = std::min(static_cast<int>(text.size()), c.position() - b.position());
    column = 1;
    for (int i = 0; i < upTo; ++i)
        if (!(text[i].isLowSurrogate() && i > 0 && text[i - 1].isHighSurrogate()))
            ++column;
}

std::u16string TRichView::plainText() const
{
    std::u16string text;
    if (!modified_ && formatted_) {
        // Untouched: the items are the text, each break as it was appended.
        size_t length = 0;
        for (const TItem& it : items_)
            length += it.brkText.size() + it.text.size();
        text.reserve(length);
        for (const TItem& it : items_) {
            text += it.brkText;
            text += it.text;
        }
        return text;
    }
    const QTextDocument* doc = document();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        if (b != doc->begin()) {
            // A line the user split off keeps the break of the line it came
            // from; a document made otherwise has none recorded.
            QVariant brk = b.blockFormat().property(BreakProperty);
            text += brk.isValid() ? brk.toString().toStdU16String() : std::u16string(u"\r\n");
        }
        text += b.text().toStdU16String();
    }
    return text;
}

bool TRichView::saveText(const std::string& fileName, int /*lineWidth*/, std::string* error)
{
    const std::u16string text = plainText();
    std::string bytes;
    bytes.reserve(2 + 2 * text.size());
    if (!text.empty())
        bytes.assign("\xFF\xFE", 2); // an empty view writes an empty file
    for (char16_t ch : text) {
        bytes += static_cast<char>(ch & 0xFF);
        bytes += static_cast<char>(ch >> 8);
    }
    try {
        TFileStream f(fileName, fmCreate);
        f.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    } catch (const Exception& e) {
        if (error)
            *error = e.message();
        return false;
    }
    return true;
}

int TRichView::charFormatProperty(int position, int property)
{
    QTextBlock b = document()->findBlock(position);
    for (QTextBlock::iterator it = b.begin(); b.isValid() && !it.atEnd(); ++it) {
        QTextFragment fr = it.fragment();
        if (fr.contains(position)) {
            QVariant v = fr.charFormat().property(property);
            return v.isValid() ? v.toInt() : -1;
        }
    }
    return -1;
}

int TRichView::linkAt(const QPoint& viewportPos)
{
    if (linkCount_ == 0)
        return -1;
    QTextCursor c = cursorForPosition(viewportPos);
    int p = c.position();
    // The cursor lands between characters; take the one the point is over.
    for (int cand : {p - 1, p}) {
        if (cand < 0)
            continue;
        QTextCursor l(document());
        l.setPosition(cand);
        QTextCursor r(document());
        r.setPosition(cand + 1 < document()->characterCount() ? cand + 1 : cand);
        if (l.block() != r.block())
            continue;
        QRect lr = cursorRect(l);
        QRect rr = cursorRect(r);
        if (viewportPos.x() >= lr.left() && viewportPos.x() < rr.left() && viewportPos.y() >= lr.top()
            && viewportPos.y() < lr.bottom() + 1) {
            return charFormatProperty(cand, LinkProperty);
        }
    }
    return -1;
}

void TRichView::jump(int linkNo)
{
    if (OnJump)
        OnJump(*this, linkNo);
}

void TRichView::mousePressEvent(QMouseEvent* e)
{
    pressPos_ = e->position().toPoint();
    QPlainTextEdit::mousePressEvent(e);
}

void TRichView::mouseReleaseEvent(QMouseEvent* e)
{
    QPlainTextEdit::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton)
        return;
    QPoint pos = e->position().toPoint();
    if ((pos - pressPos_).manhattanLength() > 3)
        return; // a drag selects; only a click follows a link
    int link = linkAt(pos);
    if (link >= 0)
        jump(link);
}

void TRichView::mouseMoveEvent(QMouseEvent* e)
{
    QPlainTextEdit::mouseMoveEvent(e);
    if (linkCount_ > 0) {
        bool over = linkAt(e->position().toPoint()) >= 0;
        viewport()->setCursor(over ? Qt::PointingHandCursor : (isReadOnly() ? Qt::ArrowCursor : Qt::IBeamCursor));
    }
}

void TRichView::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (delimiters_.isEmpty() || e->button() != Qt::LeftButton) {
        QPlainTextEdit::mouseDoubleClickEvent(e);
        return;
    }
    QTextCursor c = cursorForPosition(e->position().toPoint());
    QTextBlock b = c.block();
    const QString text = b.text();
    int at = c.position() - b.position();
    auto isDelim = [&](QChar ch) { return delimiters_.contains(ch) || ch == QChar::LineSeparator; };
    int from = at;
    while (from > 0 && !isDelim(text[from - 1]))
        --from;
    int to = at;
    while (to < text.size() && !isDelim(text[to]))
        ++to;
    c.setPosition(b.position() + from);
    c.setPosition(b.position() + to, QTextCursor::KeepAnchor);
    setTextCursor(c);
    e->accept();
}

TRichViewEdit::TRichViewEdit(QWidget* parent)
    : TRichView(parent)
{
    setReadOnly(false);
    setTextInteractionFlags(Qt::TextEditorInteraction);
    setUndoRedoEnabled(false);
}

bool TRichViewEdit::event(QEvent* e)
{
    if (e->type() == QEvent::ShortcutOverride && !isReadOnly()) {
        auto* k = static_cast<QKeyEvent*>(e);
        if ((k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
            && (k->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) == 0) {
            e->accept();
            return true;
        }
    }
    return TRichView::event(e);
}
