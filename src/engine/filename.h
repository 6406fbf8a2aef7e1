#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace orvane {

// File names as text without loss. Linux names are bytes; those that are not valid UTF-8
// (an old Latin-1 or CP1251 collection, say) would not survive QFile::decodeName. Here every
// byte of an invalid sequence becomes a lone low surrogate (U+DC80 to U+DCFF) and back, so
// the name the user gave is the name that is opened. Valid UTF-8 maps as usual.
QString decodeFileName(const QByteArray& bytes);
QByteArray encodeFileName(const QString& name);

// Folders by their names' bytes, so a folder whose own name is not UTF-8 is walked too (Qt's
// QDir and QFileInfo encode names their own way and would not find it). Any thread.
bool isFolder(const QString& name); // links followed
// What is in a folder ("." and ".." left out), names decoded as above, each with whether it is
// a folder (links followed); none when it cannot be read.
struct FolderEntry {
    QString name;
    bool isFolder = false;
};
QList<FolderEntry> folderEntries(const QString& folder);

// All a regular file holds; nullopt when the name is there but is not a regular file (a FIFO is
// never waited on) or holds over `maxBytes`. A name that cannot be opened reads as empty. For
// the files a start reads beside the window being built: see the .cpp. Any thread.
std::optional<QByteArray> readRegularFile(const QString& name, qint64 maxBytes);

} // namespace orvane
