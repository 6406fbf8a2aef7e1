#pragma once

#include "support/testaudio.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace orvane::test {

// An empty file at `relative` below `dir`, its folders made; its path.
inline QString touchFile(const QTemporaryDir& dir, const QString& relative) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    return path;
}

// A sine tone at `relative` below `dir`, written once (a later call finds it there); its path.
// A tone that cannot be written ends the test run: nothing after it would mean anything.
inline QString toneFile(const QTemporaryDir& dir, const QString& relative,
                        AudioFormat format = AudioFormat::Wav, double seconds = 1,
                        double frequency = 440, double amplitude = 0.3) {
    const QString path = dir.filePath(relative);
    QString error;
    if (!QFileInfo::exists(path) && !writeSine(path, format, seconds, frequency, amplitude, &error))
        qFatal("%s: %s", qPrintable(path), qPrintable(error));
    return path;
}

} // namespace orvane::test
