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

QPalette palette(bool dark) {
    const QColor window = dark ? QColor(30, 28, 44) : QColor(236, 239, 245);
    const QColor base = dark ? QColor(22, 21, 34) : QColor(255, 255, 255);
    const QColor text = dark ? QColor(235, 235, 245) : QColor(20, 20, 28);
    QColor faint = text;
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    faint.setAlpha(110);
    p.setColor(QPalette::PlaceholderText, faint);
    p.setColor(QPalette::Highlight, Theme::neon(dark));
    p.setColor(QPalette::HighlightedText, dark ? Qt::black : Qt::white);
    faint.setAlpha(90);
    p.setColor(QPalette::Disabled, QPalette::Text, faint);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, faint);
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
        QApplication::setPalette(palette(dark));
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
