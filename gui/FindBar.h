// The find bar of the desktop window: laid over the top of one of the text
// views, it searches that view's text forwards and backwards, wrapping at
// either end, with or without regard to letter case.
#pragma once

#include <QFrame>
#include <QLineEdit>
#include <QPointer>
#include <vector>

class QAction;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QToolButton;

// The search box: Enter finds the next match, Shift+Enter the previous one,
// Escape closes the bar. It keeps those keys from the window's shortcuts.
class TFindEdit : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

signals:
    void findRequested(bool backward);
    void closeRequested();

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

class TFindBar : public QFrame {
    Q_OBJECT
public:
    // panel holds the views; the bar lies over them as a child of panel.
    // The actions (Ctrl+F, F3, Shift+F3) are added to window.
    TFindBar(QWidget* panel, std::vector<QPlainTextEdit*> views, QWidget* window);

    QAction* Find;         // opens the bar over the focused view
    QAction* FindNext;     // the next match after the selection
    QAction* FindPrevious; // the match before the selection
    TFindEdit* FindEdit;
    QCheckBox* MatchCase;
    QLabel* Message; // "Not found", "Wrapped" or nothing
    QToolButton* CloseButton;

    // The view searched: the one focused when the bar was opened.
    QPlainTextEdit* target() const { return target_; }
    // Opens the bar over the view and puts the caret into the search box.
    void openOver(QPlainTextEdit* view);
    void closeBar();
    // Selects the next (or previous) match in the target view, starting at
    // its selection and wrapping at the end; false when there is none.
    bool findNext(bool backward);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // The view with the focus, else the one that had it last.
    QPlainTextEdit* focusedView() const;
    void searchAsTyped();
    bool search(bool backward, bool fromSelectionStart);
    void place();

    // The views may go before the bar when the window is torn down.
    std::vector<QPointer<QPlainTextEdit>> views_;
    QPointer<QPlainTextEdit> target_;
    QPointer<QPlainTextEdit> lastFocused_;
};
