#include "engine/playlistfile.h"

#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "radio/playlistparser.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QXmlStreamWriter>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvane {

namespace {

// Playlists named inside playlists are read this deep at most; a deeper one is an entry that
// does not open.
constexpr int kMaxNesting = 8;

using FileKey = std::pair<quint64, quint64>; // device and inode

// At most PlaylistFile::kMaxBytes of a regular file, without blocking on a FIFO; nullopt when
// it is not one or cannot be read.
std::optional<QByteArray> readHead(const QString& path, FileKey* key) {
    const int fd =
        ::open(encodeFileName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    *key = {quint64(st.st_dev), quint64(st.st_ino)};
    QByteArray bytes(qsizetype(std::min<qint64>(st.st_size, PlaylistFile::kMaxBytes)),
                     Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n <= 0)
            break;
        got += qsizetype(n);
    }
    ::close(fd);
    bytes.truncate(got);
    return bytes;
}

struct Reader {
    PlaylistFile::Contents out;
    QSet<FileKey> visited;
    qsizetype entries = 0;

    void read(const QString& path, int depth) {
        FileKey key;
        const std::optional<QByteArray> bytes = readHead(path, &key);
        if (!bytes) {
            out.files.append(QUrl::fromLocalFile(path)); // reported as a file that does not open
            return;
        }
        if (visited.contains(key))
            return; // a loop: this playlist is being read, or was
        visited.insert(key);
        PlaylistParser::Kind kind = PlaylistParser::kindOfName(path);
        if (kind == PlaylistParser::Kind::M3u &&
            PlaylistParser::sniff(*bytes) == PlaylistParser::Kind::Hls)
            kind = PlaylistParser::Kind::Hls;
        const bool utf8 = path.endsWith(QLatin1String(".m3u8"), Qt::CaseInsensitive);
        const bool uriReference =
            kind == PlaylistParser::Kind::Xspf || kind == PlaylistParser::Kind::Asx;
        const QUrl base = QUrl::fromLocalFile(path);
        for (const PlaylistParser::Entry& entry :
             PlaylistParser::parse(kind, *bytes, utf8, PlaylistFile::kMaxEntries - entries)) {
            if (entries >= PlaylistFile::kMaxEntries)
                return;
            ++entries;
            const QUrl url = PlaylistParser::resolve(entry.location, base, uriReference);
            const QString scheme = url.scheme().toLower();
            if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
                out.streams.append(
                    {entry.title.isEmpty() ? url.toDisplayString() : entry.title, url.toString()});
            } else if (url.isLocalFile() && PlaylistFile::isPlaylistName(url.toLocalFile()) &&
                       depth < kMaxNesting) {
                read(url.toLocalFile(), depth + 1);
            } else {
                // Anything else is for the adder, which reports what does not open.
                out.files.append(url.isValid() ? url : QUrl(entry.location, QUrl::TolerantMode));
            }
        }
    }
};

// The track's path as the playlist at `folder` (ending in '/') writes it.
QString relativeTo(const QString& folder, const QString& path) {
    return path.startsWith(folder) ? path.sliced(folder.size()) : path;
}

} // namespace

bool PlaylistFile::isPlaylistName(const QString& path) {
    return PlaylistParser::kindOfName(path) != PlaylistParser::Kind::None;
}

PlaylistFile::Contents PlaylistFile::expand(const QList<QUrl>& urls) {
    Contents out;
    QList<QUrl> run;
    const auto flush = [&] {
        if (!run.isEmpty())
            out.files.append(AudioFiles::collect(std::exchange(run, {})));
    };
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && isPlaylistName(url.toLocalFile()) &&
            !isFolder(url.toLocalFile())) {
            flush();
            Contents c = read(url.toLocalFile());
            out.files.append(std::move(c.files));
            out.streams.append(std::move(c.streams));
        } else {
            run.append(url);
        }
    }
    flush();
    return out;
}

PlaylistFile::Contents PlaylistFile::read(const QString& path) {
    Reader reader;
    reader.read(path, 0);
    return std::move(reader.out);
}

bool PlaylistFile::save(const QString& path, const QList<Track>& tracks, QString* error) {
    const QString folder = QFileInfo(path).absolutePath() + QLatin1Char('/');
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (path.endsWith(QLatin1String(".xspf"), Qt::CaseInsensitive)) {
        QXmlStreamWriter xml(&file);
        xml.setAutoFormatting(true);
        xml.writeStartDocument();
        xml.writeStartElement(QStringLiteral("playlist"));
        xml.writeDefaultNamespace(QStringLiteral("http://xspf.org/ns/0/"));
        xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1"));
        xml.writeStartElement(QStringLiteral("trackList"));
        for (const Track& track : tracks) {
            const QString trackPath = track.path();
            const QString relative = relativeTo(folder, trackPath);
            QUrl location;
            if (relative == trackPath)
                location = QUrl::fromLocalFile(trackPath);
            else
                location.setPath(relative, QUrl::DecodedMode);
            xml.writeStartElement(QStringLiteral("track"));
            xml.writeTextElement(QStringLiteral("location"),
                                 QString::fromUtf8(location.toEncoded()));
            if (!track.title.isEmpty())
                xml.writeTextElement(QStringLiteral("title"), track.title);
            if (!track.artist.isEmpty())
                xml.writeTextElement(QStringLiteral("creator"), track.artist);
            if (track.duration > 0)
                xml.writeTextElement(QStringLiteral("duration"),
                                     QString::number(qint64(std::llround(track.duration * 1000))));
            xml.writeEndElement();
        }
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndDocument();
    } else {
        QByteArray text = "#EXTM3U\n";
        for (const Track& track : tracks) {
            const QString shown = track.artist.isEmpty()
                                      ? track.title
                                      : track.artist + QStringLiteral(" - ") + track.title;
            text += "#EXTINF:" +
                    QByteArray::number(track.duration > 0 ? std::llround(track.duration) : -1) +
                    ',' + shown.toUtf8() + '\n';
            text += relativeTo(folder, track.path()).toUtf8() + '\n';
        }
        file.write(text);
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace orvane
