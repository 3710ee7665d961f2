#include "gui/About.h"

#include "gui/RichView.h"

#include <QDesktopServices>
#include <QPushButton>
#include <cstdlib>

#ifndef ORTAVIX_VERSION
#define ORTAVIX_VERSION ""
#endif

const char* const TAboutDialog::WebsiteUrl = "https://ortavix.example.org/";
const char* const TAboutDialog::ReportUrl = "https://ortavix.example.org/issues/";

std::string VersionText(const char* versionInfo)
{
    unsigned parts[4] = {0, 0, 0, 0};
    if (versionInfo != nullptr) {
        const char* p = versionInfo;
        for (int i = 0; i < 4 && *p != '\0'; ++i) {
            if (*p < '0' || *p > '9')
                return "0.0.0.0";
            unsigned long v = std::strtoul(p, const_cast<char**>(&p), 10);
            parts[i] = static_cast<unsigned>(v & 0xFFFF);
            if (*p == '.')
                ++p;
            else if (*p != '\0')
                return "0.0.0.0";
        }
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "."
        + std::to_string(parts[3]);
}

TAboutDialog::TAboutDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Quenvale - Ortavix"));
    setFixedSize(426, 283);
    setModal(true);

    AboutMemo = new TRichView(this);
    AboutMemo->setObjectName(QStringLiteral("AboutMemo"));
    AboutMemo->setGeometry(8, 8, 409, 237);
    AboutMemo->setTextInteractionFlags(Qt::TextSelectableByMouse); // no caret in a read-only box
    AboutMemo->setRVStyle(std::make_shared<const TRVStyle>(makeAboutStyle()));
    AboutMemo->OnJump = [this](TRichView&, int linkNo) { AboutMemoJump(linkNo); };

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(168, 250, 75, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

    OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    FormCreate();
}

void TAboutDialog::FormCreate()
{
    AboutMemo->addLine(u"Quenvale - Ortavix", 0);
    AboutMemo->addLine(u"", 0);
    std::string version = "Version: " + VersionText(ORTAVIX_VERSION);
    AboutMemo->addLine(std::u16string(version.begin(), version.end()), 0);
    AboutMemo->addLine(u"", 0);
    AboutMemo->addLine(u"Website:", 0);
    std::string web = WebsiteUrl;
    AboutMemo->addLine(std::u16string(web.begin(), web.end()), 4);
    AboutMemo->addLine(u"", 0);
    AboutMemo->addLine(u"Report errors at:", 0);
    std::string report = ReportUrl;
    AboutMemo->addLine(std::u16string(report.begin(), report.end()), 4);
    AboutMemo->addLine(u"", 0);
    AboutMemo->addLine(u"Copyright (c) Quenvale. All rights reserved.", 0);
    AboutMemo->addLine(u"Turns HTML as found on the web into well-formed XML.", 0);
    AboutMemo->format();
}

void TAboutDialog::AboutMemoJump(int linkNo)
{
    if (!OpenUrl)
        return;
    if (linkNo == 0)
        OpenUrl(QUrl(QString::fromLatin1(WebsiteUrl)));
    else if (linkNo == 1)
        OpenUrl(QUrl(QString::fromLatin1(ReportUrl)));
}
