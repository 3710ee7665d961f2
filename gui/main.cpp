// ortavix: the desktop program. An optional argument names a file or an
// http URL to open at start. With ORTAVIX_SCREENSHOT set to a file name the
// program saves a picture of its window there (PNG) and ends, so that the
// window can be looked at from a script.
#include "gui/Main.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quenvale"));
    QApplication::setApplicationName(QStringLiteral("ortavix"));
    QApplication::setApplicationVersion(QStringLiteral(ORTAVIX_VERSION));

    TMainForm form;
    form.show();
    const QStringList args = QApplication::arguments();
    if (args.size() > 1) {
        const QString name = args.at(1);
        QTimer::singleShot(0, &form, [&form, name]() { form.openFromCommand(name); });
    }

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
