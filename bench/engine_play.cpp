// Plays files through the engine, with its 20 Hz clock running and no window, for a given
// number of seconds, then exits. Usage: engine_play SECONDS FILE...
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    QTemporaryDir dir;
    QSettings settings(dir.filePath("bench.ini"), QSettings::IniFormat);
    orvane::SystemClock clock;
    orvane::GstPlayerFactory players;
    orvane::AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
    QList<QUrl> files;
    for (const QString& f : args.mid(2))
        files.append(QUrl::fromLocalFile(QFileInfo(f).absoluteFilePath()));
    engine.openExternal(files);
    QTimer::singleShot(int(args.at(1).toDouble() * 1000), &app, &QCoreApplication::quit);
    return app.exec();
}
