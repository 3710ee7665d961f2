#include "gui/Main.h"

#include "gui/About.h"
#include "gui/FindBar.h"
#include "gui/IdHTTP.h"
#include "gui/QtText.h"
#include "gui/RichView.h"

#include "dom/DomCore.h"
#include "html/HtmlParser.h"
#include "html/HtmlReader.h"
#include "html/HtmlSourceMap.h"
#include "text/Ansi.h"
#include "text/Encoding.h"
#include "text/Streams.h"
#include "text/Unicode.h"
#include "xml/XpExcept.h"
#include "xml/XpParser.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QToolBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <unistd.h>

namespace {

const char* const AppTitle = "Quenvale - Ortavix";

// Runs a piece of clean-up when a scope ends, also by a failure.
template <class F> class TFinally {
public:
    explicit TFinally(F f) : f_(std::move(f)) {}
    ~TFinally() { f_(); }
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;

private:
    F f_;
};

bool dirWritable(const std::string& dir)
{
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0;
}

std::string dirOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// 1-based line and column of the checker (lines end at CR LF, CR or LF;
// columns count characters, so a surrogate pair is one) as an index into the
// text. Column 0 stands for the line break before the line.
size_t offsetOfLineColumn(const std::u16string& text, int line, int column)
{
    size_t i = 0;
    int cur = 1;
    while (cur < line && i < text.size()) {
        char16_t c = text[i++];
        if (c == u'\r') {
            if (i < text.size() && text[i] == u'\n')
                ++i;
            ++cur;
        } else if (c == u'\n') {
            ++cur;
        }
    }
    if (column < 1)
        return i > 0 && cur > 1 ? i - 1 : i;
    for (int col = 1; col < column && i < text.size(); ++col) {
        char16_t c = text[i];
        if (c == u'\r' || c == u'\n')
            break;
        i += (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
    }
    return i;
}

// Where the character at offset of a text lies in a view whose items start
// at the given offsets (line breaks fall between items): item and offset.
void locateInItems(const std::vector<size_t>& starts, const TRichView& view, size_t offset, int& item, int& off)
{
    auto it = std::upper_bound(starts.begin(), starts.end(), offset);
    item = it == starts.begin() ? 0 : static_cast<int>(it - starts.begin()) - 1;
    size_t rel = offset - std::min(offset, starts[static_cast<size_t>(item)]);
    off = static_cast<int>(std::min(rel, view.item(item).text.size()));
}

// Notes where each item that appending text to a view made starts, as an
// offset in the whole text the view is filled from (base: where text
// begins in it). The items made are the text's last lines; how many the
// view tells.
void noteItemStarts(std::vector<size_t>& starts, const TRichView& view, int before, size_t base,
                    std::u16string_view text)
{
    std::vector<TRichView::TSegment> segs = TRichView::splitLines(text, view.lineBreaks());
    const size_t added = std::min(segs.size(), static_cast<size_t>(std::max(0, view.itemCount() - before)));
    for (size_t k = segs.size() - added; k < segs.size(); ++k)
        starts.push_back(base + segs[k].start);
}

} // namespace

// ---- services ----

bool TFormServices::executeOpenDialog(QWidget* parent, const QString& filter, QString& fileName)
{
    QFileDialog dlg(parent);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setNameFilter(filter);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return false;
    fileName = dlg.selectedFiles().first();
    return true;
}

bool TFormServices::executeSaveDialog(QWidget* parent, const QString& title, const QString& filter,
                                      const QString& defaultExt, QString& fileName)
{
    QFileDialog dlg(parent, title);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setNameFilter(filter);
    dlg.setDefaultSuffix(defaultExt);
    dlg.selectFile(fileName);
    dlg.setSizeGripEnabled(true);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return false;
    fileName = dlg.selectedFiles().first();
    return true;
}

void TFormServices::showError(QWidget* parent, const QString& message)
{
    QMessageBox::critical(parent, QString::fromLatin1(AppTitle), message);
}

void TFormServices::showAbout(TAboutDialog* dialog)
{
    dialog->exec();
}

TMruLocation TMruLocation::standard()
{
    TMruLocation loc;
    const std::string beside = mruFileBesideProgram(qtext::toName(QCoreApplication::applicationFilePath()));
    QString configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    std::string config = configDir.isEmpty() ? std::string() : qtext::toName(configDir + "/ortavix.mru");
    if (dirWritable(dirOf(beside)) || config.empty()) {
        loc.file = beside;
        loc.fallback = config;
    } else {
        loc.file = config;
    }
    return loc;
}

// ---- the window ----

QRect fitOnScreen(const QRect& window, const QRect& available)
{
    // At a large scale factor the described place runs off a small screen:
    // keep the size where it fits, and move the window onto the screen.
    QRect fitted(window.topLeft(), window.size().boundedTo(available.size()));
    if (fitted.right() > available.right())
        fitted.moveRight(available.right());
    if (fitted.bottom() > available.bottom())
        fitted.moveBottom(available.bottom());
    if (fitted.left() < available.left())
        fitted.moveLeft(available.left());
    if (fitted.top() < available.top())
        fitted.moveTop(available.top());
    return fitted;
}

TMainForm::TMainForm(std::unique_ptr<TFormServices> services, TMruLocation mru, QWidget* parent)
    : QMainWindow(parent)
    , Services(services ? std::move(services) : std::make_unique<TFormServices>())
    , MruFile(std::move(mru))
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromLatin1(AppTitle));
    setGeometry(284, 58, 715, 498);
    if (QScreen* where = screen())
        setGeometry(fitOnScreen(geometry(), where->availableGeometry()));
    HTMLStyle = std::make_shared<const TRVStyle>(makeHtmlStyle());
    createActions();
    createComponents();
    FormCreate();
    AboutDialog = new TAboutDialog(this);
    AboutDialog->hide();
}

TMainForm::~TMainForm()
{
    Destroying = true;
    // The views outlive this part of the object; cut them loose first.
    for (TRichView* v : {static_cast<TRichView*>(HTMLMemo), static_cast<TRichView*>(XMLMemo)}) {
        v->OnHScrolled = nullptr;
        v->OnVScrolled = nullptr;
        v->OnCaretMove = nullptr;
    }
    CodeViewPanel->removeEventFilter(this);
    ErrorMsg->removeEventFilter(this);
    ErrorMsg->viewport()->removeEventFilter(this);
    FormDestroy();
}

void TMainForm::createActions()
{
    QStyle* st = style();
    OpenHtmlFile = new QAction(st->standardIcon(QStyle::SP_DialogOpenButton), QStringLiteral("&Open"), this);
    OpenHtmlFile->setObjectName(QStringLiteral("OpenHtmlFile"));
    OpenHtmlFile->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    OpenHtmlFile->setShortcutContext(Qt::WindowShortcut);
    connect(OpenHtmlFile, &QAction::triggered, this, [this]() { OpenHtmlFileExecute(); });

    SaveAsXml = new QAction(st->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("&Save Xml"), this);
    SaveAsXml->setObjectName(QStringLiteral("SaveAsXml"));
    connect(SaveAsXml, &QAction::triggered, this, [this]() { SaveAsXmlExecute(); });

    SaveHtml = new QAction(st->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("Save &Html"), this);
    SaveHtml->setObjectName(QStringLiteral("SaveHtml"));
    connect(SaveHtml, &QAction::triggered, this, [this]() { SaveHtmlExecute(); });

    ExitApplication = new QAction(st->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("E&xit"), this);
    ExitApplication->setObjectName(QStringLiteral("ExitApplication"));
    connect(ExitApplication, &QAction::triggered, this, [this]() { ExitApplicationExecute(); });

    About = new QAction(QStringLiteral("About"), this);
    About->setObjectName(QStringLiteral("About"));
    connect(About, &QAction::triggered, this, [this]() { AboutExecute(); });

    ToggleView = new QAction(QStringLiteral("View Horiz"), this);
    ToggleView->setObjectName(QStringLiteral("ToggleView"));
    ToggleView->setCheckable(true);
    ToggleView->setChecked(true);
    connect(ToggleView, &QAction::triggered, this, [this]() { ToggleViewExecute(); });

    DetectEncoding = new QAction(QStringLiteral("Detect Encoding"), this);
    DetectEncoding->setObjectName(QStringLiteral("DetectEncoding"));
    DetectEncoding->setCheckable(true);
    DetectEncoding->setChecked(false);
    connect(DetectEncoding, &QAction::triggered, this,
            [this](bool checked) { EncodingMode = checked ? "auto" : ""; });

    // The keys people expect of a desktop program.
    SaveAsXml->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    SaveHtml->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    ExitApplication->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    About->setShortcut(QKeySequence(Qt::Key_F1));
    FocusFileName = new QAction(QStringLiteral("Go to Name"), this);
    FocusFileName->setObjectName(QStringLiteral("FocusFileName"));
    FocusFileName->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(FocusFileName, &QAction::triggered, this, [this]() {
        FileEdit->setFocus(Qt::ShortcutFocusReason);
        FileEdit->selectAll();
    });

    // Only a running transfer takes Escape; otherwise it stays the widgets'.
    CancelTransfer = new QAction(QStringLiteral("Stop"), this);
    CancelTransfer->setObjectName(QStringLiteral("CancelTransfer"));
    CancelTransfer->setShortcut(QKeySequence(Qt::Key_Escape));
    CancelTransfer->setEnabled(false);
    connect(CancelTransfer, &QAction::triggered, this, [this]() { HTTP->abort(); });

    addActions({OpenHtmlFile, SaveAsXml, SaveHtml, ExitApplication, About, ToggleView, DetectEncoding,
                FocusFileName, CancelTransfer});
}

void TMainForm::createComponents()
{
    // Control bar: the menu as captioned buttons, then the name and Open.
    MenuToolBar = new QToolBar(QStringLiteral("MenuToolBar"), this);
    MenuToolBar->setObjectName(QStringLiteral("MenuToolBar"));
    MenuToolBar->setMovable(false);
    MenuToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    FileItem = new QMenu(QStringLiteral("&File"), this);
    FileItem->addAction(OpenHtmlFile);
    FileItem->addAction(SaveHtml);
    FileItem->addAction(SaveAsXml);
    FileItem->addAction(ExitApplication);
    ViewItem = new QMenu(QStringLiteral("&View"), this);
    ViewItem->addAction(ToggleView);
    ViewItem->addAction(DetectEncoding);
    HelpItem = new QMenu(QStringLiteral("&Help"), this);
    HelpItem->addAction(About);
    for (QMenu* m : {FileItem, ViewItem, HelpItem}) {
        auto* b = new QToolButton(MenuToolBar);
        b->setText(m->title());
        b->setMenu(m);
        b->setPopupMode(QToolButton::InstantPopup);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setAutoRaise(true);
        b->setMinimumSize(36, 21);
        b->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));
        MenuToolBar->addWidget(b);
    }
    addToolBar(Qt::TopToolBarArea, MenuToolBar);

    ButtonToolBar = new QToolBar(QStringLiteral("ButtonToolBar"), this);
    ButtonToolBar->setObjectName(QStringLiteral("ButtonToolBar"));
    ButtonToolBar->setMovable(false);
    FileEdit = new QLineEdit(ButtonToolBar);
    FileEdit->setObjectName(QStringLiteral("FileEdit"));
    FileEdit->setFixedSize(451, 24);
    FileEdit->setToolTip(QStringLiteral("Enter file or url to open and hit Enter"));
    FileEdit->setPlaceholderText(FileEdit->toolTip());
    ButtonToolBar->addWidget(FileEdit);
    MRUOpenPopup = new QMenu(this);
    MRUOpenPopup->setObjectName(QStringLiteral("MRUOpenPopup"));
    connect(MRUOpenPopup, &QMenu::aboutToShow, this, [this]() { MRUOpenPopupPopup(); });
    OpenToolButton = new QToolButton(ButtonToolBar);
    OpenToolButton->setObjectName(QStringLiteral("OpenToolButton"));
    OpenToolButton->setDefaultAction(OpenHtmlFile);
    OpenToolButton->setMenu(MRUOpenPopup);
    OpenToolButton->setPopupMode(QToolButton::MenuButtonPopup);
    OpenToolButton->setMinimumSize(26, 24);
    ButtonToolBar->addWidget(OpenToolButton);
    addToolBar(Qt::TopToolBarArea, ButtonToolBar);

    // Views, error pane, status bar.
    auto* central = new QWidget(this);
    auto* lay = new QVBoxLayout(central);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);

    CodeViewPanel = new QWidget(central);
    CodeViewPanel->setObjectName(QStringLiteral("CodeViewPanel"));
    auto* panelLay = new QVBoxLayout(CodeViewPanel);
    panelLay->setContentsMargins(0, 0, 0, 0);
    ViewSplitter = new QSplitter(Qt::Vertical, CodeViewPanel);
    ViewSplitter->setObjectName(QStringLiteral("ViewSplitter"));
    ViewSplitter->setHandleWidth(3);
    ViewSplitter->setChildrenCollapsible(false);
    HTMLMemo = new TRichViewEdit(ViewSplitter);
    HTMLMemo->setObjectName(QStringLiteral("HTMLMemo"));
    HTMLMemo->setRVStyle(HTMLStyle);
    HTMLMemo->setDelimiters(QStringLiteral("\""));
    XMLMemo = new TRichViewEdit(ViewSplitter);
    XMLMemo->setObjectName(QStringLiteral("XMLMemo"));
    XMLMemo->setRVStyle(HTMLStyle);
    // Its lines are the checker's lines, so that a reported line and
    // column can be found by eye.
    XMLMemo->setLineBreaks(TRichView::lbXml);
    for (TRichView* v : {static_cast<TRichView*>(HTMLMemo), static_cast<TRichView*>(XMLMemo)})
        v->setMinimumSize(0, 0);
    ViewSplitter->addWidget(HTMLMemo);
    ViewSplitter->addWidget(XMLMemo);
    ViewSplitter->setSizes({164, 164});
    panelLay->addWidget(ViewSplitter);
    CodeViewPanel->installEventFilter(this);
    lay->addWidget(CodeViewPanel, 1);
    FindBar = new TFindBar(CodeViewPanel, {HTMLMemo, XMLMemo}, this);
    ViewItem->addSeparator();
    ViewItem->addActions({FindBar->Find, FindBar->FindNext, FindBar->FindPrevious});

    ErrorMsg = new QPlainTextEdit(central);
    ErrorMsg->setObjectName(QStringLiteral("ErrorMsg"));
    ErrorMsg->setFixedHeight(53);
    ErrorMsg->setLineWrapMode(QPlainTextEdit::NoWrap);
    ErrorMsg->setReadOnly(true);
    ErrorMsg->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    ErrorMsg->installEventFilter(this);
    ErrorMsg->viewport()->installEventFilter(this);
    lay->addWidget(ErrorMsg);
    setCentralWidget(central);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setFixedHeight(19);
    StatusBar->setSizeGripEnabled(true);
    // Each view's line and column stand beside its item panel; they fit
    // five-digit lines and four-digit columns.
    const int lineWidth = StatusBar->fontMetrics().horizontalAdvance(QStringLiteral("Ln 00000 Col 0000")) + 8;
    const int widths[5] = {128, 150, 50, lineWidth, lineWidth};
    for (int i = 0; i < 5; ++i) {
        StatusPanels[i] = new QLabel(StatusBar);
        StatusPanels[i]->setFrameShape(QFrame::Panel);
        StatusPanels[i]->setFrameShadow(QFrame::Sunken);
        if (i != 2)
            StatusPanels[i]->setFixedWidth(widths[i]);
        else
            StatusPanels[i]->setMinimumWidth(widths[i]);
    }
    StatusPanels[3]->setToolTip(QStringLiteral("Line and column of the caret in the HTML view"));
    StatusPanels[4]->setToolTip(QStringLiteral("Line and column of the caret in the XML view"));
    for (int i : {0, 1, 3, 2, 4})
        StatusBar->addWidget(StatusPanels[i], i == 2 ? 1 : 0);
    setStatusBar(StatusBar);

    HTTP = new TIdHTTP(this);
    HTTP->OnWork = [this](TWorkMode mode, int64_t count) { HTTPWork(mode, count); };
    HTMLMemo->OnHScrolled = [this](TRichView&) { HTMLMemoHScrolled(); };
    HTMLMemo->OnVScrolled = [this](TRichView&) { HTMLMemoVScrolled(); };
    XMLMemo->OnHScrolled = [this](TRichView&) { XMLMemoHScrolled(); };
    XMLMemo->OnVScrolled = [this](TRichView&) { XMLMemoVScrolled(); };
    HTMLMemo->OnCaretMove = [this](TRichView&) { HTMLMemoCaretMove(); };
    XMLMemo->OnCaretMove = [this](TRichView&) { XMLMemoCaretMove(); };
    connect(HTMLMemo, &TRichView::caretMoved, this, [this]() { ShowCaretLine(3, *HTMLMemo); });
    connect(XMLMemo, &TRichView::caretMoved, this, [this]() { ShowCaretLine(4, *XMLMemo); });
}

void TMainForm::FormCreate()
{
    if (!MruFile.file.empty()) {
        try {
            MruList = loadMruFile(MruFile.file);
        } catch (const Exception&) {
            // An unreadable list starts empty; it is written anew at exit.
        }
    }
    HtmlBuilder = std::make_unique<THtmlParser>();
    HtmlBuilder->onToken = [this](THtmlReader& r) { AddSourceToken(r); };
    SourceMap = std::make_unique<THtmlSourceMap>();
    HtmlBuilder->setSourceMap(SourceMap.get());
    xmlParser = std::make_unique<TXpParser>();
    xmlParser->RaiseErrors = true;
    xmlParser->UserName = "anonymous";
}

void TMainForm::FormDestroy()
{
    // Written in every case; when the usual place refuses, the fallback
    // (its folder made first) keeps the names; when both refuse, the user
    // is told rather than losing the list silently.
    std::string failure;
    bool saved = false;
    const std::string* places[2] = {&MruFile.file, &MruFile.fallback};
    for (const std::string* path : places) {
        if (saved || path->empty())
            continue;
        try {
            if (path == &MruFile.fallback)
                QDir().mkpath(QFileInfo(qtext::fromName(*path)).absolutePath());
            saveMruFile(MruList, *path);
            saved = true;
        } catch (const Exception& e) {
            if (failure.empty())
                failure = e.message();
        }
    }
    if (!saved && !failure.empty())
        Services->showError(this, QStringLiteral("The recently-used list could not be saved.\n")
                                      + qtext::fromMessage(failure));
    HtmlBuilder.reset();
    Document.reset();
    SourceMap.reset();
    xmlParser.reset();
    MruList.clear();
}

template <class F> void TMainForm::command(F&& f)
{
    try {
        f();
    } catch (const ETransferCancelled&) {
        // The user stopped it; the error pane says so.
    } catch (...) {
        if (!CloseRequested)
            reportFailure();
    }
}

void TMainForm::reportFailure()
{
    try {
        throw;
    } catch (const Exception& e) {
        Services->showError(this, qtext::fromMessage(e.message()));
    } catch (const std::bad_alloc&) {
        Services->showError(this, QStringLiteral("Out of memory"));
    } catch (const std::exception& e) {
        Services->showError(this, qtext::fromMessage(e.what()));
    } catch (...) {
        Services->showError(this, QStringLiteral("Unknown failure"));
    }
}

void TMainForm::setEncodingMode(const std::string& mode)
{
    EncodingMode = mode;
    DetectEncoding->setChecked(!mode.empty());
}

QString TMainForm::statusText(int panel) const
{
    return panel >= 0 && panel < static_cast<int>(std::size(StatusPanels)) ? StatusPanels[panel]->text() : QString();
}

void TMainForm::setStatus(int panel, const QString& text)
{
    StatusPanels[panel]->setText(text);
}

void TMainForm::closeEvent(QCloseEvent* e)
{
    // An open in progress runs on this thread: a transfer that may never
    // end (there is no read time-out) is cut off, and the window closes once
    // the open has unwound.
    if (Busy) {
        CloseRequested = true;
        HTTP->abort();
        e->ignore();
        return;
    }
    QMainWindow::closeEvent(e);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == CodeViewPanel && e->type() == QEvent::Resize && !Destroying)
        FormResize();
    if (ErrorMsg && (watched == ErrorMsg || watched == ErrorMsg->viewport()) && !Destroying && errorPaneEvent(e))
        return true;
    return QMainWindow::eventFilter(watched, e);
}

// A click on a line of the error pane, or Enter in it, leads to the error.
// Enter is kept from the Open command while the pane has the focus.
bool TMainForm::errorPaneEvent(QEvent* e)
{
    switch (e->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(e);
        if ((k->key() != Qt::Key_Return && k->key() != Qt::Key_Enter) || k->modifiers() & ~Qt::KeypadModifier)
            return false;
        e->accept();
        if (e->type() == QEvent::KeyPress)
            ShowErrorCause();
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto* m = static_cast<QMouseEvent*>(e);
        if (m->button() == Qt::LeftButton &&
            !ErrorMsg->cursorForPosition(m->position().toPoint()).block().text().isEmpty())
            ShowErrorCause();
        return false;
    }
    default:
        return false;
    }
}

// ---- commands ----

void TMainForm::OpenHtmlFileExecute()
{
    if (Busy)
        return;
    setStatus(0, QString());
    const QString typed = FileEdit->text();
    if (!typed.isEmpty() && typed != qtext::fromName(LastOpened)) {
        command([&]() { OpenDocument(qtext::toName(typed)); });
        return;
    }
    QString chosen;
    if (Services->executeOpenDialog(this, QStringLiteral("*.html"), chosen))
        command([&]() { OpenDocument(qtext::toName(chosen)); });
}

void TMainForm::openFromCommand(const QString& name)
{
    FileEdit->setText(name);
    OpenHtmlFileExecute();
}

void TMainForm::OpenDocument(const std::string& name)
{
    if (Busy)
        return;
    Busy = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool filled = false;
    TFinally done([&]() {
        // Whatever was converted before a failure is still shown.
        try {
            if (filled && !HTMLMemo->isFormatted())
                HTMLMemo->format();
            if (filled && !XMLMemo->isFormatted())
                XMLMemo->format();
        } catch (...) {
            // The open already failed; its own message is the one to show.
        }
        QApplication::restoreOverrideCursor();
        Busy = false;
        if (CloseRequested)
            QTimer::singleShot(0, this, [this]() { close(); });
    });

    // Nothing of the last page may outlive this open, whether it succeeds
    // or fails.
    for (int panel = 0; panel < static_cast<int>(std::size(StatusPanels)); ++panel)
        setStatus(panel, QString());
    ErrorMsg->clear();
    ErrorLine = 0;
    XmlText.clear();
    XmlItemStart.clear();
    HtmlItemStart.clear();
    HtmlSlices.clear();
    HtmlShown = 0;
    XmlPieces.clear();
    HTMLMemo->clear();
    XMLMemo->clear();
    Uri.setURI(name);
    TWideStringList list;
    TMemoryStream stream;
    std::string httpCharset;
    if (ansi::upper(Uri.Protocol) == "HTTP") {
        AddToMru(name);
        HTTP->ResponseContentType.clear();
        const std::string url = Uri.getURI();
        // The window stays usable during the transfer; Escape and the close
        // box stop it, and any stop is told in the error pane.
        CancelTransfer->setEnabled(true);
        QApplication::changeOverrideCursor(Qt::BusyCursor);
        TFinally transferEnds([&]() {
            CancelTransfer->setEnabled(false);
            QApplication::changeOverrideCursor(Qt::WaitCursor);
        });
        try {
            HTTP->get(url, stream);
        } catch (const Exception& e) {
            ErrorMsg->setPlainText(QStringLiteral("Open stopped: ") + qtext::fromMessage(e.message()));
            throw;
        }
        httpCharset = encoding::charsetFromContentType(HTTP->ResponseContentType);
    } else if (!Uri.Protocol.empty()) {
        throw Exception("URI Protocol not supported");
    } else {
        stream.loadFromFile(name);
        AddToMru(name);
    }
    stream.setPosition(0);
    encoding::TChoice choice;
    if (!EncodingMode.empty())
        choice = encoding::choose(stream.bytes(), EncodingMode, httpCharset);
    if (choice.decodedAtLoad())
        list.setText(encoding::decode(stream.bytes(), choice));
    else
        list.loadFromStream(stream);

    FileEdit->setText(qtext::fromName(name));
    LastOpened = name;
    TokenStart = 1;
    HTMLMemo->clear();
    XMLMemo->clear();
    XmlText.clear();
    XmlItemStart.clear();
    HtmlItemStart.clear();
    HtmlSlices.clear();
    HtmlShown = 0;
    filled = true;
    if (Document)
        Document->clear();
    const std::u16string source = list.text();
    SourceText = source;
    SourcePos = 0;
    TFinally forget([&]() { SourceText = {}; });
    Document = HtmlBuilder->parseString(source);
    // The view shows all of the text, also what follows the last token.
    if (SourcePos < source.size())
        AddHtmlText(TokenStart, source.substr(SourcePos), 0);
    if (Document && !EncodingMode.empty()) {
        Document->decodedAtLoad = choice.decodedAtLoad();
        // The tree builder reads the charset only from a meta's content.
        if (Document->charset.empty())
            Document->charset = widen(choice.writerCharset());
    }
    if (!EncodingMode.empty())
        setStatus(0, QString::fromStdString(choice.name + " " + choice.source));
    // Laid out first, so that the jump to an error in the XML view takes
    // the source view along.
    HTMLMemo->format();
    ShowXml();
    if (ErrorLine > 0)
        ShowSourceOfXmlCaret(false);
}

void TMainForm::ShowXml()
{
    XMLMemo->clear();
    XmlText.clear();
    XmlItemStart.clear();
    XmlPieces.clear();
    ErrorLine = 0;
    if (Document) {
        Document->onWriteText = [this](const std::u16string& text, int nodeType) { AddXmlText(text, nodeType); };
        TFinally unbind([&]() { Document->onWriteText = nullptr; });
        Document->toXML();
    }
    CheckXml();
    XMLMemo->format();
}

void TMainForm::CheckXml()
{
    TMemoryStream stream;
    if (!Document)
        return;
    // saveToStream writes the byte order mark and toXML; only the mark
    // means the XML text is empty.
    Document->saveToStream(stream);
    if (stream.size() <= 2) {
        // Nothing to check; earlier lines belong to another page.
        ErrorMsg->clear();
        return;
    }
    stream.setPosition(0);
    try {
        xmlParser->ParseFromStream(stream);
    } catch (const EXpParserError& e) {
        ErrorLine = std::max(1, e.LineNo);
        ErrorColumn = e.ColumnNo;
        MarkXmlError(e.LineNo, e.ColumnNo);
        XMLMemo->setFocus();
    } catch (const EXpFilterError&) {
        // Not a parser error: the command fails, but the pane tells why.
        showErrorLines();
        throw;
    }
    showErrorLines();
}

void TMainForm::showErrorLines()
{
    QStringList lines;
    for (const std::string& line : xmlParser->ErrorLines)
        lines << qtext::fromMessage(line);
    ErrorMsg->setPlainText(lines.join(QLatin1Char('\n')));
}

void TMainForm::MarkXmlError(int line, int column)
{
    if (XmlItemStart.empty())
        return;
    size_t from = offsetOfLineColumn(XmlText, line, column);
    size_t to = from;
    for (int n = 0; n < 10 && to < XmlText.size(); ++n) {
        char16_t c = XmlText[to];
        to += (c >= 0xD800 && c <= 0xDBFF && to + 1 < XmlText.size()) ? 2 : 1;
    }
    int si = 0, so = 0, ei = 0, eo = 0;
    locateInItems(XmlItemStart, *XMLMemo, from, si, so);
    locateInItems(XmlItemStart, *XMLMemo, to, ei, eo);
    XMLMemo->setSelection(si, so, ei, eo);
}

void TMainForm::ShowErrorCause()
{
    if (Busy || ErrorLine <= 0 || XmlItemStart.empty())
        return;
    // The source first: the XML view then scrolls to the error, if need be,
    // and the HTML view follows it.
    MarkXmlError(ErrorLine, ErrorColumn);
    ShowSourceOfXmlCaret(true);
    MarkXmlError(ErrorLine, ErrorColumn);
    XMLMemo->setFocus();
}

const TNode* TMainForm::xmlNodeAt(size_t offset) const
{
    auto it = std::upper_bound(XmlPieces.begin(), XmlPieces.end(), offset,
                               [](size_t at, const TXmlPiece& p) { return at < p.start; });
    return it == XmlPieces.begin() ? nullptr : std::prev(it)->node;
}

void TMainForm::ShowSourceOfXmlCaret(bool reveal)
{
    if (!SourceMap || XmlItemStart.empty() || !HTMLMemo->isFormatted() || !XMLMemo->isFormatted())
        return;
    int item = 0, off = 0;
    XMLMemo->getSelectionStart(item, off);
    if (item < 0 || item >= XMLMemo->itemCount() || static_cast<size_t>(item) >= XmlItemStart.size())
        return;
    const size_t offset = XmlItemStart[static_cast<size_t>(item)] +
                          std::min(static_cast<size_t>(std::max(0, off)), XMLMemo->item(item).text.size());
    const TNode* node = xmlNodeAt(offset);
    const THtmlSourceMap::TRange range = node ? SourceMap->rangeOf(node) : THtmlSourceMap::TRange{};

    // Without reveal neither view may move: the HTML view is put back where
    // it was, with its scroll handlers away meanwhile so that the XML view,
    // whose caret the user just placed, does not follow it about.
    const int h = HTMLMemo->hPosition();
    const int v = HTMLMemo->vPosition();
    std::function<void(TRichView&)> onH, onV;
    if (!reveal) {
        onH = std::move(HTMLMemo->OnHScrolled);
        onV = std::move(HTMLMemo->OnVScrolled);
        HTMLMemo->OnHScrolled = nullptr;
        HTMLMemo->OnVScrolled = nullptr;
    }
    TFinally restore([&]() {
        if (reveal)
            return;
        HTMLMemo->setHPosition(h);
        HTMLMemo->setVPosition(v);
        HTMLMemo->OnHScrolled = std::move(onH);
        HTMLMemo->OnVScrolled = std::move(onV);
    });
    HTMLMemo->clearHighlight();
    if (range.empty() || HtmlItemStart.empty() || HtmlSlices.empty()) {
        // A made-up node has no source: nothing is highlighted.
        if (reveal) {
            QTextCursor c = HTMLMemo->textCursor();
            c.clearSelection();
            HTMLMemo->setTextCursor(c);
        }
        return;
    }
    int si = 0, so = 0, ei = 0, eo = 0;
    locateInItems(HtmlItemStart, *HTMLMemo, htmlShownOffset(range.from), si, so);
    locateInItems(HtmlItemStart, *HTMLMemo, htmlShownOffset(range.to), ei, eo);
    // Asked for (the error line): the source is selected. Followed from the
    // caret: it is only marked, so the HTML view keeps its own caret.
    if (reveal)
        HTMLMemo->setSelection(si, so, ei, eo);
    else
        HTMLMemo->setHighlight(si, so, ei, eo);
}

void TMainForm::AddToMru(const std::string& name)
{
    addToMru(MruList, name);
}

void TMainForm::SaveAsXmlExecute()
{
    if (Busy)
        return;
    QString chosen;
    if (!Services->executeSaveDialog(this, QStringLiteral("Save XML to file"), QStringLiteral("*.xml"),
                                     QStringLiteral("xml"), chosen))
        return;
    command([&]() {
        if (Document)
            Document->saveToFile(qtext::toName(chosen));
    });
}

void TMainForm::SaveHtmlExecute()
{
    if (Busy)
        return;
    QString chosen;
    if (!Services->executeSaveDialog(this, QStringLiteral("Save HTML to file"), QStringLiteral("*.html"),
                                     QStringLiteral("html"), chosen))
        return;
    command([&]() {
        std::string error;
        if (!HTMLMemo->saveText(qtext::toName(chosen), 0, &error))
            throw Exception(error.empty() ? "Cannot save \"" + qtext::toName(chosen) + "\"" : error);
    });
}

void TMainForm::ExitApplicationExecute()
{
    close();
}

void TMainForm::AboutExecute()
{
    Services->showAbout(AboutDialog);
}

void TMainForm::MRUOpenPopupPopup()
{
    MRUOpenPopup->clear();
    for (size_t i = 0; i < MruList.size(); ++i) {
        QString caption = qtext::fromWide(mruCaption(i, MruList[i]));
        // "&" in a name is shown as itself, not as an accelerator.
        caption = caption.left(3) + caption.mid(3).replace(QLatin1Char('&'), QLatin1String("&&"));
        QAction* a = MRUOpenPopup->addAction(caption);
        a->setData(qtext::fromName(MruList[i]));
        connect(a, &QAction::triggered, this, [this, a]() { MruItemClick(a); });
    }
}

void TMainForm::MruItemClick(QAction* item)
{
    if (Busy || item == nullptr)
        return;
    // The name is kept beside the caption so that names holding "&" survive.
    const QString name = item->data().toString();
    if (name != FileEdit->text())
        command([&]() { OpenDocument(qtext::toName(name)); });
}

// ---- views ----

void TMainForm::AddSourceToken(THtmlReader& reader)
{
    const int32_t kind = reader.nodeType();
    int style = kind < 9 && kind >= 0 ? kind : 0;
    if (kind == HTML_END_TAG)
        style = 1;
    const int64_t pos = reader.position();
    const std::u16string slice = reader.htmlSlice(TokenStart, pos);
    const int64_t from = TokenStart;
    TokenStart = pos;
    // The view shows the text as given: a character the tokenizer inserted
    // as a repair (an "=" before a quote) matches no character of it.
    size_t n = 0;
    for (char16_t c : slice)
        if (SourcePos + n < SourceText.size() && SourceText[SourcePos + n] == c)
            ++n;
    AddHtmlText(from, SourceText.substr(SourcePos, n), style);
    SourcePos += n;
}

void TMainForm::AddHtmlText(int64_t from, std::u16string_view shown, int style)
{
    const size_t base = HtmlShown;
    const int before = HTMLMemo->itemCount();
    HTMLMemo->addText(shown, style);
    noteItemStarts(HtmlItemStart, *HTMLMemo, before, base, shown);
    HtmlSlices.push_back({from, base, shown.size()});
    HtmlShown += shown.size();
}

size_t TMainForm::htmlShownOffset(int64_t position) const
{
    auto it = std::upper_bound(HtmlSlices.begin(), HtmlSlices.end(), position,
                               [](int64_t p, const THtmlSlice& s) { return p < s.from; });
    if (it == HtmlSlices.begin())
        return 0;
    --it;
    return it->shown + std::min(static_cast<size_t>(position - it->from), it->length);
}

void TMainForm::AddXmlText(const std::u16string& text, int nodeType)
{
    const size_t base = XmlText.size();
    const int before = XMLMemo->itemCount();
    XMLMemo->addText(text, nodeType);
    noteItemStarts(XmlItemStart, *XMLMemo, before, base, text);
    XmlPieces.push_back({base, TDocument::writingNode()});
    XmlText += text;
}

void TMainForm::ToggleViewExecute()
{
    HTMLMemo->suspendNotifications();
    XMLMemo->suspendNotifications();
    ViewSplitter->setOrientation(ToggleView->isChecked() ? Qt::Vertical : Qt::Horizontal);
    LayoutViews();
    XMLMemo->resumeNotifications();
    HTMLMemo->resumeNotifications();
}

void TMainForm::FormResize()
{
    HTMLMemo->suspendNotifications();
    XMLMemo->suspendNotifications();
    LayoutViews();
    XMLMemo->resumeNotifications();
    HTMLMemo->resumeNotifications();
}

void TMainForm::LayoutViews()
{
    const bool horiz = ToggleView->isChecked();
    const int total = horiz ? CodeViewPanel->height() : CodeViewPanel->width();
    const int first = std::max(0, total / 2 - 3);
    const int rest = std::max(0, total - first - ViewSplitter->handleWidth());
    ViewSplitter->setSizes({first, rest});
}

void TMainForm::HTMLMemoHScrolled()
{
    XMLMemo->OnHScrolled = nullptr;
    XMLMemo->setHPosition(HTMLMemo->hPosition());
    XMLMemo->OnHScrolled = [this](TRichView&) { XMLMemoHScrolled(); };
}

void TMainForm::HTMLMemoVScrolled()
{
    XMLMemo->OnVScrolled = nullptr;
    XMLMemo->setVPosition(HTMLMemo->vPosition());
    XMLMemo->OnVScrolled = [this](TRichView&) { XMLMemoVScrolled(); };
}

void TMainForm::XMLMemoHScrolled()
{
    HTMLMemo->OnHScrolled = nullptr;
    HTMLMemo->setHPosition(XMLMemo->hPosition());
    HTMLMemo->OnHScrolled = [this](TRichView&) { HTMLMemoHScrolled(); };
}

void TMainForm::XMLMemoVScrolled()
{
    HTMLMemo->OnVScrolled = nullptr;
    HTMLMemo->setVPosition(XMLMemo->vPosition());
    HTMLMemo->OnVScrolled = [this](TRichView&) { HTMLMemoVScrolled(); };
}

void TMainForm::HTMLMemoCaretMove()
{
    int item = 0, off = 0;
    HTMLMemo->getSelectionStart(item, off);
    setStatus(1, QStringLiteral("HTML Segm: %1 Pos: %2").arg(item).arg(off));
}

void TMainForm::XMLMemoCaretMove()
{
    int item = 0, off = 0;
    XMLMemo->getSelectionStart(item, off);
    setStatus(2, QStringLiteral("Xml Segm: %1 Pos: %2").arg(item).arg(off));
    if (!Busy)
        ShowSourceOfXmlCaret(false);
}

void TMainForm::ShowCaretLine(int panel, TRichView& view)
{
    int line = 0, column = 0;
    view.caretLineColumn(line, column);
    setStatus(panel, QStringLiteral("Ln %1 Col %2").arg(line).arg(column));
}

void TMainForm::HTTPWork(TWorkMode, int64_t count)
{
    setStatus(0, QStringLiteral("HTTP: %1").arg(count));
    StatusPanels[0]->repaint();
}
