#pragma once

#include "ui/glasspanel.h"

#include <QAbstractListModel>
#include <QSet>
#include <QStyledItemDelegate>
#include <QUuid>
#include <optional>

class QLabel;
class QLayout;
class QListView;
class QPushButton;
class QStackedWidget;
class QVariantAnimation;

namespace orvane {

class NoticeBar;
class Preferences;

// One row's look, shared by the playlist and the station list: a leading mark (the position
// "%02d", or a symbol on the current row), the name on one line, an optional trailing text;
// a tinted rounded background on the current (accent) or selected (text colour) row.
struct RowLook {
    QString mark;       // the number, when markSymbol is empty
    QString markSymbol; // the symbol on the current row
    QString name;
    QString trailing;
    bool current = false;
    bool selected = false;
    bool trailingAccent = false;
    bool focused = false; // the list has the keyboard focus and this is its cursor row
};
void paintRow(QPainter& painter, const QRect& rect, const RowLook& look, const Theme& theme,
              const QFont& font);

// The delegate both lists' rows share: every row is the list's width and one text line tall.
class ListRow : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A name the row cuts short shows whole in a tooltip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    // What the row at `index` shows; none outside the list.
    virtual std::optional<RowLook> rowLook(const QModelIndex& index) const = 0;

protected:
    // Paints rowLook(index), with the cursor ring while the list has the keyboard.
    void paintLook(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const Theme& theme) const;
};

// The frame both list panels share: a header, the list or an empty state, and a footer with a
// count and add/remove buttons. Selection is a set of ids, one at a time; a click selects,
// a double click plays.
class ListPanel : public GlassPanel {
    Q_OBJECT
public:
    ListPanel(Theme* theme, Preferences* preferences, QString emptySymbol, QWidget* parent);

    QListView* list() const { return list_; }
    // Notices for the user (a save that failed, files that would not open, a stream's failure),
    // at the top of the panel under its header.
    NoticeBar* noticeBar() const { return notice_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* removeButton() const { return remove_; }
    QString headerText() const;
    QString footerText() const;
    QString emptyText() const;
    bool showsEmptyState() const;

    // A click selects the row, a double click plays it.
    virtual void clickRow(int row) = 0;
    virtual void doubleClickRow(int row) = 0;

    // The row with this id centred in the list; animated over 0.35 s unless `instantly`.
    void scrollToCentre(int row, bool instantly);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Called once the list has its model: the keyboard's cursor (Up/Down, Home/End) selects.
    void followCursor();
    void setTexts(const QString& header, const QString& empty, const QString& footer);
    void setEmpty(bool empty);
    void setRemoveEnabled(bool enabled);
    Preferences* preferences_;

private:
    // The steps of the constructor, top to bottom, and the colours of the theme on show.
    void buildHeader();
    QWidget* buildEmptyState(); // symbol and text when the list has no rows
    void buildList();           // the list view's look and clicks
    QLayout* buildFooter();     // the count and the add and remove buttons
    void applyColors();

    QLabel* header_;
    NoticeBar* notice_;
    QStackedWidget* body_;
    QLabel* emptyLabel_;
    QLabel* emptyIcon_;
    QString emptySymbol_;
    QListView* list_;
    QLabel* footer_;
    QPushButton* add_;
    QPushButton* remove_;
    QVariantAnimation* scroll_;
};

} // namespace orvane
