#include "ui/questionbar.h"

#include "ui/theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace orvane {

QuestionBar::QuestionBar(Theme* theme, QWidget* parent)
    : QFrame(parent)
    , theme_(theme)
    , label_(new QLabel)
    , yes_(new QPushButton)
    , no_(new QPushButton) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 8, 8);
    label_->setWordWrap(true);
    label_->setFont(Theme::textStyle(font(), Theme::Callout));
    row->addWidget(label_, 1);
    row->addWidget(no_);
    row->addWidget(yes_);
    yes_->setDefault(true);
    connect(yes_, &QPushButton::clicked, this, [this] {
        hide();
        if (auto answer = std::exchange(onYes_, nullptr))
            answer();
    });
    connect(no_, &QPushButton::clicked, this, [this] {
        hide();
        onYes_ = nullptr;
    });
    connect(theme_, &Theme::changed, this, &QuestionBar::recolor);
    recolor();
    hide();
}

void QuestionBar::ask(const QString& text, const QString& yes, const QString& no,
                      std::function<void()> onYes) {
    label_->setText(text);
    setAccessibleName(text);
    yes_->setText(yes);
    no_->setText(no);
    onYes_ = std::move(onYes);
    show();
    raise();
}

QString QuestionBar::text() const {
    return label_->text();
}

void QuestionBar::recolor() {
    setStyleSheet(QStringLiteral("orvane--QuestionBar { background: %1; border: 1px solid %2;"
                                 " border-radius: 10px; } QLabel { color: %3; }")
                      .arg(Theme::css(theme_->bgTop()), Theme::css(theme_->neon()),
                           Theme::css(theme_->primary())));
}

} // namespace orvane
