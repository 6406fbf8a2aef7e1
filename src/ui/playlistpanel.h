#pragma once

#include "core/coalesced.h"
#include "engine/track.h"
#include "ui/listpanel.h"

#include <QTimer>
#include <functional>
#include <memory>

class QLineEdit;
class QThreadPool;

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
    ~PlaylistModel() override; // waits for a build of filter keys in flight
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
    // True when every row's filter key is made (they are made in the background after the
    // list changes; a filter typed before then makes the missing ones itself).
    bool keysReady() const;

private:
    struct KeySource;
    void sync();
    // Appends a row's key (its folded title, artist and file name) to `text`.
    static void appendKey(QByteArray& text, const QString& title, const QString& artist,
                          const QString& fileName);
    // Where a playlist entry's key lies in keyText_; not made while `size` is kNone.
    struct KeyRef {
        static constexpr quint32 kNone = 0xFFFFFFFF;
        quint32 at = 0;
        quint32 size = kNone;
        bool made() const { return size != kNone; }
    };
    QByteArrayView keyAt(const KeyRef& ref) const {
        return QByteArrayView(keyText_.constData() + ref.at, ref.size);
    }
    // Drops the text of keys no row refers to any more, once it outweighs the rest.
    void compactKeys();
    bool accepts(int index) const;
    QList<int> shownRows() const;
    // Makes the missing keys on a thread of its own, `delayMs` from now (sooner when asked
    // again with a shorter delay); their rows are those of the list when the build starts.
    void buildKeysSoon(int delayMs);
    void buildKeys();
    AudioEngine* engine_;
    Preferences* preferences_ = nullptr;
    QList<QUuid> ids_; // the whole playlist, as last seen
    // Per playlist entry: its folded title, artist and file name in UTF-8 (not made at first),
    // as a place in keyText_, which holds them all end to end (a hundred thousand keys of
    // their own would cost an allocation and a header each). Made in the background when the
    // list is shown or grows, so that the first keystroke at a hundred thousand rows only
    // searches them.
    mutable QList<KeyRef> keys_;
    mutable QByteArray keyText_;
    // Bumped when rows keep their ids but may have been read anew: keys made before are stale.
    quint64 keysEpoch_ = 0;
    bool building_ = false;      // a build is running
    bool buildAgain_ = false;    // the list changed while it ran
    bool settling_ = false;      // rows are being read anew: the build waits for a quiet second
    QTimer buildTimer_;
    std::unique_ptr<QThreadPool> keyPool_; // one thread, made at the first build
    QList<QByteArray> words_;   // the folded filter words, in UTF-8
    QList<int> shown_;          // the playlist indices on show, in order
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
