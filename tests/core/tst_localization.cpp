// Interface wording and the time formatter.
#include "core/localization.h"
#include "ui/timestring.h"

#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <limits>

using namespace orvane;

class TestLocalization : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resolvesTheLanguage() {
        QCOMPARE(loc("play", "en"), QStringLiteral("Play"));
        QCOMPARE(loc("play", "ru"), QStringLiteral("Играть"));
        QCOMPARE(loc("play", "system", {"ru-RU", "en-US"}), QStringLiteral("Играть"));
        QCOMPARE(loc("play", "system", {"uk-UA", "ru-RU"}), QStringLiteral("Play"));
        QCOMPARE(loc("play", "system", {}), QStringLiteral("Play"));
        QCOMPARE(loc("play", "fr", {"ru"}), QStringLiteral("Играть"));
        QCOMPARE(loc("play", "RU", {"en-GB"}), QStringLiteral("Play")); // exact, case-sensitive
        QCOMPARE(loc("no_such_key", "ru"), QStringLiteral("no_such_key"));
        QCOMPARE(loc("paused", "ru"), loc("pause", "ru"));
        QCOMPARE(loc("tracks_footer", "en"), QStringLiteral("%d tracks · %@"));
        QCOMPARE(loc("empty_playlist", "ru"), QStringLiteral("Нажмите «+» и добавьте MP3-файлы"));
        QCOMPARE(loc("dark", "ru"), QStringLiteral("Тёмная"));
        QCOMPARE(loc("stream_url", "en"), QStringLiteral("Stream URL (https://…)"));
    }

    void bothTablesHoldTheSameKeys() {
        const QStringList keys = {"playlist_header",
                                  "radio_header",
                                  "empty_playlist",
                                  "empty_radio",
                                  "tracks_footer",
                                  "stations_footer",
                                  "drop_hint",
                                  "select_track",
                                  "internet_radio",
                                  "local_file",
                                  "library",
                                  "radio",
                                  "add_station",
                                  "manually",
                                  "name",
                                  "stream_url",
                                  "add",
                                  "search_catalog",
                                  "station_placeholder",
                                  "find",
                                  "nothing_found",
                                  "done",
                                  "buffering",
                                  "on_air",
                                  "paused",
                                  "stream_error",
                                  "invalid_url",
                                  "now_playing",
                                  "play",
                                  "pause",
                                  "next_track",
                                  "prev_track",
                                  "open_player",
                                  "quit",
                                  "theme_label",
                                  "light",
                                  "dark",
                                  "system_mode",
                                  "language_label",
                                  "stereo",
                                  "mono",
                                  "tracks_filtered_footer",
                                  "filter_placeholder",
                                  "settings_not_saved"};
        QCOMPARE(keys.size(), 44);
        for (const QString& key : keys) {
            QVERIFY2(loc(key, "en") != key, qPrintable(key));
            QVERIFY2(loc(key, "ru") != key, qPrintable(key));
        }
    }

    void currentLangIsTheRawSetting() {
        QTemporaryDir dir;
        QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
        QCOMPARE(currentLang(settings), QStringLiteral("system"));
        settings.setValue("appLanguage", "ru");
        QCOMPARE(currentLang(settings), QStringLiteral("ru"));
    }

    void formatsTimes() {
        const std::pair<double, const char*> cases[] = {
            {0, "0:00"},
            {0.99, "0:00"},
            {59.9, "0:59"},
            {59.999, "0:59"},
            {61, "1:01"},
            {600, "10:00"},
            {3599, "59:59"},
            {3600, "1:00:00"},
            {3725.4, "1:02:05"},
            {36000, "10:00:00"},
            {90000, "25:00:00"},
            {std::nan(""), "0:00"},
            {std::numeric_limits<double>::infinity(), "0:00"},
            {-std::numeric_limits<double>::infinity(), "0:00"}};
        for (const auto& [seconds, text] : cases)
            QCOMPARE(timeString(seconds), QString::fromUtf8(text));
        timeString(1e300); // out of range: any text, no crash
    }
};

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
