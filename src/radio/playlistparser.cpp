#include "radio/playlistparser.h"

#include <QDir>
#include <QMap>
#include <QStringDecoder>
#include <QXmlStreamReader>

namespace orvane {

namespace {

bool startsWithNoCase(QByteArrayView text, QByteArrayView prefix) {
    return text.size() >= prefix.size() &&
           text.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

// The text with a UTF-8 byte-order mark and leading white space skipped.
QByteArrayView skipLead(QByteArrayView bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    qsizetype i = 0;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' ||
                                bytes[i] == '\n' || bytes[i] == '\0'))
        ++i;
    return bytes.sliced(i);
}

// "Audio/X-SCPLS; charset=utf-8" gives "audio/x-scpls".
QByteArray mediaType(QByteArrayView contentType) {
    const qsizetype semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.first(semicolon))
        .trimmed()
        .toByteArray()
        .toLower();
}

QString decodeText(const QByteArray& bytes, bool utf8) {
    QByteArrayView view = bytes;
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    if (utf8)
        return QString::fromUtf8(view);
    QStringDecoder strict(QStringDecoder::Utf8);
    QString text = strict(view);
    return strict.hasError() ? QString::fromLocal8Bit(view) : text;
}

// Calls fn(line) for each line, split at CR or LF, trimmed; empty lines skipped.
template <typename Fn> void forEachLine(const QString& text, Fn fn) {
    qsizetype start = 0;
    const qsizetype n = text.size();
    while (start < n) {
        qsizetype end = start;
        while (end < n && text.at(end) != QLatin1Char('\n') && text.at(end) != QLatin1Char('\r'))
            ++end;
        const QStringView line = QStringView(text).sliced(start, end - start).trimmed();
        if (!line.isEmpty() && !fn(line))
            return;
        start = end + 1;
    }
}

QList<PlaylistParser::Entry> parseM3u(const QByteArray& bytes, bool utf8, qsizetype max) {
    QList<PlaylistParser::Entry> entries;
    PlaylistParser::Entry pending;
    forEachLine(decodeText(bytes, utf8), [&](QStringView line) {
        if (line.startsWith(QLatin1Char('#'))) {
            // #EXTINF:<seconds>[ attributes],<Artist - Title>
            if (line.startsWith(QLatin1String("#EXTINF:"), Qt::CaseInsensitive)) {
                const QStringView rest = line.sliced(8);
                const qsizetype comma = rest.indexOf(QLatin1Char(','));
                const QStringView length =
                    (comma < 0 ? rest : rest.first(comma)).trimmed().split(u' ').front();
                pending.duration = std::max(0.0, length.toDouble());
                pending.title = comma < 0 ? QString() : rest.sliced(comma + 1).trimmed().toString();
            }
            return true;
        }
        pending.location = line.toString();
        entries.append(std::move(pending));
        pending = {};
        return entries.size() < max;
    });
    return entries;
}

QList<PlaylistParser::Entry> parsePls(const QByteArray& bytes, bool utf8, qsizetype max) {
    // FileN, TitleN, LengthN in any order; entries in the order of N.
    QMap<qint64, PlaylistParser::Entry> byNumber;
    forEachLine(decodeText(bytes, utf8), [&](QStringView line) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return true;
        const QStringView key = line.first(eq).trimmed();
        const QStringView value = line.sliced(eq + 1).trimmed();
        int field = -1;
        qsizetype digits = 0;
        for (const auto& [name, f] :
             {std::pair{QLatin1String("file"), 0}, std::pair{QLatin1String("title"), 1},
              std::pair{QLatin1String("length"), 2}}) {
            if (key.startsWith(name, Qt::CaseInsensitive)) {
                field = f;
                digits = name.size();
            }
        }
        if (field < 0)
            return true;
        bool ok = false;
        const qint64 number = key.sliced(digits).toLongLong(&ok);
        if (!ok)
            return true;
        auto it = byNumber.find(number);
        if (it == byNumber.end()) {
            if (byNumber.size() >= max)
                return true;
            it = byNumber.insert(number, {});
        }
        if (field == 0)
            it->location = value.toString();
        else if (field == 1)
            it->title = value.toString();
        else
            it->duration = std::max(0.0, value.toDouble());
        return true;
    });
    QList<PlaylistParser::Entry> entries;
    for (auto& entry : byNumber) {
        if (!entry.location.isEmpty())
            entries.append(std::move(entry));
    }
    return entries;
}

QList<PlaylistParser::Entry> parseXspf(const QByteArray& bytes, qsizetype max) {
    QList<PlaylistParser::Entry> entries;
    QXmlStreamReader xml(bytes);
    bool inTrack = false;
    PlaylistParser::Entry entry;
    QString creator;
    while (!xml.atEnd() && entries.size() < max) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = xml.name();
            if (name == QLatin1String("track")) {
                inTrack = true;
                entry = {};
                creator.clear();
            } else if (inTrack && name == QLatin1String("location") && entry.location.isEmpty()) {
                entry.location = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (inTrack && name == QLatin1String("title")) {
                entry.title = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (inTrack && name == QLatin1String("creator")) {
                creator = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (inTrack && name == QLatin1String("duration")) {
                entry.duration = std::max(
                    0.0,
                    xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toDouble() /
                        1000.0);
            }
        } else if (token == QXmlStreamReader::EndElement && inTrack &&
                   xml.name() == QLatin1String("track")) {
            inTrack = false;
            if (!creator.isEmpty())
                entry.title = entry.title.isEmpty() ? creator : creator + " - " + entry.title;
            if (!entry.location.isEmpty())
                entries.append(std::move(entry));
        }
    }
    return entries;
}

// ASX is seldom well-formed XML (any letter case, bare ampersands): read by hand. Each
// <ref href="..."> or <entryref href="..."> gives an entry, in order.
QString unescapeXml(QString text) {
    text.replace(QLatin1String("&lt;"), QLatin1String("<"));
    text.replace(QLatin1String("&gt;"), QLatin1String(">"));
    text.replace(QLatin1String("&quot;"), QLatin1String("\""));
    text.replace(QLatin1String("&apos;"), QLatin1String("'"));
    text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

QList<PlaylistParser::Entry> parseAsx(const QByteArray& bytes, qsizetype max) {
    QList<PlaylistParser::Entry> entries;
    const QString text = decodeText(bytes, false);
    qsizetype pos = 0;
    while (entries.size() < max) {
        const qsizetype open = text.indexOf(QLatin1Char('<'), pos);
        if (open < 0)
            break;
        const qsizetype close = text.indexOf(QLatin1Char('>'), open + 1);
        if (close < 0)
            break; // an unclosed tag: nothing more to read
        pos = close + 1;
        const QStringView tag = QStringView(text).sliced(open + 1, close - open - 1);
        qsizetype nameEnd = 0;
        while (nameEnd < tag.size() && !tag.at(nameEnd).isSpace() && tag.at(nameEnd) != u'/')
            ++nameEnd;
        const QStringView name = tag.first(nameEnd);
        if (name.compare(QLatin1String("ref"), Qt::CaseInsensitive) != 0 &&
            name.compare(QLatin1String("entryref"), Qt::CaseInsensitive) != 0)
            continue;
        // href = "value" | 'value' | value
        const qsizetype at = tag.indexOf(QLatin1String("href"), nameEnd, Qt::CaseInsensitive);
        if (at < 0)
            continue;
        qsizetype i = at + 4;
        while (i < tag.size() && tag.at(i).isSpace())
            ++i;
        if (i >= tag.size() || tag.at(i) != u'=')
            continue;
        ++i;
        while (i < tag.size() && tag.at(i).isSpace())
            ++i;
        if (i >= tag.size())
            continue;
        QStringView value;
        if (tag.at(i) == u'"' || tag.at(i) == u'\'') {
            const qsizetype end = tag.indexOf(tag.at(i), i + 1);
            if (end < 0)
                continue;
            value = tag.sliced(i + 1, end - i - 1);
        } else {
            qsizetype end = i;
            while (end < tag.size() && !tag.at(end).isSpace() && tag.at(end) != u'/')
                ++end;
            value = tag.sliced(i, end - i);
        }
        const QString location = unescapeXml(value.trimmed().toString());
        if (!location.isEmpty())
            entries.append({location, {}, 0});
    }
    return entries;
}

} // namespace

PlaylistParser::Kind PlaylistParser::kindOfName(QStringView path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || path.indexOf(QLatin1Char('/'), dot) >= 0)
        return Kind::None;
    const QStringView ext = path.sliced(dot + 1);
    if (ext.compare(QLatin1String("m3u"), Qt::CaseInsensitive) == 0 ||
        ext.compare(QLatin1String("m3u8"), Qt::CaseInsensitive) == 0)
        return Kind::M3u;
    if (ext.compare(QLatin1String("pls"), Qt::CaseInsensitive) == 0)
        return Kind::Pls;
    if (ext.compare(QLatin1String("xspf"), Qt::CaseInsensitive) == 0)
        return Kind::Xspf;
    if (ext.compare(QLatin1String("asx"), Qt::CaseInsensitive) == 0)
        return Kind::Asx;
    return Kind::None;
}

PlaylistParser::Kind PlaylistParser::kindOfContentType(QByteArrayView contentType) {
    const QByteArray type = mediaType(contentType);
    if (type == "audio/x-scpls" || type == "audio/scpls")
        return Kind::Pls;
    if (type == "audio/x-mpegurl" || type == "audio/mpegurl" || type == "application/x-mpegurl")
        return Kind::M3u;
    if (type == "application/vnd.apple.mpegurl" || type == "application/vnd.apple.mpegurl.audio")
        return Kind::Hls;
    if (type == "application/xspf+xml")
        return Kind::Xspf;
    if (type == "video/x-ms-asf" || type == "video/x-ms-asx" || type == "audio/x-ms-asx" ||
        type == "video/x-ms-wax" || type == "audio/x-ms-wax")
        return Kind::Asx;
    return Kind::None;
}

bool PlaylistParser::isGenericContentType(QByteArrayView contentType) {
    const QByteArray type = mediaType(contentType);
    return type.isEmpty() || type == "text/plain" || type == "application/octet-stream" ||
           type == "binary/octet-stream" || type == "application/x-unknown" || type == "text/xml" ||
           type == "application/xml";
}

PlaylistParser::Kind PlaylistParser::sniff(QByteArrayView bytes) {
    const QByteArrayView head = skipLead(bytes);
    if (startsWithNoCase(head, "[playlist]"))
        return Kind::Pls;
    if (startsWithNoCase(head, "#EXTM3U") || startsWithNoCase(head, "#EXT-X-"))
        return bytes.indexOf("#EXT-X-") >= 0 ? Kind::Hls : Kind::M3u;
    if (startsWithNoCase(head, "<asx"))
        return Kind::Asx;
    if (head.startsWith("<")) {
        // XML: an XSPF playlist's root element, past the declaration and comments.
        const QByteArrayView start = head.first(std::min<qsizetype>(head.size(), 4096));
        if (start.indexOf("<playlist") >= 0 && start.indexOf("xspf.org") >= 0)
            return Kind::Xspf;
        if (start.indexOf("<asx") >= 0 || start.indexOf("<ASX") >= 0)
            return Kind::Asx;
    }
    return Kind::None;
}

QList<PlaylistParser::Entry> PlaylistParser::parse(Kind kind, const QByteArray& bytes, bool utf8,
                                                   qsizetype maxEntries) {
    switch (kind) {
    case Kind::M3u:
        return parseM3u(bytes, utf8, maxEntries);
    case Kind::Pls:
        return parsePls(bytes, utf8, maxEntries);
    case Kind::Xspf:
        return parseXspf(bytes, maxEntries);
    case Kind::Asx:
        return parseAsx(bytes, maxEntries);
    case Kind::Hls:
    case Kind::None:
        break;
    }
    return {};
}

QUrl PlaylistParser::resolve(const QString& location, const QUrl& base, bool uriReference) {
    const QString text = location.trimmed();
    if (text.isEmpty() || text.contains(QChar(0)))
        return {};
    // A scheme of two letters or more (one letter is a Windows drive).
    qsizetype colon = 0;
    while (colon < text.size() &&
           (text.at(colon).isLetterOrNumber() || text.at(colon) == u'+' || text.at(colon) == u'-' ||
            text.at(colon) == u'.') &&
           text.at(colon).unicode() < 128)
        ++colon;
    if (colon >= 2 && colon < text.size() && text.at(colon) == u':' && text.at(0).isLetter())
        return QUrl(text, QUrl::TolerantMode);
    if (uriReference) {
        const QUrl relative(text, QUrl::TolerantMode);
        return relative.isValid() ? base.resolved(relative) : QUrl();
    }
    if (base.isLocalFile()) {
        QString path = text;
        if (!path.contains(QLatin1Char('/')))
            path.replace(QLatin1Char('\\'), QLatin1Char('/')); // written on Windows
        if (path.startsWith(QLatin1Char('/')))
            return QUrl::fromLocalFile(path);
        const QString basePath = base.toLocalFile();
        return QUrl::fromLocalFile(
            QDir::cleanPath(basePath.left(basePath.lastIndexOf(QLatin1Char('/')) + 1) + path));
    }
    QUrl relative;
    relative.setPath(text, QUrl::DecodedMode);
    return base.resolved(relative);
}

} // namespace orvane
