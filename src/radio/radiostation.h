#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <optional>

namespace orvane {

// A station: identity, display name and the stream address as text (parsed only when played).
struct RadioStation {
    QUuid id = QUuid::createUuid();
    QString name;
    QString url;

    bool operator==(const RadioStation& other) const = default;

    // The six stations of a first start, each with a fresh id. Built once per run.
    static const QList<RadioStation>& presets();

    // The address a stream player may open: `text` without surrounding white space, parsed
    // strictly, absolute http or https with a host; nothing for anything else (local files,
    // other protocols). The one rule for every address, stored or from the catalog.
    static std::optional<QUrl> streamUrl(const QString& text);
};

} // namespace orvane
