// How long one keystroke in the playlist's filter field takes with 10,000 tracks: the filter
// itself, the list's update and a paint of the rows on show, on the real window offscreen.
// The typing starts once the list has made its filter keys in the background (as when a
// person starts typing a moment after the list appeared); the first keystroke is also told
// apart.
// Usage: playlist_filter [TRACKS]   (prints median, 95th percentile and worst, in ms)
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "engine/clock.h"
#include "engine/gstplayerfactory.h"
#include "radio/radiobrowser.h"
#include "ui/contentview.h"
#include "ui/playlistpanel.h"
#include "ui/theme.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace orvane;

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
    QTemporaryDir dir;
    QSettings settings(dir.filePath("bench.ini"), QSettings::IniFormat);
    SystemClock clock;
    GstPlayerFactory players;
    AudioEngine engine({&clock, &players, &settings, nullptr, nullptr, {}, {}, {}});
    Preferences prefs(&settings);
    Theme theme;
    QNetworkAccessManager network;
    RadioBrowser catalog(&network, {QUrl("http://127.0.0.1:9")});
    ContentView view(&engine, &catalog, &prefs, &theme);
    view.resize(960, 620);
    view.show();

    const QStringList titles{"Прелюдия № %1",
                             "Nocturne op. %1",
                             "Ёлочка %1",
                             "Café del Mar %1",
                             "Концерт для фортепиано с оркестром № %1",
                             "Blue Monday %1"};
    const QStringList artists{"Рахманинов", "Chopin", "Кино", "Energy 52", "Fauré", ""};
    QList<Track> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString title = titles.at(i % titles.size()).arg(i);
        list.append(
            Track(QStringLiteral("/music/%1/%2.flac").arg(artists.at(i % artists.size()), title),
                  title, artists.at((i / 7) % artists.size()), 200, {}, {"FLAC"}));
    }
    engine.setPlaylist(list);
    QApplication::processEvents();

    PlaylistPanel* panel = view.playlistPanel();
    QElapsedTimer keysMade;
    keysMade.start();
    while (!panel->model()->keysReady() && keysMade.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("%d tracks: filter keys made %.0f ms after the list was shown\n", count,
                double(keysMade.elapsed()));
    QLineEdit* field = panel->filterField();
    QListView* rows = panel->list();
    // Wall time, and the main thread's own CPU time, which a loaded machine does not inflate.
    std::vector<double> times, cpu;
    auto threadCpuMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
    };
    auto keystroke = [&](auto&& edit) {
        QElapsedTimer t;
        t.start();
        const double c0 = threadCpuMs();
        edit();
        QApplication::processEvents(); // what the key's change queued
        rows->viewport()->repaint();   // the rows on show, painted now
        times.push_back(t.nsecsElapsed() / 1e6);
        cpu.push_back(threadCpuMs() - c0);
    };
    for (const QString word : {"прелюдия 12", "ёлочка", "cafe 5", "рахманинов ноктюрн", "e"}) {
        for (const QChar c : word)
            keystroke([&] { field->insert(QString(c)); });
        while (!field->text().isEmpty())
            keystroke([&] { field->backspace(); });
    }
    auto report = [&](const char* what, std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        const auto at = [&](double q) { return v.at(size_t(q * double(v.size() - 1))); };
        std::printf("%d tracks, %zu keystrokes, %s: median %.2f ms, 95%% %.2f ms, worst %.2f ms "
                    "(one frame is 16 ms)\n",
                    count, v.size(), what, at(0.5), at(0.95), v.back());
    };
    std::printf("first keystroke: wall %.2f ms, main thread CPU %.2f ms\n", times.front(),
                cpu.front());
    report("wall", times);
    report("main thread CPU", cpu);
    return cpu.back() < 16 ? 0 : 1;
}
