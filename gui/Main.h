// The main window of the desktop program: a name or http URL is typed,
// picked from a file dialog or from the recently-used list; the page is read
// or fetched, converted, shown as coloured HTML source and coloured XML that
// scroll together, checked, and its first XML error is marked and listed.
#pragma once

#include "gui/IdURI.h"
#include "gui/Mru.h"

#include <QMainWindow>
#include <QRect>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QStatusBar;
class QToolBar;
class QToolButton;
class TAboutDialog;
class TDocument;
class TFindBar;
class THtmlParser;
class THtmlReader;
class THtmlSourceMap;
class TNode;
class TIdHTTP;
class TRichView;
class TRichViewEdit;
class TRVStyle;
class TXpParser;
enum class TWorkMode;

// What the window asks of the user and the desktop: dialogs and error boxes.
// Tests replace it so that nothing blocks.
class TFormServices {
public:
    virtual ~TFormServices() = default;
    // The open dialog with a name filter; false when cancelled.
    virtual bool executeOpenDialog(QWidget* parent, const QString& filter, QString& fileName);
    // The save dialog (asks before overwriting, resizable); false when cancelled.
    virtual bool executeSaveDialog(QWidget* parent, const QString& title, const QString& filter,
                                   const QString& defaultExt, QString& fileName);
    // The error message box of a failed command.
    virtual void showError(QWidget* parent, const QString& message);
    // Shows the about box modally.
    virtual void showAbout(TAboutDialog* dialog);
};

// Where the recently-used list is read from and written to.
struct TMruLocation {
    std::string file;     // read at start, written at exit
    std::string fallback; // written when file cannot be; empty: none
    // Beside the program when its folder is writable, else the user's
    // configuration folder; the configuration folder is the fallback.
    static TMruLocation standard();
};

// The window's rectangle moved (and, only if it is larger, shrunk) so that
// it lies wholly inside the available rectangle.
QRect fitOnScreen(const QRect& window, const QRect& available);

class TMainForm : public QMainWindow {
    Q_OBJECT
    // The converter writes only well-formed XML; the tests make the checker
    // find something by changing the document and showing it again.
    friend class TestMainForm;
    friend class TestViews;
    friend class TestSourceLink;
public:
    explicit TMainForm(std::unique_ptr<TFormServices> services = nullptr,
                       TMruLocation mru = TMruLocation::standard(), QWidget* parent = nullptr);
    ~TMainForm() override;

    // ---- components ----
    QToolBar* MenuToolBar;
    QToolBar* ButtonToolBar;
    QLineEdit* FileEdit;
    QToolButton* OpenToolButton;
    QWidget* CodeViewPanel;
    TRichViewEdit* HTMLMemo;
    QSplitter* ViewSplitter;
    TRichViewEdit* XMLMemo;
    QPlainTextEdit* ErrorMsg = nullptr;
    QStatusBar* StatusBar;
    // 0 general messages, 1 and 2 the HTML and XML views' caret as item and
    // offset, 3 and 4 the same carets as line and column.
    QLabel* StatusPanels[5];
    TFindBar* FindBar;
    QMenu* FileItem;
    QMenu* ViewItem;
    QMenu* HelpItem;
    QMenu* MRUOpenPopup;
    TAboutDialog* AboutDialog;
    TIdHTTP* HTTP;

    // ---- actions ----
    QAction* OpenHtmlFile;
    QAction* SaveAsXml;
    QAction* SaveHtml;
    QAction* ExitApplication;
    QAction* About;
    QAction* ToggleView;
    QAction* DetectEncoding;
    QAction* FocusFileName; // Ctrl+O: the name box, its text selected
    QAction* CancelTransfer; // Escape, enabled while a page is fetched

    // ---- state ----
    const TMruList& mruList() const { return MruList; }
    const std::string& lastOpened() const { return LastOpened; }
    TDocument* htmlDocument() const { return Document.get(); }
    const TMruLocation& mruLocation() const { return MruFile; }
    QString statusText(int panel) const;
    bool busy() const { return Busy; }
    // "" reads pages through the 8-bit code page as always; "auto" detects
    // the encoding of each page; any other name forces that encoding. The
    // Detect Encoding action shows whether one of the last two is in force.
    void setEncodingMode(const std::string& mode);
    const std::string& encodingMode() const { return EncodingMode; }

    // ---- handlers ----
    void OpenHtmlFileExecute();
    void SaveAsXmlExecute();
    void SaveHtmlExecute();
    void ExitApplicationExecute();
    void AboutExecute();
    void ToggleViewExecute();
    void MRUOpenPopupPopup();
    void MruItemClick(QAction* item);
    void FormResize();
    // Puts a name into the edit box and runs the Open command (the name
    // given on the command line).
    void openFromCommand(const QString& name);

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    bool errorPaneEvent(QEvent* e);

private:
    void createComponents();
    void createActions();
    void FormCreate();
    void FormDestroy();

    // Runs a command; a failure is shown in an error message box.
    template <class F> void command(F&& f);
    // Shows the failure being handled in an error message box.
    void reportFailure();

    void OpenDocument(const std::string& name);
    // Writes the document into the XML view and checks it.
    void ShowXml();
    void CheckXml();
    void AddToMru(const std::string& name);
    void LayoutViews();
    void AddSourceToken(THtmlReader& reader);
    // Appends to the HTML view what is shown of the source from 1-based
    // position `from` of the tree builder's text on.
    void AddHtmlText(int64_t from, std::u16string_view shown, int style);
    // Where a 1-based position of the tree builder's text lies in the HTML
    // view's text.
    size_t htmlShownOffset(int64_t position) const;
    void AddXmlText(const std::u16string& text, int nodeType);
    void MarkXmlError(int line, int column);
    void showErrorLines();
    void HTTPWork(TWorkMode mode, int64_t count);
    void HTMLMemoHScrolled();
    void HTMLMemoVScrolled();
    void XMLMemoHScrolled();
    void XMLMemoVScrolled();
    void HTMLMemoCaretMove();
    void XMLMemoCaretMove();
    void ShowCaretLine(int panel, TRichView& view);
    void setStatus(int panel, const QString& text);
    // From the error pane: the error marked again, and the source of the
    // node at it selected.
    void ShowErrorCause();
    // Selects in the HTML view the source of the node under the XML view's
    // caret (nothing for a made-up node); with reveal the HTML view scrolls
    // to it, else neither view moves.
    void ShowSourceOfXmlCaret(bool reveal);
    const TNode* xmlNodeAt(size_t offset) const;

    std::unique_ptr<TFormServices> Services;
    TMruLocation MruFile;
    std::shared_ptr<const TRVStyle> HTMLStyle;
    std::unique_ptr<THtmlParser> HtmlBuilder;
    std::unique_ptr<TXpParser> xmlParser;
    std::unique_ptr<TDocument> Document;
    TMruList MruList;
    TIdURI Uri;
    std::string LastOpened;
    std::string EncodingMode;
    int64_t TokenStart = 1;
    // The text being converted, while it is, and how much of it the source
    // view holds: the tokenizer's copy may hold characters it inserted.
    std::u16string_view SourceText;
    size_t SourcePos = 0;
    bool Busy = false;
    bool CloseRequested = false;
    bool Destroying = false;
    // The XML text as shown and where each XML view item starts in it, so
    // that the checker's line and column can be found among the items.
    std::u16string XmlText;
    std::vector<size_t> XmlItemStart;
    // Where each node came from in the tree builder's text, filled by the
    // conversion; what of that text each token showed in the HTML view and
    // where each HTML view item starts in the shown text; which node wrote
    // each piece of XmlText; the checker's error (line 0: none).
    std::unique_ptr<THtmlSourceMap> SourceMap;
    struct THtmlSlice {
        int64_t from;  // 1-based position in the tree builder's text
        size_t shown;  // where it starts in the HTML view's text
        size_t length; // characters shown
    };
    std::vector<THtmlSlice> HtmlSlices;
    size_t HtmlShown = 0;
    std::vector<size_t> HtmlItemStart;
    struct TXmlPiece {
        size_t start;
        const TNode* node;
    };
    std::vector<TXmlPiece> XmlPieces;
    int ErrorLine = 0;
    int ErrorColumn = 0;
};
