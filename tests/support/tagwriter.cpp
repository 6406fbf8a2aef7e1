#include "support/tagwriter.h"

#include <taglib/aifffile.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <QBuffer>
#include <QFile>
#include <QImage>

namespace orvane::test {

namespace {

TagLib::String str(const QString& s) {
    return TagLib::String(s.toStdWString());
}
TagLib::ByteVector bytes(const QByteArray& b) {
    return TagLib::ByteVector(b.constData(), uint(b.size()));
}

// The title and the artist, as asked, in a tag of any kind.
void fillText(TagLib::Tag* tag, const Tags& tags) {
    if (tags.writeTitle)
        tag->setTitle(str(tags.title));
    if (tags.writeArtist)
        tag->setArtist(str(tags.artist));
}

void fillId3(TagLib::ID3v2::Tag* tag, const Tags& tags) {
    fillText(tag, tags);
    if (!tags.picture.isEmpty()) {
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setMimeType("image/png");
        frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        frame->setPicture(bytes(tags.picture));
        tag->addFrame(frame);
    }
}

TagLib::FLAC::Picture* frontCover(const QByteArray& png) {
    auto* picture = new TagLib::FLAC::Picture;
    picture->setMimeType("image/png");
    picture->setType(TagLib::FLAC::Picture::FrontCover);
    picture->setData(bytes(png));
    return picture;
}

// Vorbis comments, the cover as METADATA_BLOCK_PICTURE.
void fillXiph(TagLib::Ogg::XiphComment* tag, const Tags& tags) {
    fillText(tag, tags);
    if (!tags.picture.isEmpty())
        tag->addPicture(frontCover(tags.picture));
}

// Opens `path` as a `File`, lets `change` change it and saves it with `save` as arguments.
template <class File, class Change, class... Save>
bool edit(const QString& path, Change change, Save... save) {
    File f(QFile::encodeName(path).constData());
    change(f);
    return f.save(save...);
}

} // namespace

bool writeTags(const QString& path, const Tags& tags) {
    using namespace TagLib;
    if (path.endsWith(".mp3"))
        return edit<MPEG::File>(
            path, [&](auto& f) { fillId3(f.ID3v2Tag(true), tags); }, MPEG::File::ID3v2);
    if (path.endsWith(".wav"))
        return edit<RIFF::WAV::File>(
            path, [&](auto& f) { fillId3(f.ID3v2Tag(), tags); }, RIFF::WAV::File::ID3v2);
    if (path.endsWith(".aiff"))
        return edit<RIFF::AIFF::File>(path, [&](auto& f) { fillId3(f.tag(), tags); });
    if (path.endsWith(".flac"))
        return edit<FLAC::File>(path, [&](auto& f) {
            fillText(f.xiphComment(true), tags);
            if (!tags.picture.isEmpty())
                f.addPicture(frontCover(tags.picture));
        });
    if (path.endsWith(".ogg"))
        return edit<Ogg::Vorbis::File>(path, [&](auto& f) { fillXiph(f.tag(), tags); });
    if (path.endsWith(".opus"))
        return edit<Ogg::Opus::File>(path, [&](auto& f) { fillXiph(f.tag(), tags); });
    if (path.endsWith(".wv"))
        return edit<WavPack::File>(path, [&](auto& f) {
            fillText(f.APETag(true), tags);
            if (!tags.picture.isEmpty())
                f.APETag()->setData("COVER ART (FRONT)",
                                    bytes(QByteArray("cover.png", 10) + tags.picture));
        });
    if (path.endsWith(".m4a"))
        return edit<MP4::File>(path, [&](auto& f) {
            fillText(f.tag(), tags);
            if (tags.picture.isEmpty())
                return;
            MP4::CoverArtList covers;
            covers.append(MP4::CoverArt(MP4::CoverArt::PNG, bytes(tags.picture)));
            f.tag()->setItem("covr", MP4::Item(covers));
        });
    return false;
}

bool writeFields(const QString& path, const QList<std::pair<QString, QString>>& fields, bool ape) {
    using namespace TagLib;
    auto txxx = [&](ID3v2::Tag* tag) {
        for (const auto& [key, value] : fields) {
            auto* frame = new ID3v2::UserTextIdentificationFrame(String::UTF8);
            frame->setDescription(str(key));
            frame->setText(str(value));
            tag->addFrame(frame);
        }
    };
    auto xiph = [&](Ogg::XiphComment* tag) {
        for (const auto& [key, value] : fields)
            tag->addField(str(key), str(value), false);
    };
    auto apeItems = [&](APE::Tag* tag) {
        for (const auto& [key, value] : fields)
            tag->addValue(str(key), str(value));
    };
    if (path.endsWith(".mp3") && ape)
        return edit<MPEG::File>(
            path, [&](auto& f) { apeItems(f.APETag(true)); }, MPEG::File::APE, File::StripNone);
    if (path.endsWith(".mp3"))
        return edit<MPEG::File>(
            path, [&](auto& f) { txxx(f.ID3v2Tag(true)); }, MPEG::File::ID3v2, File::StripNone);
    if (path.endsWith(".wav"))
        return edit<RIFF::WAV::File>(
            path, [&](auto& f) { txxx(f.ID3v2Tag()); }, RIFF::WAV::File::ID3v2);
    if (path.endsWith(".aiff"))
        return edit<RIFF::AIFF::File>(path, [&](auto& f) { txxx(f.tag()); });
    if (path.endsWith(".flac"))
        return edit<FLAC::File>(path, [&](auto& f) { xiph(f.xiphComment(true)); });
    if (path.endsWith(".ogg"))
        return edit<Ogg::Vorbis::File>(path, [&](auto& f) { xiph(f.tag()); });
    if (path.endsWith(".opus"))
        return edit<Ogg::Opus::File>(path, [&](auto& f) { xiph(f.tag()); });
    if (path.endsWith(".wv"))
        return edit<WavPack::File>(path, [&](auto& f) { apeItems(f.APETag(true)); });
    if (path.endsWith(".m4a"))
        return edit<MP4::File>(path, [&](auto& f) {
            for (const auto& [key, value] : fields)
                f.tag()->setItem(str("----:com.apple.iTunes:" + key.toLower()),
                                 MP4::Item(StringList(str(value))));
        });
    return false;
}

bool writeWavInfo(const QString& path, const QString& title, const QString& artist) {
    TagLib::RIFF::WAV::File f(QFile::encodeName(path).constData());
    f.InfoTag()->setTitle(str(title));
    f.InfoTag()->setArtist(str(artist));
    return f.save(TagLib::RIFF::WAV::File::Info);
}

bool writeTitleFrames(const QString& path, const QStringList& titles) {
    TagLib::MPEG::File f(QFile::encodeName(path).constData());
    TagLib::ID3v2::Tag* tag = f.ID3v2Tag(true);
    for (const QString& title : titles) {
        auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TIT2", TagLib::String::UTF8);
        frame->setText(str(title));
        tag->addFrame(frame);
    }
    return f.save(TagLib::MPEG::File::ID3v2);
}

QByteArray pngBytes(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}

} // namespace orvane::test
