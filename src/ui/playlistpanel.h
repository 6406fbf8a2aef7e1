#pragma once

#include "core/coalesced.h"
#include "engine/track.h"
#include "ui/listpanel.h"

#include <functional>

class QLineEdit;

namespace orvane {

class AudioEngine;

// The engine's playlist as a list model: one row per shown track, identity by id. Appends
// arrive as row insertions, so thousands of tracks stream in without rebuilding the view; a
// reorder moves the rows (the view's cursor goes along). A filter shows only the tracks whose
// title, artist or file name contain every word of it, ignoring case and accents.
class PlaylistModel : public QAbstractListModel {
    Q_OBJECT
public:
    // The track's place in the whole playlist (an int), for its number.
    static constexpr int PlaylistIndexRole = Qt::UserRole + 1;

    explicit PlaylistModel(AudioEngine* engine, QObject* parent = nullptr);
    QModelIndex index(int row, int column = 0, const QModelIndex& parent = {}) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // The shown row of this track; -1 when it is not in the playlist or filtered out.
    int rowOf(const QUuid& id) const;
    // The language of the rows' texts for a screen reader (their full text, "Now Playing").
    void setPreferences(Preferences* preferences);
    // The playlist index of a shown row; -1 outside.
    int playlistIndex(int row) const;
    QUuid idAt(int row) const;

    void setFilter(const QString& text);
    bool isFiltered() const { return !words_.isEmpty(); }
    // Text as the filter compares it: accents and other marks dropped (é → e, ё → е),
    // compatibility forms unfolded, case folded.
    static QString fold(const QString& text);

private:
    void sync();
    QString keyOf(const Track& track) const;
    bool accepts(int index) const;
    QList<int> shownRows() const;
    AudioEngine* engine_;
    Preferences* preferences_ = nullptr;
    QList<QUuid> ids_; // the whole playlist, as last seen
    // Per playlist entry: its folded title, artist and file name, made when a filter first
    // needs it (null until then), so that a long list is shown without a pass over its rows.
    mutable QStringList keys_;
    QStringList words_; // the folded filter words
    QList<int> shown_;  // the playlist indices on show, in order
};

// Paints one track line (PlaylistRow): number or play mark, "artist – title", time.
class PlaylistRow : public ListRow {
    Q_OBJECT
public:
    PlaylistRow(AudioEngine* engine, const QSet<QUuid>* selection, Theme* theme, QObject* parent);
    static RowLook look(const Track& track, int index, bool isCurrent, bool isSelected);
    std::optional<RowLook> rowLook(const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    AudioEngine* engine_;
    const QSet<QUuid>* selection_;
    Theme* theme_;
};

// The right panel in library mode. The selection belongs to the window and is lent here.
class PlaylistPanel : public ListPanel {
    Q_OBJECT
public:
    PlaylistPanel(AudioEngine* engine, QSet<QUuid>* selection, Preferences* preferences,
                  Theme* theme, QWidget* parent = nullptr);
    // Asked of the window: show the open dialog.
    void setOnImport(std::function<void()> onImport) { onImport_ = std::move(onImport); }
    PlaylistModel* model() const { return model_; }
    // A click and a double click on a (shown) row, as the list delivers them. A click with
    // Ctrl adds or takes the row, with Shift it selects the rows from the last one clicked.
    void clickRow(int row) override;
    void doubleClickRow(int row) override;

    // The filter field above the list; typing in it narrows the rows.
    QLineEdit* filterField() const { return filter_; }
    void focusFilter();
    void clearFilter();
    // Alt+Up / Alt+Down: the selected tracks go one shown row up or down.
    void moveSelection(int step);
    // The selected track that comes first in the playlist; null when none.
    QUuid firstSelected() const;
    // Ctrl+A: every shown row.
    void selectAll();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    // The playlist changes once per appended track while files come in: then the footer
    // follows once per pass of the event loop, before anything is drawn. Other changes (the
    // first tracks, removals, moves) show at once.
    void playlistChanged();
    void applyFilter();
    void removeSelected();
    // The row the list's cursor and the selection move to, quietly (not as a user's click).
    void selectOnly(int row);
    int dropGap(const QPoint& at) const;
    void showDropLine(int gap);
    void drop(int gap);
    AudioEngine* engine_;
    QSet<QUuid>* selection_;
    PlaylistModel* model_;
    QLineEdit* filter_;
    QWidget* dropLine_;
    std::function<void()> onImport_;
    QUuid anchor_;                         // the last row clicked, for Shift
    Qt::KeyboardModifiers clickModifiers_; // of the click being delivered
    int pressRow_ = -1;                    // the row a press on the list hit
    qsizetype shownCount_ = 0;             // the number of tracks the footer was made for
    QPoint pressAt_;
    bool pressing_ = false;    // the button is down: the click, not the cursor, selects
    bool quietCursor_ = false; // the cursor is moved here, not by the user
    bool dragging_ = false;
    Coalesced refreshSoon_{this, [this] { refresh(); }};
};

} // namespace orvane
