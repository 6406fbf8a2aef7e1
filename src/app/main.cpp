// Orvane's entry point. Until the window exists, files given on the command line are played
// through the engine and each new item is announced on standard output.
#include "app/appsettings.h"
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"

#include <QApplication>
#include <QFileInfo>
#include <QUrl>
#include <iostream>

namespace {

class ConsoleAnnouncer final : public orvane::Announcer {
public:
    void show(const QString& title, const QString& subtitle, const QByteArray&) override {
        std::cout << "▶ " << title.toStdString() << " — " << subtitle.toStdString() << std::endl;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvane"));
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    const std::unique_ptr<QSettings> settings = orvane::openUserSettings();
    orvane::SystemClock clock;
    orvane::GstPlayerFactory players;
    ConsoleAnnouncer announcer;
    orvane::AudioEngine engine({&clock, &players, settings.get(), nullptr, &announcer, {}});

    QList<QUrl> files;
    const QStringList args = app.arguments().mid(1);
    for (const QString& arg : args) {
        const QUrl url(arg);
        files.append(url.isLocalFile() ? url
                                       : QUrl::fromLocalFile(QFileInfo(arg).absoluteFilePath()));
    }
    if (!files.isEmpty())
        engine.openExternal(files);
    return app.exec();
}
