#pragma once

#include "engine/track.h"
#include "ui/listpanel.h"

#include <functional>

namespace orvane {

class AudioEngine;

// The engine's playlist as a list model: one row per track, identity by id. Appends arrive as
// row insertions, so thousands of tracks stream in without rebuilding the view.
class PlaylistModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit PlaylistModel(AudioEngine* engine, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    int rowOf(const QUuid& id) const;
    // The language of the rows' texts for a screen reader (their full text, "Now Playing").
    void setPreferences(Preferences* preferences);

private:
    void sync();
    AudioEngine* engine_;
    Preferences* preferences_ = nullptr;
    QList<QUuid> ids_;
};

// Paints one track line (PlaylistRow): number or play mark, "artist – title", time.
class PlaylistRow : public ListRow {
    Q_OBJECT
public:
    PlaylistRow(AudioEngine* engine, const QSet<QUuid>* selection, Theme* theme, QObject* parent);
    static RowLook look(const Track& track, int index, bool isCurrent, bool isSelected);
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
    // A click and a double click on a row, as the list delivers them.
    void clickRow(int row) override;
    void doubleClickRow(int row) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    AudioEngine* engine_;
    QSet<QUuid>* selection_;
    PlaylistModel* model_;
    std::function<void()> onImport_;
};

} // namespace orvane
