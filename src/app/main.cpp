// Orvane's entry point: one instance per user. A second launch hands its files (or a request to
// show the window) to the running one and exits.
#include "app/appsettings.h"
#include "app/orvaneapp.h"
#include "app/singleinstance.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QUrl>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvane"));
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("orvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/orvane.svg")));
    QApplication::setQuitOnLastWindowClosed(false); // the tray keeps it alive

    QStringList paths;
    for (const QString& arg : app.arguments().mid(1)) {
        const QUrl url(arg);
        paths.append(url.isLocalFile() ? url.toLocalFile() : QFileInfo(arg).absoluteFilePath());
    }
    orvane::SingleInstance instance;
    if (instance.forwardToRunning(paths))
        return 0;
    instance.listen();

    orvane::OrvaneApp orvane(orvane::openUserSettings());
    orvane.acceptLaunches(&instance);
    QList<QUrl> files;
    for (const QString& path : paths)
        files.append(QUrl::fromLocalFile(path));
    orvane.openFiles(files); // they wait until the window has appeared
    orvane.start();
    return app.exec();
}
