// Playlist files and answers: every kind read from the same bytes, and each entry resolved
// against a local and a remote playlist's address.
#include "radio/playlistparser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using orvane::PlaylistParser;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    PlaylistParser::sniff(bytes);
    const QUrl local = QUrl::fromLocalFile(QStringLiteral("/music/list.m3u"));
    const QUrl remote(QStringLiteral("http://radio.example/listen.pls"));
    for (const auto kind : {PlaylistParser::Kind::M3u, PlaylistParser::Kind::Pls,
                            PlaylistParser::Kind::Xspf, PlaylistParser::Kind::Asx}) {
        const auto entries =
            PlaylistParser::parse(kind, bytes, kind == PlaylistParser::Kind::M3u, 50);
        if (entries.size() > 50)
            std::abort();
        for (const auto& entry : entries) {
            if (entry.location.isEmpty())
                std::abort();
            PlaylistParser::resolve(entry.location, local, false);
            PlaylistParser::resolve(entry.location, remote, true);
        }
    }
    return 0;
}
