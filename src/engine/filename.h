#pragma once

#include <QByteArray>
#include <QString>

namespace orvane {

// File names as text without loss. Linux names are bytes; those that are not valid UTF-8
// (an old Latin-1 or CP1251 collection, say) would not survive QFile::decodeName. Here every
// byte of an invalid sequence becomes a lone low surrogate (U+DC80 to U+DCFF) and back, so
// the name the user gave is the name that is opened. Valid UTF-8 maps as usual.
QString decodeFileName(const QByteArray& bytes);
QByteArray encodeFileName(const QString& name);

} // namespace orvane
