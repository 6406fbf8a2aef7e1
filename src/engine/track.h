#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <cmath>
#include <functional>
#include <optional>

namespace orvane {

// One playlist entry. A value: the playlist holds its own copies. Two tracks are equal exactly
// when their ids are; no other field takes part.
struct Track {
    // Fresh random id per construction: two loads of one file give two ids. Never reassigned.
    QUuid id;
    QString title;
    QString artist;
    double duration = 0; // seconds; 0 when unknown
    // The longest length taken from a file's header or the metadata cache, in seconds (a
    // week): a header may claim anything, and timers and sums of lengths must stay sane.
    static constexpr double maxDuration = 7 * 24 * 3600;
    // The cover as a row keeps it: an encoded thumbnail (see thumbnailSide), made when the file
    // is read; empty when the file has none. The full picture is read again from the file for
    // the current track only (loadCover). QByteArray is implicitly shared: copies of a track,
    // and tracks with the same cover, share the bytes.
    QByteArray artwork;
    // What the technical line says, kept apart from its words: the metadata cache keeps these,
    // and a start words its rows' lines from them in the language then in force.
    struct Technical {
        QString type;     // the upper-cased extension ("MP3"); empty for a name without one
        qint64 kbps = -1; // -1: no bit-rate part
        qint64 kHz = -1;  // -1: no sample-rate part (nor channel word)
        int channels = 0;
        // The channel words the line is worded with, by number (see wordsOf); 0: English.
        quint8 words = 0;
        bool operator==(const Technical&) const = default;
        // The parts a read of a file with these properties gives (see technicalLine).
        static Technical of(const QString& extension, std::optional<qint64> fileSize,
                            double duration, std::optional<double> sampleRate, int channels);
        // The number of a language's pair of channel words, given the first time it is asked
        // for (any thread). A row keeps this byte instead of its line: a hundred thousand
        // lines of some 40 characters each are made only when one is shown.
        static quint8 wordsOf(const QString& stereo, const QString& mono);
        static quint8 wordsOf(const QString& lang);
        // "MP3 · 320 kbps · 44 kHz · Stereo", with the channel word given, in `lang`, or in
        // the words numbered `words`.
        QString line(QStringView stereo, QStringView mono) const;
        QString line(const QString& lang) const;
        QString line() const;
    };

    Track() = default;
    // `technical` in place of the worded line (see info()).
    Track(QString path, QString title, QString artist, double duration, QByteArray artwork,
          Technical technical, std::optional<QByteArray> bookmark = std::nullopt);

    // The technical line in the language in force when the file was read ("MP3 · 320 kbps ·
    // 44 kHz · Stereo"); a later change of language leaves it as it is. Worded from `technical`
    // each time it is asked for.
    QString info() const { return technical.line(); }
    Technical technical;
    QString album;       // from the tags; empty when none
    QString albumArtist; // from the tags; empty when none
    int trackNumber = 0; // from the tags; 0 when unknown
    // Loudness levelling: ReplayGain's gains (dB that bring the track, or its album, to
    // -18 LUFS) and sample peaks (linear, 1 = full scale), from the tags or measured in the
    // background; NaN where unknown.
    struct Gain {
        float track = NAN, trackPeak = NAN, album = NAN, albumPeak = NAN;
        bool operator==(const Gain& o) const {
            auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
            return same(track, o.track) && same(trackPeak, o.trackPeak) &&
                   same(album, o.album) && same(albumPeak, o.albumPeak);
        }
        bool hasTrack() const { return std::isfinite(track); }
        // The linear factor to play at: album gain (or track gain without one) when `album`,
        // lowered where the peak would pass full scale; 1 while unknown.
        float factor(bool album) const;
    };
    Gain gain;
    // A row shown from the metadata cache whose file this run has only found in its folder's
    // listing: the digest of the stamp it was read with (FileStamp::digest). A rewrite in place
    // changes nothing in a listing, so the file is looked at when the row is shown, plays or is
    // searched. 0: looked at, or read, in this run. (Fits where the layout had padding.)
    quint32 unchecked = 0;
    std::optional<QByteArray> bookmark;

    // The file, by its absolute name (every entry is a local file). A track with a bookmark
    // names the file there: the rows of a start (tens of thousands at once) keep no name, and
    // no URL, of their own.
    QString path() const;
    void setPath(QString path) { path_ = std::move(path); }
    QUrl url() const { return QUrl::fromLocalFile(path()); }
    // The file's name without its folder.
    QString fileName() const;

    bool operator==(const Track& other) const { return id == other.id; }

    // What one read may cost. A cover over maxPictureBytes counts as none; one over
    // maxKeptPictureBytes is kept as a re-encoded copy at most maxPictureSide pixels a side. An
    // MP3 without a frame within maxFrameSearchBytes of each end is not given to TagLib (it
    // would scan the whole file byte by byte); its title comes from its name.
    static constexpr qsizetype maxPictureBytes = 16 * 1024 * 1024;
    static constexpr qsizetype maxKeptPictureBytes = 1024 * 1024;
    static constexpr int maxPictureSide = 1200;
    static constexpr qint64 maxFrameSearchBytes = 4 * 1024 * 1024;
    // A track's thumbnail: the centre square of its cover, so many pixels a side (a smaller
    // cover is kept as it is). The largest place a cover is drawn from a track's own bytes is
    // the toast's 48-pixel square: the side is that at the screens' device pixel ratio
    // (thumbnailSideFor; thumbnailSide, the default, is for a ratio of 2). The header's
    // 96-pixel square shows it only until the current track's full cover is read. Ten thousand
    // of them take a few tens of megabytes. A thumbnail over maxThumbnailBytes counts as none
    // (the metadata cache refuses such a cover too).
    static constexpr int toastCoverSide = 48;
    static constexpr int thumbnailSide = 2 * toastCoverSide;
    static int thumbnailSideFor(double devicePixelRatio);
    static constexpr qsizetype maxThumbnailBytes = 64 * 1024;

    // Makes the thumbnail of an encoded picture, `side` pixels a side (as thumbnail() does, or
    // remembering the ones made before).
    using Thumbnailer = std::function<QByteArray(const QByteArray& picture, int side)>;
    // Reads tags, duration and format of a local file. Never fails: what cannot be read keeps
    // its default. Safe to call from any thread. `lang` decides the channel word; the cover is
    // kept as a thumbnail `thumbnailSide` pixels a side, made by `thumbnailer` when one is given.
    static Track load(const QUrl& url, const QString& lang,
                      int thumbnailSide = Track::thumbnailSide,
                      const Thumbnailer& thumbnailer = {});
    // The file's cover at full size, encoded (bounded like every picture read: see
    // maxPictureBytes); empty when it has none or it cannot be read. Any thread: the engine
    // calls it on its readers' pool for the track that becomes current.
    static QByteArray loadCover(const QString& path);
    // The thumbnail a track keeps of this encoded picture; empty when it is no image.
    static QByteArray thumbnail(const QByteArray& picture, int side = Track::thumbnailSide);
    // The title a file has until its tags say otherwise: its name without the extension.
    static QString titleFromName(const QString& path);
    // "MP3 · 320 kbps · 44 kHz · Stereo": the upper-cased extension, the bit rate when the
    // length and size are known, the sample rate and channel word when the format is.
    static QString technicalLine(const QString& extension, std::optional<qint64> fileSize,
                                 double duration, std::optional<double> sampleRate, int channels,
                                 const QString& lang);

private:
    QString path_; // null: the bookmark's
};

} // namespace orvane
