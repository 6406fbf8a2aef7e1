#include "radio/radiostation.h"

namespace orvane {

const QList<RadioStation>& RadioStation::presets() {
    static const QList<RadioStation> list = {
        {QUuid::createUuid(), QStringLiteral("Radio Record"),
         QStringLiteral("https://radiorecord.hostingradio.ru/rr_main96.aacp")},
        {QUuid::createUuid(), QStringLiteral("Европа Плюс"),
         QStringLiteral("https://ep256.hostingradio.ru:8052/europaplus256.mp3")},
        {QUuid::createUuid(), QStringLiteral("Наше Радио"),
         QStringLiteral("https://nashe1.hostingradio.ru/nashe-128.mp3")},
        {QUuid::createUuid(), QStringLiteral("Хит FM"),
         QStringLiteral("https://hitfm.hostingradio.ru/hitfm128.mp3")},
        {QUuid::createUuid(), QStringLiteral("Radio Paradise — эклектика"),
         QStringLiteral("https://stream.radioparadise.com/eclectic-128")},
        {QUuid::createUuid(), QStringLiteral("SomaFM Groove Salad — чилаут"),
         QStringLiteral("https://ice1.somafm.com/groovesalad-128-mp3")},
    };
    return list;
}

std::optional<QUrl> RadioStation::streamUrl(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

} // namespace orvane
