#pragma once

#include "radio/radiostation.h"

#include <QByteArray>
#include <optional>

namespace orvane {

// The stored form of the station list: compact UTF-8 JSON, one object per station with the
// members id (upper-case UUID), name and url, in that order, "/" written as "\/".
namespace StationStore {

QByteArray encode(const QList<RadioStation>& stations);
// Strict: any element that is not an object with string members id (a UUID), name and url
// rejects the whole list. Other members are ignored; member order and slash form are free.
std::optional<QList<RadioStation>> decode(const QByteArray& json);

} // namespace StationStore

} // namespace orvane
