#include "ui/aboutview.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "ui/theme.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvane {

AboutView::AboutView(Preferences* preferences, QWidget* parent)
    : QDialog(parent)
    , preferences_(preferences)
    , version_(new QLabel)
    , text_(new QLabel)
    , licence_(new QLabel)
    , link_(new QLabel)
    , close_(new QPushButton) {
    setModal(false);
    setFixedWidth(360);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 20);
    column->setSpacing(8);
    auto* symbol = new QLabel;
    symbol->setPixmap(QIcon(QStringLiteral(":/icons/orvane.svg")).pixmap(64, 64));
    symbol->setAlignment(Qt::AlignCenter);
    column->addWidget(symbol);
    auto* name = new QLabel(QStringLiteral("Orvane"));
    name->setFont(Theme::textStyle(font(), Theme::Title2, true));
    name->setAlignment(Qt::AlignCenter);
    column->addWidget(name);
    for (QLabel* label : {version_, text_, licence_, link_}) {
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        column->addWidget(label);
    }
    link_->setTextFormat(Qt::RichText);
    link_->setOpenExternalLinks(true); // the desktop's browser
    link_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    column->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close_);
    column->addLayout(buttons);
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::close);
    connect(preferences_, &Preferences::languageChanged, this, &AboutView::retranslate);
    retranslate();
}

void AboutView::retranslate() {
    const QString lang = preferences_->language();
    setWindowTitle(loc(QStringLiteral("about"), lang));
    version_->setText(loc(QStringLiteral("about_version"), lang).arg(QStringLiteral(ORVANE_VERSION)));
    text_->setText(loc(QStringLiteral("about_text"), lang));
    licence_->setText(loc(QStringLiteral("about_licence"), lang));
    // The link in the accent: the stock link blue does not read on the dark appearance.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    link_->setText(QStringLiteral("<a href=\"%1\" style=\"color: %3\">%2</a>")
                       .arg(QString::fromLatin1(homepage), loc(QStringLiteral("about_link"), lang),
                            Theme::neon(dark).name()));
    link_->setToolTip(QString::fromLatin1(homepage));
    close_->setText(loc(QStringLiteral("close"), lang));
}

void AboutView::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        retranslate(); // the link's colour follows the appearance
}

QStringList AboutView::texts() const {
    return {version_->text(), text_->text(), licence_->text(), QString::fromLatin1(homepage)};
}

} // namespace orvane
