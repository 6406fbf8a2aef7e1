#pragma once

#include "core/settingswriter.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <algorithm>

namespace orvane {

// The user settings, `appTheme` and `appLanguage` ("light"/"dark"/"system",
// "en"/"ru"/"system"; "system" when absent), `volumeLevelling` ("off"/"track"/"album"; "off"
// when absent), `crossfadeSeconds` (0 = Off, 1..12; 3 when absent) and `albumGapless` (no
// crossfade within an album; off when absent), over the settings store. Every view that shows
// text or colour observes it; a write takes effect everywhere at once. All are read from the
// store once and kept: views ask for them at every repaint, and the main thread must not wait
// on the store while the writer has it.
class Preferences : public QObject {
    Q_OBJECT
public:
    // Without a writer, changes go straight into `settings`.
    explicit Preferences(QSettings* settings, SettingsWriter* writer = nullptr,
                         QObject* parent = nullptr)
        : QObject(parent)
        , settings_(settings)
        , writer_(writer)
        , theme_(read(QStringLiteral("appTheme")))
        , language_(read(QStringLiteral("appLanguage")))
        , volumeLevelling_(
              settings_->value(QStringLiteral("volumeLevelling"), QStringLiteral("off")).toString())
        , crossfade_(readCrossfade(*settings))
        , albumGapless_(readAlbumGapless(*settings)) {}

    static constexpr int defaultCrossfade = 3, maxCrossfade = 12; // seconds
    // The stored crossfade in whole seconds, within 0..12 (the default for what is no number).
    static int readCrossfade(const QSettings& settings) {
        bool ok = false;
        const int seconds = settings.value(QStringLiteral("crossfadeSeconds")).toInt(&ok);
        return ok ? std::clamp(seconds, 0, maxCrossfade) : defaultCrossfade;
    }
    static bool readAlbumGapless(const QSettings& settings) {
        return settings.value(QStringLiteral("albumGapless"), false).toBool();
    }

    QString theme() const { return theme_; }
    QString language() const { return language_; }
    void setTheme(const QString& theme) {
        theme_ = theme;
        write(QStringLiteral("appTheme"), theme);
        Q_EMIT themeChanged(theme);
    }
    void setLanguage(const QString& language) {
        language_ = language;
        write(QStringLiteral("appLanguage"), language);
        Q_EMIT languageChanged(language);
    }
    QString volumeLevelling() const { return volumeLevelling_; }
    void setVolumeLevelling(const QString& mode) {
        volumeLevelling_ = mode;
        write(QStringLiteral("volumeLevelling"), mode);
        Q_EMIT volumeLevellingChanged(mode);
    }

    int crossfade() const { return crossfade_; }
    void setCrossfade(int seconds) {
        crossfade_ = std::clamp(seconds, 0, maxCrossfade);
        write(QStringLiteral("crossfadeSeconds"), crossfade_);
        Q_EMIT crossfadeChanged(crossfade_);
    }
    bool albumGapless() const { return albumGapless_; }
    void setAlbumGapless(bool on) {
        albumGapless_ = on;
        write(QStringLiteral("albumGapless"), on);
        Q_EMIT albumGaplessChanged(on);
    }

Q_SIGNALS:
    void themeChanged(const QString& theme);
    void languageChanged(const QString& language);
    void volumeLevellingChanged(const QString& mode);
    void crossfadeChanged(int seconds);
    void albumGaplessChanged(bool on);

private:
    QString read(const QString& key) const {
        return settings_->value(key, QStringLiteral("system")).toString();
    }
    void write(const QString& key, const QVariant& value) {
        if (writer_)
            writer_->setValue(key, value);
        else
            settings_->setValue(key, value);
    }
    QSettings* settings_;
    SettingsWriter* writer_;
    QString theme_, language_, volumeLevelling_;
    int crossfade_;
    bool albumGapless_;
};

} // namespace orvane
