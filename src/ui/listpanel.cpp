#include "ui/listpanel.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "ui/buttons.h"
#include "ui/icons.h"
#include "ui/noticebar.h"
#include "ui/theme.h"

#include <QFocusEvent>
#include <QHelpEvent>
#include <QToolTip>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <utility>

namespace orvane {

QSize ListRow::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), QFontMetrics(option.font).height() + 20};
}

namespace {

// Where a row's name goes, between its mark and its trailing text.
std::pair<int, int> nameSpan(const QRect& cell, const RowLook& look, const QFont& font) {
    const QRect inner = cell.adjusted(11 + 14, 10, -11 - 14, -10);
    const QFont callout = Theme::textStyle(font, Theme::Callout);
    const QFontMetrics mc(callout);
    const int two = mc.horizontalAdvance(QStringLiteral("00"));
    int x = inner.left() + 14 +
            (look.markSymbol.isEmpty() ? std::max(mc.horizontalAdvance(look.mark), two)
                                       : std::max(18, two));
    int right = inner.right();
    if (!look.trailing.isEmpty()) {
        const QFont trailingFont = look.trailingAccent && look.markSymbol == QLatin1String("radio-waves")
                                       ? Theme::textStyle(font, Theme::Caption)
                                       : callout;
        right -= QFontMetrics(trailingFont).horizontalAdvance(look.trailing) + 14;
    }
    return {x, right};
}

} // namespace

void ListRow::paintLook(QPainter* painter, const QStyleOptionViewItem& option,
                        const QModelIndex& index, const Theme& theme) const {
    std::optional<RowLook> shown = rowLook(index);
    if (!shown)
        return;
    shown->focused = (option.state & QStyle::State_HasFocus) && option.widget &&
                     option.widget->property("keyboardFocus").toBool();
    paintRow(*painter, option.rect, *shown, theme, option.font);
}

bool ListRow::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                        const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    // A name cut with "…" shows whole.
    const std::optional<RowLook> look = rowLook(index);
    const QString name = look ? look->name.simplified() : QString();
    const auto [x, right] = look ? nameSpan(option.rect, *look, option.font) : std::pair{0, 0};
    if (!name.isEmpty() && QFontMetrics(option.font).horizontalAdvance(name) > right - x)
        QToolTip::showText(event->globalPos(), name, view);
    else
        QToolTip::hideText();
    return true;
}

void paintRow(QPainter& p, const QRect& cell, const RowLook& look, const Theme& theme,
              const QFont& font) {
    const QRect rect = cell.adjusted(11, 0, -11, 0); // the list's side padding of 12
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
    const QColor neon = theme.neon();
    if (look.current) {
        QColor fill = neon, line = neon;
        fill.setAlphaF(0.12f);
        line.setAlphaF(0.5f);
        p.setBrush(fill);
        p.setPen(QPen(line, 1));
        p.drawRoundedRect(frame, 12, 12);
    } else if (look.selected) {
        p.setBrush(theme.primary(0.07));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(frame, 12, 12);
    }
    if (look.focused)
        paintFocusRing(p, QRectF(rect), 12, theme);
    const QRect inner = rect.adjusted(14, 10, -14, -10);
    QFont callout = Theme::textStyle(font, Theme::Callout);
    const QFontMetrics mc(callout);
    int x = inner.left();
    if (!look.markSymbol.isEmpty()) {
        const int s = 18;
        p.drawPixmap(QPointF(x, inner.center().y() - s / 2.0 + 0.5),
                     Icons::pixmap(look.markSymbol, neon, s, p.device()->devicePixelRatioF()));
        x += std::max(s, mc.horizontalAdvance(QStringLiteral("00")));
    } else {
        p.setFont(callout);
        p.setPen(theme.secondary());
        const int w = std::max(mc.horizontalAdvance(look.mark), mc.horizontalAdvance("00"));
        p.drawText(QRect(x, inner.top(), w, inner.height()), Qt::AlignVCenter | Qt::AlignLeft,
                   look.mark);
        x += w;
    }
    x += 14;
    int right = inner.right();
    if (!look.trailing.isEmpty()) {
        QFont trailingFont = look.trailingAccent && look.markSymbol == QLatin1String("radio-waves")
                                 ? Theme::textStyle(font, Theme::Caption)
                                 : callout;
        p.setFont(trailingFont);
        p.setPen(look.trailingAccent ? neon : theme.secondary());
        const int w = QFontMetrics(trailingFont).horizontalAdvance(look.trailing);
        p.drawText(QRect(right - w, inner.top(), w + 1, inner.height()),
                   Qt::AlignVCenter | Qt::AlignRight, look.trailing);
        right -= w + 14;
    }
    p.setFont(font);
    p.setPen(theme.primary());
    const QFontMetrics m(font);
    p.drawText(QRect(x, inner.top(), std::max(0, right - x), inner.height()),
               Qt::AlignVCenter | Qt::AlignLeft,
               m.elidedText(look.name.simplified(), Qt::ElideRight, right - x)); // one line
    p.restore();
}

ListPanel::ListPanel(Theme* theme, Preferences* preferences, QString emptySymbol, QWidget* parent)
    : GlassPanel(theme, parent)
    , preferences_(preferences)
    , header_(new QLabel)
    , notice_(new NoticeBar(theme))
    , body_(new QStackedWidget)
    , emptyLabel_(new QLabel)
    , emptyIcon_(new QLabel)
    , emptySymbol_(std::move(emptySymbol))
    , list_(new QListView)
    , footer_(new QLabel)
    , add_(new QPushButton)
    , remove_(new QPushButton)
    , scroll_(new QVariantAnimation(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    buildHeader();
    column->addWidget(header_);
    auto* noticeRow = new QHBoxLayout;
    noticeRow->setContentsMargins(12, 0, 12, 8); // in line with the rows
    noticeRow->addWidget(notice_);
    column->addLayout(noticeRow);
    body_->addWidget(buildEmptyState());
    buildList();
    body_->addWidget(list_);
    column->addWidget(body_, 1);
    column->addLayout(buildFooter());
    footer_->setFont(Theme::textStyle(font(), Theme::Caption));

    scroll_->setDuration(350);
    scroll_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(scroll_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { list_->verticalScrollBar()->setValue(v.toInt()); });
    connect(theme_, &Theme::changed, this, &ListPanel::applyColors);
    applyColors();
}

void ListPanel::buildHeader() {
    QFont headline = Theme::textStyle(font(), Theme::Headline, true);
    headline.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    header_->setFont(headline);
    header_->setContentsMargins(20, 20, 20, 20);
}

QWidget* ListPanel::buildEmptyState() {
    auto* empty = new QWidget;
    auto* emptyColumn = new QVBoxLayout(empty);
    emptyColumn->addStretch();
    emptyColumn->setSpacing(10);
    emptyIcon_->setAlignment(Qt::AlignCenter);
    emptyLabel_->setAlignment(Qt::AlignCenter);
    emptyLabel_->setWordWrap(true);
    emptyColumn->addWidget(emptyIcon_);
    emptyColumn->addWidget(emptyLabel_);
    emptyColumn->addStretch();
    return empty;
}

void ListPanel::buildList() {
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setUniformItemSizes(true);
    list_->setSpacing(1); // 2 between rows
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setMouseTracking(false);
    list_->setAttribute(Qt::WA_TranslucentBackground);
    list_->viewport()->setAutoFillBackground(false);
    connect(list_, &QListView::clicked, this, [this](const QModelIndex& i) { clickRow(i.row()); });
    connect(list_, &QListView::doubleClicked, this,
            [this](const QModelIndex& i) { doubleClickRow(i.row()); });
    list_->setStyleSheet(QStringLiteral("QListView { background: transparent; }"));
    list_->installEventFilter(this);
}

QLayout* ListPanel::buildFooter() {
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(16, 16, 16, 16);
    footer->setSpacing(6);
    footer->addWidget(footer_);
    footer->addStretch();
    for (QPushButton* b : {add_, remove_}) {
        b->setFixedSize(34, 26);
        b->setFocusPolicy(Qt::TabFocus);
        b->setIconSize(QSize(14, 14));
        footer->addWidget(b);
    }
    return footer;
}

void ListPanel::applyColors() {
    const QColor secondary = theme_->secondary();
    for (QLabel* l : {emptyLabel_, footer_, header_}) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, l == header_ ? theme_->primary() : secondary);
        l->setPalette(p);
    }
    emptyIcon_->setPixmap(Icons::pixmap(emptySymbol_, secondary, 34, devicePixelRatioF()));
    add_->setIcon(
        Icons::pixmap(QStringLiteral("plus"), theme_->primary(), 14, devicePixelRatioF()));
    remove_->setIcon(Icons::pixmap(QStringLiteral("minus"),
                                   theme_->primary(remove_->isEnabled() ? 1.0 : 0.3), 14,
                                   devicePixelRatioF()));
    list_->viewport()->update();
    // The window's own look for the footer's buttons and the list's scroll bar.
    const QString buttons =
        QStringLiteral("QPushButton { background: %1; border: 1px solid %2; border-radius: 8px; }"
                       "QPushButton:hover { background: %3; }"
                       "QPushButton:pressed { background: %4; }"
                       "QPushButton:disabled { background: transparent; }"
                       "QPushButton:focus { border: 2px solid %5; }")
            .arg(Theme::css(theme_->primary(0.06)), Theme::css(theme_->primary(0.12)),
                 Theme::css(theme_->primary(0.10)), Theme::css(theme_->primary(0.16)),
                 Theme::css(theme_->neon()));
    for (QPushButton* b : {add_, remove_})
        b->setStyleSheet(buttons);
    list_->verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px;"
                       " min-height: 32px; }"
                       "QScrollBar::handle:vertical:hover { background: %2; }"
                       "QScrollBar::add-line, QScrollBar::sub-line { height: 0; border: none;"
                       " background: none; }"
                       "QScrollBar::add-page, QScrollBar::sub-page { background: none; }")
            .arg(Theme::css(theme_->primary(0.25)), Theme::css(theme_->primary(0.4))));
}

bool ListPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_) {
        if (event->type() == QEvent::FocusIn)
            list_->setProperty("keyboardFocus",
                               isKeyboardFocus(static_cast<QFocusEvent*>(event)->reason()));
        else if (event->type() == QEvent::KeyPress)
            list_->setProperty("keyboardFocus", true);
    }
    return GlassPanel::eventFilter(watched, event);
}

void ListPanel::followCursor() {
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && list_->hasFocus())
                    clickRow(current.row());
            });
}

void ListPanel::setTexts(const QString& header, const QString& empty, const QString& footer) {
    header_->setText(header);
    emptyLabel_->setText(empty);
    footer_->setText(footer);
    // The names a screen reader gives the list and the footer's symbol buttons.
    const QString lang = preferences_->language();
    const std::pair<QWidget*, QString> names[] = {{list_, header},
                                                  {add_, loc(QStringLiteral("add"), lang)},
                                                  {remove_, loc(QStringLiteral("remove"), lang)}};
    for (const auto& [widget, name] : names) {
        if (widget->accessibleName() != name)
            widget->setAccessibleName(name);
    }
}

void ListPanel::setEmpty(bool empty) {
    body_->setCurrentIndex(empty ? 0 : 1);
}

void ListPanel::setRemoveEnabled(bool enabled) {
    if (remove_->isEnabled() == enabled)
        return;
    remove_->setEnabled(enabled);
    remove_->setIcon(Icons::pixmap(QStringLiteral("minus"), theme_->primary(enabled ? 1.0 : 0.3),
                                   14, devicePixelRatioF()));
}

QString ListPanel::headerText() const {
    return header_->text();
}
QString ListPanel::footerText() const {
    return footer_->text();
}
QString ListPanel::emptyText() const {
    return emptyLabel_->text();
}
bool ListPanel::showsEmptyState() const {
    return body_->currentIndex() == 0;
}

void ListPanel::scrollToCentre(int row, bool instantly) {
    const QModelIndex index = list_->model() ? list_->model()->index(row, 0) : QModelIndex();
    if (!index.isValid())
        return;
    const QRect r = list_->visualRect(index);
    QScrollBar* bar = list_->verticalScrollBar();
    const int target = std::clamp(bar->value() + r.center().y() - list_->viewport()->height() / 2,
                                  bar->minimum(), bar->maximum());
    scroll_->stop();
    if (instantly) {
        bar->setValue(target);
        return;
    }
    scroll_->setStartValue(bar->value());
    scroll_->setEndValue(target);
    scroll_->start();
}

} // namespace orvane
