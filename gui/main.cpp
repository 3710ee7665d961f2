// ortavix: the desktop program. An optional argument names a file or an
// http URL to open at start; "--encoding=auto|NAME" reads pages as
// ortavixcl does with that option. With ORTAVIX_SCREENSHOT set to a file name the
// program saves a picture of its window there (PNG) and ends, so that the
// window can be looked at from a script.
#include "gui/Main.h"
#include "text/Encoding.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quenvale"));
    QApplication::setApplicationName(QStringLiteral("ortavix"));
    QApplication::setApplicationVersion(QStringLiteral(ORTAVIX_VERSION));

    // "--encoding=auto|NAME" (or "--encoding NAME") anywhere; the first other
    // argument is the name to open.
    const QStringList args = QApplication::arguments();
    std::string encodingMode;
    QString name;
    for (int i = 1; i < args.size(); ++i) {
        QString a = args.at(i);
        QString value;
        if (a.startsWith(QStringLiteral("--encoding="))) {
            value = a.mid(11);
        } else if (a == QStringLiteral("--encoding") && i + 1 < args.size()) {
            value = args.at(++i);
        } else {
            if (name.isEmpty())
                name = a;
            continue;
        }
        encodingMode = value.toStdString();
        if (!encoding::isKnownName(encodingMode)) {
            std::fprintf(stderr, "Unknown encoding: %s\n", encodingMode.c_str());
            return 1;
        }
    }

    TMainForm form;
    form.setEncodingMode(encodingMode);
    form.show();
    if (!name.isEmpty())
        QTimer::singleShot(0, &form, [&form, name]() { form.openFromCommand(name); });

    const QString shot = qEnvironmentVariable("ORTAVIX_SCREENSHOT");
    if (!shot.isEmpty()) {
        // Leaves every event loop, an error box's included, once saved.
        QTimer::singleShot(1500, &form, [&form, shot]() {
            int rc = 0;
            if (!form.grab().save(shot, "PNG")) {
                std::fprintf(stderr, "ortavix: cannot save the screenshot to %s\n", qPrintable(shot));
                rc = 1;
            }
            QApplication::closeAllWindows();
            QCoreApplication::exit(rc);
        });
    }
    return app.exec();
}
