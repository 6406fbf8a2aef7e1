#pragma once

#include "core/settingswriter.h"

#include <QObject>
#include <QSettings>
#include <QString>

namespace orvane {

// The user settings, `appTheme` and `appLanguage` ("light"/"dark"/"system",
// "en"/"ru"/"system"; "system" when absent) and `volumeLevelling` ("off"/"track"/"album"; "off"
// when absent), over the settings store. Every view that shows
// text or colour observes it; a write takes effect everywhere at once. Both are read from the
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
              settings_->value(QStringLiteral("volumeLevelling"), QStringLiteral("off")).toString()) {}

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

Q_SIGNALS:
    void themeChanged(const QString& theme);
    void languageChanged(const QString& language);
    void volumeLevellingChanged(const QString& mode);

private:
    QString read(const QString& key) const {
        return settings_->value(key, QStringLiteral("system")).toString();
    }
    void write(const QString& key, const QString& value) {
        if (writer_)
            writer_->setValue(key, value);
        else
            settings_->setValue(key, value);
    }
    QSettings* settings_;
    SettingsWriter* writer_;
    QString theme_, language_, volumeLevelling_;
};

} // namespace orvane
