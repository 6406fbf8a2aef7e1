#pragma once

#include <QList>
#include <QString>
#include <QUuid>

namespace orvane {

// A station: identity, display name and the stream address as text (parsed only when played).
struct RadioStation {
    QUuid id = QUuid::createUuid();
    QString name;
    QString url;

    bool operator==(const RadioStation& other) const = default;

    // The six stations of a first start, each with a fresh id. Built once per run.
    static const QList<RadioStation>& presets();
};

} // namespace orvane
