// Reading a track from arbitrary bytes under each of the six extensions: always a track, the
// file name as title when nothing else, never a crash or a hang.
#include "engine/track.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <iterator>

namespace {
QTemporaryDir* scratch = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    scratch = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* extensions[] = {"mp3",  "m4a", "aac",  "wav", "aiff",
                                       "flac", "ogg", "opus", "wv"};
    const char* ext = extensions[size ? data[0] % std::size(extensions) : 0];
    const QString path = scratch->filePath(QStringLiteral("input.%1").arg(ext));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    file.close();
    const orvane::Track track = orvane::Track::load(QUrl::fromLocalFile(path), "en");
    if (track.path() != path || !(track.duration >= 0) ||
        !track.info().startsWith(QString::fromLatin1(ext).toUpper()))
        std::abort();
    return 0;
}
