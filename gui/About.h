// The about box: product title, version, the product's web page and its
// error-report page as links, and the maker's notice.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>
#include <string>

class TRichView;
class QPushButton;

// Four unsigned 16-bit numbers joined by "." from the version the build
// stamped into the program ("1.2.0.4"); "0.0.0.0" when there is none.
std::string VersionText(const char* versionInfo);

class TAboutDialog : public QDialog {
    Q_OBJECT
public:
    static const char* const WebsiteUrl;
    static const char* const ReportUrl;

    explicit TAboutDialog(QWidget* parent = nullptr);

    TRichView* AboutMemo;
    QPushButton* btnOK;

    // How a page is handed to the desktop's browser (replaceable for tests).
    std::function<void(const QUrl&)> OpenUrl;

    void AboutMemoJump(int linkNo);

private:
    void FormCreate();
};
