#include "gui/FindBar.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>
#include <algorithm>

namespace {

bool isEnter(const QKeyEvent* k)
{
    return k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
}

} // namespace

bool TFindEdit::event(QEvent* e)
{
    if (e->type() == QEvent::ShortcutOverride) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (isEnter(k) || k->key() == Qt::Key_Escape) {
            e->accept();
            return true;
        }
    }
    return QLineEdit::event(e);
}

void TFindEdit::keyPressEvent(QKeyEvent* e)
{
    if (isEnter(e)) {
        emit findRequested((e->modifiers() & Qt::ShiftModifier) != 0);
        e->accept();
        return;
    }
    if (e->key() == Qt::Key_Escape) {
        emit closeRequested();
        e->accept();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

TFindBar::TFindBar(QWidget* panel, std::vector<QPlainTextEdit*> views, QWidget* window)
    : QFrame(panel)
    , views_(views.begin(), views.end())
{
    setObjectName(QStringLiteral("FindBar"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(true);

    auto* lay = new QHBoxLayout(this);
    lay->setContentsMargins(4, 2, 2, 2);
    lay->setSpacing(4);
    FindEdit = new TFindEdit(this);
    FindEdit->setObjectName(QStringLiteral("FindEdit"));
    FindEdit->setPlaceholderText(QStringLiteral("Find"));
    FindEdit->setMinimumWidth(160);
    lay->addWidget(FindEdit);

    QStyle* st = style();
    auto addButton = [&](QStyle::StandardPixmap icon, const QString& tip, const char* name) {
        auto* b = new QToolButton(this);
        b->setObjectName(QLatin1String(name));
        b->setIcon(st->standardIcon(icon));
        b->setToolTip(tip);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        lay->addWidget(b);
        return b;
    };
    QToolButton* prev = addButton(QStyle::SP_ArrowUp, QStringLiteral("Previous match (Shift+F3)"), "FindPreviousButton");
    QToolButton* next = addButton(QStyle::SP_ArrowDown, QStringLiteral("Next match (F3)"), "FindNextButton");
    MatchCase = new QCheckBox(QStringLiteral("Match &case"), this);
    MatchCase->setObjectName(QStringLiteral("MatchCase"));
    MatchCase->setFocusPolicy(Qt::TabFocus);
    lay->addWidget(MatchCase);
    Message = new QLabel(this);
    Message->setObjectName(QStringLiteral("FindMessage"));
    Message->setMinimumWidth(QFontMetrics(Message->font()).horizontalAdvance(QStringLiteral("Not found")) + 4);
    lay->addWidget(Message);
    CloseButton = addButton(QStyle::SP_TitleBarCloseButton, QStringLiteral("Close (Escape)"), "FindCloseButton");

    Find = new QAction(QStringLiteral("&Find..."), window);
    Find->setObjectName(QStringLiteral("Find"));
    Find->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    FindNext = new QAction(QStringLiteral("Find &Next"), window);
    FindNext->setObjectName(QStringLiteral("FindNext"));
    FindNext->setShortcut(QKeySequence(Qt::Key_F3));
    FindPrevious = new QAction(QStringLiteral("Find &Previous"), window);
    FindPrevious->setObjectName(QStringLiteral("FindPrevious"));
    FindPrevious->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    window->addActions({Find, FindNext, FindPrevious});

    connect(Find, &QAction::triggered, this, [this]() {
        QPlainTextEdit* v = focusedView();
        // A selection within one line is what the user wants to find.
        const QString sel = v ? v->textCursor().selectedText() : QString();
        if (!sel.isEmpty() && !sel.contains(QChar::ParagraphSeparator))
            FindEdit->setText(sel);
        openOver(v);
    });
    // F3 from the search box searches its view; elsewhere the focused view.
    auto step = [this](bool backward) {
        if (!isVisible() || !FindEdit->hasFocus()) {
            target_ = focusedView();
            if (isVisible())
                place(); // over the view now searched
        }
        if (FindEdit->text().isEmpty())
            openOver(target_);
        else
            findNext(backward);
    };
    connect(FindNext, &QAction::triggered, this, [step]() { step(false); });
    connect(FindPrevious, &QAction::triggered, this, [step]() { step(true); });
    connect(next, &QToolButton::clicked, this, [this]() { findNext(false); });
    connect(prev, &QToolButton::clicked, this, [this]() { findNext(true); });
    connect(FindEdit, &TFindEdit::findRequested, this, [this](bool backward) { findNext(backward); });
    connect(FindEdit, &TFindEdit::closeRequested, this, [this]() { closeBar(); });
    connect(FindEdit, &QLineEdit::textEdited, this, [this]() { searchAsTyped(); });
    connect(MatchCase, &QCheckBox::toggled, this, [this]() { searchAsTyped(); });
    connect(CloseButton, &QToolButton::clicked, this, [this]() { closeBar(); });

    for (QPlainTextEdit* v : views)
        v->installEventFilter(this);
    hide();
}

QPlainTextEdit* TFindBar::focusedView() const
{
    QWidget* f = QApplication::focusWidget();
    for (QPlainTextEdit* v : views_)
        if (v && f && (f == v || v->isAncestorOf(f)))
            return v;
    if (lastFocused_)
        return lastFocused_;
    return views_.empty() ? nullptr : views_.front().data();
}

void TFindBar::openOver(QPlainTextEdit* view)
{
    if (view == nullptr)
        return;
    target_ = view;
    Message->clear();
    show();
    place();
    raise();
    FindEdit->setFocus(Qt::ShortcutFocusReason);
    FindEdit->selectAll();
}

void TFindBar::closeBar()
{
    hide();
    if (target_)
        target_->setFocus(Qt::OtherFocusReason);
}

void TFindBar::place()
{
    if (!target_ || !parentWidget())
        return;
    const QRect r(target_->mapTo(parentWidget(), QPoint(0, 0)), target_->size());
    const QScrollBar* bar = target_->verticalScrollBar();
    const int barWidth = bar && bar->isVisible() ? bar->width() : 0;
    const QSize want = sizeHint();
    const int w = std::min(want.width(), std::max(0, r.width() - barWidth - 4));
    resize(w, want.height());
    move(std::max(r.left(), r.right() + 1 - barWidth - 2 - w), r.top() + 2);
}

bool TFindBar::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::FocusIn) {
        for (QPlainTextEdit* v : views_)
            if (watched == v)
                lastFocused_ = v;
    } else if ((e->type() == QEvent::Resize || e->type() == QEvent::Move) && watched == target_ && isVisible()) {
        place();
    }
    return QFrame::eventFilter(watched, e);
}

void TFindBar::searchAsTyped()
{
    // Each letter typed keeps the match where it began, when it still fits.
    if (!target_)
        return;
    if (FindEdit->text().isEmpty()) {
        Message->clear();
        QTextCursor c = target_->textCursor();
        c.setPosition(c.selectionStart());
        target_->setTextCursor(c);
        return;
    }
    search(false, true);
}

bool TFindBar::findNext(bool backward)
{
    if (!target_)
        target_ = focusedView();
    if (!target_ || FindEdit->text().isEmpty())
        return false;
    return search(backward, false);
}

bool TFindBar::search(bool backward, bool fromSelectionStart)
{
    QTextDocument* doc = target_->document();
    QTextDocument::FindFlags flags;
    if (backward)
        flags |= QTextDocument::FindBackward;
    if (MatchCase->isChecked())
        flags |= QTextDocument::FindCaseSensitively;
    const QString text = FindEdit->text();
    QTextCursor from = target_->textCursor();
    if (fromSelectionStart)
        from.setPosition(from.selectionStart());
    QTextCursor found = doc->find(text, from, flags);
    bool wrapped = false;
    if (found.isNull()) {
        QTextCursor edge(doc);
        edge.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        found = doc->find(text, edge, flags);
        wrapped = !found.isNull();
    }
    if (found.isNull()) {
        Message->setText(QStringLiteral("Not found"));
        return false;
    }
    Message->setText(wrapped ? QStringLiteral("Wrapped") : QString());
    target_->setTextCursor(found);
    target_->ensureCursorVisible();
    return true;
}
