#include "app/appearance.h"

#include "ui/theme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QLibraryInfo>
#include <QLocale>
#include <QStyleHints>
#include <QTranslator>

namespace orvane {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalSettings = QStringLiteral("org.freedesktop.portal.Settings");

int unwrapScheme(QVariant v) {
    // The portal answers a variant inside a variant.
    while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    bool ok = false;
    const uint scheme = v.toUInt(&ok);
    return ok ? int(scheme) : 0;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(30, 28, 44), base(22, 21, 34), text(235, 235, 245);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(235, 235, 245, 110));
    p.setColor(QPalette::Highlight, Theme::neon(true));
    p.setColor(QPalette::HighlightedText, Qt::black);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(235, 235, 245, 90));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(235, 235, 245, 90));
    return p;
}

QPalette lightPalette() {
    QPalette p;
    const QColor window(236, 239, 245), base(255, 255, 255), text(20, 20, 28);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(20, 20, 28, 110));
    p.setColor(QPalette::Highlight, Theme::neon(false));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(20, 20, 28, 90));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(20, 20, 28, 90));
    return p;
}

} // namespace

Appearance::Appearance(Theme* theme, QObject* parent)
    : QObject(parent)
    , theme_(theme)
    , systemPalette_(QGuiApplication::palette()) {
    readPortal();
    QDBusConnection::sessionBus().connect(
        kPortalService, kPortalPath, kPortalSettings, QStringLiteral("SettingChanged"), this,
        SLOT(onPortalSettingChanged(QString, QString, QDBusVariant)));
}

Appearance::~Appearance() {
    if (translator_)
        QCoreApplication::removeTranslator(translator_.get());
}

void Appearance::readPortal() {
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalSettings,
                                                       QStringLiteral("Read"));
    call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    // A short wait at start-up; no portal (or no bus) means no answer.
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 500);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        portalScheme_ = unwrapScheme(reply.arguments().first());
}

void Appearance::onPortalSettingChanged(const QString& ns, const QString& key,
                                        const QDBusVariant& value) {
    if (ns != QLatin1String("org.freedesktop.appearance") || key != QLatin1String("color-scheme"))
        return;
    portalScheme_ = unwrapScheme(value.variant());
    update();
}

void Appearance::applyAppTheme(const QString& theme) {
    requested_ = theme;
    update();
}

void Appearance::update() {
    bool dark;
    if (requested_ == QLatin1String("dark")) {
        dark = true;
    } else if (requested_ == QLatin1String("light")) {
        dark = false;
    } else if (portalScheme_ == 1 || portalScheme_ == 2) {
        dark = portalScheme_ == 1;
    } else {
        dark = systemPalette_.color(QPalette::Window).lightness() < 128;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::setPalette(dark ? darkPalette() : lightPalette());
    theme_->setDark(dark);
}

void Appearance::applyLanguage(const QString& language) {
    if (translator_) {
        QCoreApplication::removeTranslator(translator_.get());
        translator_.reset();
    }
    const QLocale locale = language == QLatin1String("ru")   ? QLocale(QLocale::Russian)
                           : language == QLatin1String("en") ? QLocale(QLocale::English)
                                                             : QLocale::system();
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator.get());
        translator_ = std::move(translator);
    }
}

} // namespace orvane
