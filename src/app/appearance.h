#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>
#include <QString>
#include <memory>

class QTranslator;

namespace orvane {

class Theme;

// Puts the appearance and language settings into effect for the whole application.
// "light" and "dark" force the palette and the theme colours; anything else follows the
// desktop: the freedesktop portal's colour-scheme (followed live), else the platform palette.
class Appearance : public QObject {
    Q_OBJECT
public:
    explicit Appearance(Theme* theme, QObject* parent = nullptr);
    ~Appearance() override;

    void applyAppTheme(const QString& theme);
    // Qt's own dialog texts in the chosen language ("system": the desktop's).
    void applyLanguage(const QString& language);

    // What the desktop prefers, when it says: 1 dark, 2 light, 0 no preference.
    int portalColorScheme() const { return portalScheme_; }

private Q_SLOTS:
    void onPortalSettingChanged(const QString& ns, const QString& key, const QDBusVariant& value);

private:
    void readPortal();
    void update();

    Theme* theme_;
    QString requested_ = QStringLiteral("system");
    int portalScheme_ = -1; // -1: no portal answered
    QPalette systemPalette_;
    std::unique_ptr<QTranslator> translator_;
};

} // namespace orvane
