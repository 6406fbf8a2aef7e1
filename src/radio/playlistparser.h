#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QUrl>

namespace orvane {

// Playlist files and answers (.m3u/.m3u8, .pls, .xspf, .asx): which kind some bytes are and
// the entries they list. Pure functions over bytes, any thread; linear in the input, whatever
// it holds (lines of any length, NUL bytes, broken markup).
class PlaylistParser {
public:
    enum class Kind { None, M3u, Pls, Xspf, Asx, Hls };

    struct Entry {
        QString location;    // as written: a path or an address, not yet resolved
        QString title;       // #EXTINF's "Artist - Title", TitleN, <title>; empty when none
        double duration = 0; // seconds; 0 when not said
    };

    static constexpr qsizetype kMaxEntries = 100'000;

    // By the name's extension: m3u, m3u8, pls, xspf, asx (any letter case); None otherwise.
    static Kind kindOfName(QStringView path);
    // By an HTTP Content-Type (parameters ignored). None for audio and for generic types.
    // video/x-ms-asf names both ASX playlists and ASF media: Asx here, to be sniffed.
    static Kind kindOfContentType(QByteArrayView contentType);
    // Whether a Content-Type says nothing of what follows (text/plain, octet-stream, none),
    // so the address's extension decides.
    static bool isGenericContentType(QByteArrayView contentType);
    // By the first bytes: "[playlist]", "#EXTM3U" (Hls with any "#EXT-X-" line), "<playlist"
    // (XSPF), "<asx" (any case); None otherwise.
    static Kind sniff(QByteArrayView bytes);

    // The entries of `bytes` read as `kind`, in order, at most `maxEntries`. M3U text is UTF-8
    // when `utf8` is set or when it is valid UTF-8, else in the locale's character set; PLS the
    // same; XSPF and ASX say their own. Hls lists segments, not entries: none.
    static QList<Entry> parse(Kind kind, const QByteArray& bytes, bool utf8 = false,
                              qsizetype maxEntries = kMaxEntries);

    // An entry's location made absolute against the playlist's own address `base`: an address
    // with a scheme as it is (file:// percent-decoded by QUrl), an absolute path as a local file,
    // anything else relative to the base (a local playlist's folder, or the address it came
    // from). XSPF and ASX locations are URI references (percent-encoded); M3U and PLS paths are
    // taken literally (`uriReference` false). An empty location gives an invalid URL.
    static QUrl resolve(const QString& location, const QUrl& base, bool uriReference);
};

} // namespace orvane
