#pragma once

#include "radio/radiostation.h"
#include "ui/listpanel.h"

class QNetworkAccessManager;

namespace orvane {

class AudioEngine;
class RadioBrowser;

class StationModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit StationModel(AudioEngine* engine, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // The language of the rows' texts for a screen reader ("Now Playing", the stream's state).
    void setPreferences(Preferences* preferences) { preferences_ = preferences; }

private:
    AudioEngine* engine_;
    Preferences* preferences_ = nullptr;
};

// Paints one station line (RadioRow): number or radio mark, name, status on the current row.
class RadioRow : public ListRow {
    Q_OBJECT
public:
    RadioRow(AudioEngine* engine, const QSet<QUuid>* selection, Preferences* preferences,
             Theme* theme, QObject* parent);
    static RowLook look(const RadioStation& station, int index, bool isCurrent, bool isSelected,
                        const QString& status);
    std::optional<RowLook> rowLook(const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    AudioEngine* engine_;
    const QSet<QUuid>* selection_;
    Preferences* preferences_;
    Theme* theme_;
};

// The right panel in radio mode. Its selection starts empty whenever it appears.
class RadioPanel : public ListPanel {
    Q_OBJECT
public:
    RadioPanel(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences, Theme* theme,
               QWidget* parent = nullptr);
    void clickRow(int row) override;
    void doubleClickRow(int row) override;
    const QSet<QUuid>& selection() const { return selection_; }
    // Opens the add-station sheet (modal over the window).
    void showAddSheet();
    // Opens the same sheet as the editor of the station on this row (window-modal; returns at
    // once).
    void editStation(int row);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    AudioEngine* engine_;
    RadioBrowser* catalog_;
    QSet<QUuid> selection_;
    StationModel* model_;
};

} // namespace orvane
