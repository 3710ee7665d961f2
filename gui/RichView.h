// The styled, scrollable text views of the desktop program.
//
// A view holds an ordered list of items, each a run of text in one text style
// of its style sheet. An item starts a new paragraph, starts a new line
// within the current paragraph, or continues the line of the item before it.
// Items are collected first and shown by one call of `format` (lay out), so
// that filling a view with many thousands of items stays cheap. Positions are
// addressed as item number (from 0) and character offset within the item
// (from 0: before the item's first character).
#pragma once

#include "gui/RVStyle.h"

#include <QPlainTextEdit>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TRichView : public QPlainTextEdit {
    Q_OBJECT
public:
    enum TBreak { brContinue, brLine, brParagraph };
    // Which characters break lines: the view's own rules (below), or only
    // those of XML (CR LF, CR, LF), so that a view of XML text has exactly
    // the lines by which an XML parser counts.
    enum TLineBreaks { lbView, lbXml };

    struct TItem {
        std::u16string text;
        int style = 0;
        int paraStyle = 0;
        TBreak brk = brContinue;
        bool pageBreak = false;
        int linkNo = -1; // links are numbered in the order they were added
        std::u16string brkText; // the break characters before the item, as appended
    };

    // One stretch of a text cut at its line breaks: the break before it
    // (brContinue for the first) and where it lies in the text.
    struct TSegment {
        size_t start = 0;
        size_t length = 0;
        TBreak brk = brContinue;
        bool pageBreak = false;
    };
    // CR LF and LF CR are one break each; CR, LF, VT and U+2028 are line
    // breaks, U+2029 a paragraph break, FF a line break with a page break.
    // With lbXml only CR LF, CR and LF break, each a line break.
    static std::vector<TSegment> splitLines(std::u16string_view text, TLineBreaks rules = lbView);

    explicit TRichView(QWidget* parent = nullptr);
    ~TRichView() override;

    void setRVStyle(std::shared_ptr<const TRVStyle> style);
    const TRVStyle* rvStyle() const { return style_.get(); }
    void setLineBreaks(TLineBreaks rules) { lineBreaks_ = rules; }
    TLineBreaks lineBreaks() const { return lineBreaks_; }

    // ---- items ----
    void clear();
    // Appends text in a style by the line-break rules of splitLines: the part
    // before the first break continues the current line (nothing when it is
    // empty), every further part is an item of its own, even when empty.
    // A text that begins with a break in an empty view gives an empty first
    // line, so that no break of the text is lost.
    void addText(std::u16string_view text, int style);
    // Adds a paragraph holding text (an empty text gives an empty line).
    void addLine(std::u16string_view text, int style, int paraStyle = 0);
    int itemCount() const { return static_cast<int>(items_.size()); }
    int itemStyle(int item) const;
    const TItem& item(int item) const { return items_.at(static_cast<size_t>(item)); }
    // The item joins the line of the item before it (its break is dropped).
    void continuePrevious(int item);
    // Shows the items (formats and repaints). Call once after adding.
    void format();
    bool isFormatted() const { return formatted_; }

    // ---- selection and caret ----
    // Offsets past an item's end run on into the following text; everything
    // is limited to the document. Before `format` the selection is kept and
    // applied when the view is laid out.
    void setSelection(int startItem, int startOffset, int endItem, int endOffset);
    // Where the user began the selection (the caret when none), as item and
    // offset; 0, 0 in an empty view.
    void getSelectionStart(int& item, int& offset);
    // The text position of an item and offset, and back.
    int positionOf(int item, int offset);
    void itemAt(int position, int& item, int& offset);
    // A marked range that is not the selection: the caret, the selection
    // and the scroll position stay as the user left them.
    void setHighlight(int startItem, int startOffset, int endItem, int endOffset);
    void clearHighlight();
    QString highlightedText() const;

    // ---- scrolling ----
    int hPosition() const;
    void setHPosition(int value);
    int vPosition() const;
    void setVPosition(int value); // repaints

    // The caret's line and column, both from 1; a column counts characters
    // (a surrogate pair is one), as an XML parser does.
    void caretLineColumn(int& line, int& column) const;

    // ---- misc ----
    // The view's text: exactly the appended text, breaks included, until the
    // user edits it; after an edit the lines shown, each break written as
    // the one it replaced (CR LF for lines the user made).
    std::u16string plainText() const;
    bool modifiedByUser() const { return modified_; }
    // Writes plainText as UTF-16LE with a byte order mark (no wrapping;
    // lineWidth is kept for callers and must be 0). On failure returns
    // false and, when error is given, the reason.
    bool saveText(const std::string& fileName, int lineWidth, std::string* error = nullptr);
    // Nesting counter: while above 0, OnChange is not fired.
    void suspendNotifications() { ++suspended_; }
    void resumeNotifications();
    bool notificationsSuspended() const { return suspended_ > 0; }
    // Characters that end a word for double-click selection; empty: the
    // toolkit's own word rules.
    void setDelimiters(const QString& delimiters) { delimiters_ = delimiters; }
    const QString& delimiters() const { return delimiters_; }

    // Fires the link event as a click on the link would.
    void jump(int linkNo);
    int linkCount() const { return linkCount_; }
    // The link number under a point of the viewport, or -1.
    int linkAt(const QPoint& viewportPos);

    std::function<void(TRichView&)> OnHScrolled;
    std::function<void(TRichView&)> OnVScrolled;
    std::function<void(TRichView&)> OnCaretMove;
    std::function<void(TRichView&)> OnChange;
    std::function<void(TRichView&, int)> OnJump;

signals:
    // Fired with OnCaretMove, for any number of listeners.
    void caretMoved();

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    // Fires OnHScrolled and OnVScrolled for positions that changed since
    // they were last reported.
    void noticeScroll();
    void appendItem(TItem item);
    void shiftPositions(int at, int removed, int added);
    void applyPendingSelection();
    int charFormatProperty(int position, int property);

    std::shared_ptr<const TRVStyle> style_;
    std::vector<TItem> items_;
    std::vector<int> itemPos_; // start position of every item in the document
    TLineBreaks lineBreaks_ = lbView;
    bool formatted_ = false;
    bool building_ = false;
    bool modified_ = false;
    int lastH_ = 0, lastV_ = 0; // scroll positions last reported
    int suspended_ = 0;
    int linkCount_ = 0;
    QString delimiters_;
    QPoint pressPos_;
    struct {
        bool set = false;
        int startItem = 0, startOffset = 0, endItem = 0, endOffset = 0;
    } pending_;
};

// The editable view: keeps no undo history and takes Enter for itself even
// when the window binds Enter to a command.
class TRichViewEdit : public TRichView {
    Q_OBJECT
public:
    explicit TRichViewEdit(QWidget* parent = nullptr);

protected:
    bool event(QEvent* e) override;
};
