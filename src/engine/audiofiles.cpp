#include "engine/audiofiles.h"

#include "engine/filename.h"

#include <QCollator>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <optional>
#include <sys/stat.h>
#include <utility>

namespace orvane::AudioFiles {

namespace {

// A folder's identity (device and inode), so a link back into it is recognised.
std::optional<std::pair<quint64, quint64>> folderKey(const QString& path) {
    struct stat st {};
    if (stat(encodeFileName(path).constData(), &st) != 0)
        return std::nullopt;
    return std::make_pair(quint64(st.st_dev), quint64(st.st_ino));
}

// Runs of digits compare as numbers, the text between them by the collator (case-insensitive).
// Done by hand: QCollator's numeric mode needs ICU, which not every Qt build has.
int naturalCompare(const QString& a, const QString& b, const QCollator& collator) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a.at(i).isDigit(), db = b.at(j).isDigit();
        qsizetype ei = i, ej = j;
        while (ei < a.size() && a.at(ei).isDigit() == da)
            ++ei;
        while (ej < b.size() && b.at(ej).isDigit() == db)
            ++ej;
        const QStringView ra = QStringView(a).mid(i, ei - i), rb = QStringView(b).mid(j, ej - j);
        int c = 0;
        if (da && db) {
            QStringView na = ra, nb = rb;
            while (na.size() > 1 && na.front() == QLatin1Char('0'))
                na = na.mid(1);
            while (nb.size() > 1 && nb.front() == QLatin1Char('0'))
                nb = nb.mid(1);
            c = na.size() != nb.size() ? (na.size() < nb.size() ? -1 : 1) : na.compare(nb);
        } else {
            c = collator.compare(ra, rb);
        }
        if (c != 0)
            return c;
        i = ei;
        j = ej;
    }
    return (a.size() - i) < (b.size() - j) ? -1 : (a.size() - i) > (b.size() - j) ? 1 : 0;
}

} // namespace

const QStringList& extensions() {
    static const QStringList list{"mp3",  "m4a", "aac", "wav",  "aiff",
                                  "flac", "ogg", "oga", "opus", "wv"};
    return list;
}

bool isAudioName(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot > path.lastIndexOf(QLatin1Char('/')) &&
           extensions().contains(path.mid(dot + 1).toLower());
}

QList<QUrl> collect(const QList<QUrl>& urls) {
    struct Found {
        QString name, path;
    };
    QList<Found> files;
    QSet<std::pair<quint64, quint64>> visited;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (!isFolder(path)) {
            if (isAudioName(path))
                files.append({QFileInfo(path).fileName(), path});
            continue;
        }
        QStringList pending{path};
        while (!pending.isEmpty()) {
            const QString folder = pending.takeLast();
            const auto key = folderKey(folder);
            if (!key || visited.contains(*key))
                continue;
            visited.insert(*key);
            const QString prefix =
                folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
            for (const FolderEntry& entry : folderEntries(folder)) {
                if (entry.isFolder)
                    pending.append(prefix + entry.name);
                else if (isAudioName(entry.name))
                    files.append({entry.name, prefix + entry.name});
            }
        }
    }
    // The order a file browser shows: by name, case-insensitive, digits as numbers.
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(files.begin(), files.end(), [&collator](const Found& a, const Found& b) {
        return naturalCompare(a.name, b.name, collator) < 0;
    });
    QList<QUrl> found;
    found.reserve(files.size());
    for (const Found& f : files)
        found.append(QUrl::fromLocalFile(f.path));
    return found;
}

} // namespace orvane::AudioFiles
