#include "engine/track.h"

#include "app/localization.h"

#include <QFileInfo>

namespace orvane {

Track::Track(QUrl url_, QString title_, QString artist_, double duration_, QByteArray artwork_,
             QString info_, std::optional<QByteArray> bookmark_)
    : id(QUuid::createUuid())
    , url(std::move(url_))
    , title(std::move(title_))
    , artist(std::move(artist_))
    , duration(duration_)
    , artwork(std::move(artwork_))
    , info(std::move(info_))
    , bookmark(std::move(bookmark_)) {}

Track Track::load(const QUrl& url, const QString& lang) {
    Q_UNUSED(lang);
    const QString name = QFileInfo(url.path()).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString title = dot >= 0 ? name.left(dot) : name;
    const QString ext = dot >= 0 ? name.mid(dot + 1).toUpper() : QString();
    return Track(url, title, QString(), 0, QByteArray(), ext);
}

} // namespace orvane
