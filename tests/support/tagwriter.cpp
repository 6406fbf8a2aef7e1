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

void fillId3(TagLib::ID3v2::Tag* tag, const Tags& tags) {
    if (tags.writeTitle)
        tag->setTitle(str(tags.title));
    if (tags.writeArtist)
        tag->setArtist(str(tags.artist));
    if (!tags.picture.isEmpty()) {
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
        frame->setMimeType("image/png");
        frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        frame->setPicture(bytes(tags.picture));
        tag->addFrame(frame);
    }
}

// Vorbis comments, the cover as METADATA_BLOCK_PICTURE.
void fillXiph(TagLib::Ogg::XiphComment* tag, const Tags& tags) {
    if (tags.writeTitle)
        tag->setTitle(str(tags.title));
    if (tags.writeArtist)
        tag->setArtist(str(tags.artist));
    if (!tags.picture.isEmpty()) {
        auto* picture = new TagLib::FLAC::Picture;
        picture->setMimeType("image/png");
        picture->setType(TagLib::FLAC::Picture::FrontCover);
        picture->setData(bytes(tags.picture));
        tag->addPicture(picture);
    }
}

} // namespace

bool writeTags(const QString& path, const Tags& tags) {
    const QByteArray name = QFile::encodeName(path);
    if (path.endsWith(".mp3")) {
        TagLib::MPEG::File f(name.constData());
        fillId3(f.ID3v2Tag(true), tags);
        return f.save(TagLib::MPEG::File::ID3v2);
    }
    if (path.endsWith(".wav")) {
        TagLib::RIFF::WAV::File f(name.constData());
        fillId3(f.ID3v2Tag(), tags);
        return f.save(TagLib::RIFF::WAV::File::ID3v2);
    }
    if (path.endsWith(".aiff")) {
        TagLib::RIFF::AIFF::File f(name.constData());
        fillId3(f.tag(), tags);
        return f.save();
    }
    if (path.endsWith(".flac")) {
        TagLib::FLAC::File f(name.constData());
        if (tags.writeTitle)
            f.xiphComment(true)->setTitle(str(tags.title));
        if (tags.writeArtist)
            f.xiphComment(true)->setArtist(str(tags.artist));
        if (!tags.picture.isEmpty()) {
            auto* picture = new TagLib::FLAC::Picture;
            picture->setMimeType("image/png");
            picture->setType(TagLib::FLAC::Picture::FrontCover);
            picture->setData(bytes(tags.picture));
            f.addPicture(picture);
        }
        return f.save();
    }
    if (path.endsWith(".ogg")) {
        TagLib::Ogg::Vorbis::File f(name.constData());
        fillXiph(f.tag(), tags);
        return f.save();
    }
    if (path.endsWith(".opus")) {
        TagLib::Ogg::Opus::File f(name.constData());
        fillXiph(f.tag(), tags);
        return f.save();
    }
    if (path.endsWith(".wv")) {
        TagLib::WavPack::File f(name.constData());
        TagLib::APE::Tag* tag = f.APETag(true);
        if (tags.writeTitle)
            tag->setTitle(str(tags.title));
        if (tags.writeArtist)
            tag->setArtist(str(tags.artist));
        if (!tags.picture.isEmpty())
            tag->setData("COVER ART (FRONT)", bytes(QByteArray("cover.png", 10) + tags.picture));
        return f.save();
    }
    if (path.endsWith(".m4a")) {
        TagLib::MP4::File f(name.constData());
        if (tags.writeTitle)
            f.tag()->setTitle(str(tags.title));
        if (tags.writeArtist)
            f.tag()->setArtist(str(tags.artist));
        if (!tags.picture.isEmpty()) {
            TagLib::MP4::CoverArtList covers;
            covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::PNG, bytes(tags.picture)));
            f.tag()->setItem("covr", TagLib::MP4::Item(covers));
        }
        return f.save();
    }
    return false;
}

bool writeFields(const QString& path, const QList<std::pair<QString, QString>>& fields,
                 bool ape) {
    const QByteArray name = QFile::encodeName(path);
    auto txxx = [&](TagLib::ID3v2::Tag* tag) {
        for (const auto& [key, value] : fields) {
            auto* frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
            frame->setDescription(str(key));
            frame->setText(str(value));
            tag->addFrame(frame);
        }
    };
    auto xiph = [&](TagLib::Ogg::XiphComment* tag) {
        for (const auto& [key, value] : fields)
            tag->addField(str(key), str(value), false);
    };
    auto apeItems = [&](TagLib::APE::Tag* tag) {
        for (const auto& [key, value] : fields)
            tag->addValue(str(key), str(value));
    };
    if (path.endsWith(".mp3")) {
        TagLib::MPEG::File f(name.constData());
        if (ape) {
            apeItems(f.APETag(true));
            return f.save(TagLib::MPEG::File::APE, TagLib::File::StripNone);
        }
        txxx(f.ID3v2Tag(true));
        return f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone);
    }
    if (path.endsWith(".wav")) {
        TagLib::RIFF::WAV::File f(name.constData());
        txxx(f.ID3v2Tag());
        return f.save(TagLib::RIFF::WAV::File::ID3v2);
    }
    if (path.endsWith(".aiff")) {
        TagLib::RIFF::AIFF::File f(name.constData());
        txxx(f.tag());
        return f.save();
    }
    if (path.endsWith(".flac")) {
        TagLib::FLAC::File f(name.constData());
        xiph(f.xiphComment(true));
        return f.save();
    }
    if (path.endsWith(".ogg")) {
        TagLib::Ogg::Vorbis::File f(name.constData());
        xiph(f.tag());
        return f.save();
    }
    if (path.endsWith(".opus")) {
        TagLib::Ogg::Opus::File f(name.constData());
        xiph(f.tag());
        return f.save();
    }
    if (path.endsWith(".wv")) {
        TagLib::WavPack::File f(name.constData());
        apeItems(f.APETag(true));
        return f.save();
    }
    if (path.endsWith(".m4a")) {
        TagLib::MP4::File f(name.constData());
        for (const auto& [key, value] : fields)
            f.tag()->setItem(str("----:com.apple.iTunes:" + key.toLower()),
                             TagLib::MP4::Item(TagLib::StringList(str(value))));
        return f.save();
    }
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
