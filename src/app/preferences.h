#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

namespace orvane {

// The two user settings, `appTheme` and `appLanguage` ("light"/"dark"/"system",
// "en"/"ru"/"system"; "system" when absent), over the settings store. Every view that shows
// text or colour observes it; a write takes effect everywhere at once.
class Preferences : public QObject {
    Q_OBJECT
public:
    explicit Preferences(QSettings* settings, QObject* parent = nullptr)
        : QObject(parent)
        , settings_(settings) {}

    QString theme() const { return read(QStringLiteral("appTheme")); }
    QString language() const { return read(QStringLiteral("appLanguage")); }
    void setTheme(const QString& theme) {
        settings_->setValue(QStringLiteral("appTheme"), theme);
        Q_EMIT themeChanged(theme);
    }
    void setLanguage(const QString& language) {
        settings_->setValue(QStringLiteral("appLanguage"), language);
        Q_EMIT languageChanged(language);
    }

Q_SIGNALS:
    void themeChanged(const QString& theme);
    void languageChanged(const QString& language);

private:
    QString read(const QString& key) const {
        return settings_->value(key, QStringLiteral("system")).toString();
    }
    QSettings* settings_;
};

} // namespace orvane
