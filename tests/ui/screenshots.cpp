// Renders the main window offscreen into PNG files for review: orvane_screenshots OUTDIR.
// The engine runs on fake players in virtual time, so every picture is reproducible.
#include "app/appearance.h"
#include "app/preferences.h"
#include "radio/radiobrowser.h"
#include "support/enginefixture.h"
#include "ui/addstationsheet.h"
#include "ui/contentview.h"
#include "ui/playlistpanel.h"
#include "ui/radiopanel.h"
#include "ui/theme.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPainter>
#include <cmath>

using namespace orvane;
using namespace orvane::test;

namespace {

QByteArray coverArt() {
    QImage image(300, 300, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, 300, 300);
    g.setColorAt(0, QColor(255, 94, 58));
    g.setColorAt(1, QColor(88, 40, 140));
    p.fillRect(image.rect(), g);
    p.setBrush(QColor(255, 255, 255, 60));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPoint(190, 110), 80, 80);
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void save(QWidget& w, const QString& dir, const QString& name) {
    // Let animations (the level bars' 50 ms) and layouts settle.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 150)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    w.grab().save(QDir(dir).filePath(name + ".png"));
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);

    auto shoot = [&](const QString& name, const QString& theme, const QString& lang,
                     auto&& prepare) {
        EngineFixture f;
        f.settings->setValue("appLanguage", lang);
        AudioEngine& e = f.start();
        Preferences prefs(f.settings.get());
        Theme t;
        Appearance appearance(&t);
        appearance.applyAppTheme(theme);
        QNetworkAccessManager network;
        RadioBrowser catalog(&network, {QUrl("http://127.0.0.1:9")});
        ContentView view(&e, &catalog, &prefs, &t);
        view.resize(960, 620);
        view.show();
        prepare(f, e, view);
        save(view, out, name);
    };

    shoot("empty-library-dark", "dark", "en", [](auto&, auto&, auto&) {});
    shoot("empty-library-light", "light", "en", [](auto&, auto&, auto&) {});
    shoot("playing-cover-dark-ru", "dark", "ru", [](EngineFixture& f, AudioEngine& e, auto&) {
        QList<Track> list = f.tracks({"Звезда по имени Солнце", "Кукушка", "Группа крови",
                                      "Пачка сигарет", "Спокойная ночь", "Восьмиклассница"},
                                     247);
        const QByteArray cover = coverArt();
        for (Track& t : list) {
            t.artist = "Кино";
            t.artwork = cover;
            t.info = "FLAC · 912 kbps · 44 kHz · Стерео";
        }
        list[3].artist.clear();
        e.setPlaylist(list);
        e.play(e.playlist().at(1));
        for (int i = 0; i < 60; ++i) {
            f.lastFile()->power = float(-30 + 22 * std::sin(i * 0.45) * std::sin(i * 0.13));
            f.clock.advance(0.05);
        }
    });
    shoot("radio-on-air-light", "light", "en", [](EngineFixture& f, AudioEngine& e, auto&) {
        e.setMode(PlayerMode::Radio);
        e.play(e.stations().at(4));
        f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        QApplication::processEvents();
        QApplication::processEvents();
        for (int i = 0; i < 40; ++i)
            f.clock.advance(0.05);
    });
    shoot("drop-highlight", "dark", "en",
          [](auto&, auto&, ContentView& view) { view.setDropTargeted(true); });

    // The add-station sheet with results.
    {
        EngineFixture f;
        AudioEngine& e = f.start();
        Preferences prefs(f.settings.get());
        Theme t;
        Appearance appearance(&t);
        appearance.applyAppTheme("dark");
        QNetworkAccessManager network;
        RadioBrowser catalog(&network, {QUrl("http://127.0.0.1:9")});
        AddStationSheet sheet(&e, &catalog, &prefs, &t);
        sheet.queryField()->setText("jazz");
        sheet.show();
        // Results as a search would bring them (one already in the list).
        QList<RadioStation> results{
            {QUuid::createUuid(), "Jazz24",
             "https://live.wostreaming.net/direct/ppm-jazz24aac-ibc1"},
            {QUuid::createUuid(), "SomaFM Groove Salad — чилаут", e.stations().at(5).url},
            {QUuid::createUuid(), "Radio Swiss Jazz", "http://stream.srg-ssr.ch/m/rsj/mp3_128"}};
        sheet.showDemoResults(results);
        sheet.resize(480, sheet.sizeHint().height());
        save(sheet, out, "add-station-sheet");
    }
    return 0;
}
