#include "ui/radiopanel.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "ui/addstationsheet.h"
#include "ui/theme.h"

#include <QListView>
#include <QPushButton>

namespace orvane {

StationModel::StationModel(AudioEngine* engine, QObject* parent)
    : QAbstractListModel(parent)
    , engine_(engine) {
    // A few dozen rows at most: a change resets the model.
    connect(engine_, &AudioEngine::stationsChanged, this, [this] {
        beginResetModel();
        endResetModel();
    });
}

int StationModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(engine_->stations().size());
}

QVariant StationModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= engine_->stations().size())
        return {};
    const RadioStation& station = engine_->stations().at(index.row());
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return station.name;
    if (role == Qt::AccessibleDescriptionRole) {
        if (station.id != engine_->currentStationID() || !preferences_)
            return QString();
        const QString lang = preferences_->language();
        QString text = loc(QStringLiteral("now_playing"), lang);
        if (!engine_->radioStatus().isEmpty())
            text += QStringLiteral(", ") + loc(engine_->radioStatus(), lang);
        return text;
    }
    return {};
}

RadioRow::RadioRow(AudioEngine* engine, const QSet<QUuid>* selection, Preferences* preferences,
                   Theme* theme, QObject* parent)
    : ListRow(parent)
    , engine_(engine)
    , selection_(selection)
    , preferences_(preferences)
    , theme_(theme) {}

RowLook RadioRow::look(const RadioStation& station, int index, bool isCurrent, bool isSelected,
                       const QString& status) {
    RowLook look;
    look.mark = QString::asprintf("%02d", index + 1);
    if (isCurrent) {
        look.markSymbol = QStringLiteral("radio-waves");
        look.trailing = status;
        look.trailingAccent = true;
    }
    look.name = station.name;
    look.current = isCurrent;
    look.selected = isSelected;
    return look;
}

std::optional<RowLook> RadioRow::rowLook(const QModelIndex& index) const {
    const int row = index.row();
    if (row < 0 || row >= engine_->stations().size())
        return std::nullopt;
    const RadioStation& station = engine_->stations().at(row);
    const bool isCurrent = station.id == engine_->currentStationID();
    // Only the current row shows the stream's state.
    const QString status = !isCurrent || engine_->radioStatus().isEmpty()
                               ? QString()
                               : loc(engine_->radioStatus(), preferences_->language());
    return look(station, row, isCurrent, selection_->contains(station.id), status);
}

void RadioRow::paint(QPainter* painter, const QStyleOptionViewItem& option,
                     const QModelIndex& index) const {
    paintLook(painter, option, index, *theme_);
}

RadioPanel::RadioPanel(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences,
                       Theme* theme, QWidget* parent)
    : ListPanel(theme, preferences, QStringLiteral("radio-waves"), parent)
    , engine_(engine)
    , catalog_(catalog)
    , model_(new StationModel(engine, this)) {
    model_->setPreferences(preferences_);
    list()->setModel(model_);
    list()->setItemDelegate(new RadioRow(engine_, &selection_, preferences_, theme_, this));
    followCursor();
    connect(addButton(), &QPushButton::clicked, this, &RadioPanel::showAddSheet);
    connect(removeButton(), &QPushButton::clicked, this, [this] {
        engine_->removeStations(selection_);
        selection_.clear();
        refresh();
    });
    for (auto signal : {&AudioEngine::stationsChanged, &AudioEngine::currentStationIDChanged,
                        &AudioEngine::radioStatusChanged})
        connect(engine_, signal, this, &RadioPanel::refresh);
    connect(preferences_, &Preferences::languageChanged, this, &RadioPanel::refresh);
    refresh();
}

void RadioPanel::refresh() {
    const QString lang = preferences_->language();
    QString footer = loc(QStringLiteral("stations_footer"), lang);
    footer.replace(QStringLiteral("%d"), QString::number(engine_->stations().size()));
    setTexts(loc(QStringLiteral("radio_header"), lang), loc(QStringLiteral("empty_radio"), lang),
             footer);
    setEmpty(engine_->stations().isEmpty());
    setRemoveEnabled(!selection_.isEmpty());
    list()->viewport()->update();
}

void RadioPanel::clickRow(int row) {
    if (row < 0 || row >= engine_->stations().size())
        return;
    selection_ = {engine_->stations().at(row).id};
    refresh();
}

void RadioPanel::doubleClickRow(int row) {
    if (row < 0 || row >= engine_->stations().size())
        return;
    engine_->play(RadioStation(engine_->stations().at(row)));
}

void RadioPanel::showAddSheet() {
    AddStationSheet sheet(engine_, catalog_, preferences_, theme_, window());
    // The window's commands (Quit, Settings) work over the sheet too.
    sheet.addActions(window()->actions());
    sheet.exec();
}

void RadioPanel::editStation(int row) {
    if (row < 0 || row >= engine_->stations().size())
        return;
    auto* sheet = new AddStationSheet(engine_, catalog_, preferences_, theme_, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->editStation(engine_->stations().at(row));
    sheet->open();
}

void RadioPanel::showEvent(QShowEvent* event) {
    ListPanel::showEvent(event);
    selection_.clear(); // a fresh selection each time the panel appears
    refresh();
}

} // namespace orvane
