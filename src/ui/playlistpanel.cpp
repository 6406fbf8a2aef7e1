#include "ui/playlistpanel.h"

#include "app/localization.h"
#include "app/preferences.h"
#include "engine/audioengine.h"
#include "ui/theme.h"
#include "ui/timestring.h"

#include <QListView>
#include <QPainter>
#include <QPushButton>

namespace orvane {

PlaylistModel::PlaylistModel(AudioEngine* engine, QObject* parent)
    : QAbstractListModel(parent)
    , engine_(engine) {
    connect(engine_, &AudioEngine::playlistChanged, this, &PlaylistModel::sync);
    sync();
}

void PlaylistModel::sync() {
    const QList<Track>& list = engine_->playlist();
    const int old = int(ids_.size()), now = int(list.size());
    // The common case while files arrive: tracks appended at the end.
    if (now > old && (old == 0 || list.at(old - 1).id == ids_.last())) {
        beginInsertRows({}, old, now - 1);
        for (int i = old; i < now; ++i)
            ids_.append(list.at(i).id);
        endInsertRows();
        return;
    }
    if (now == old) {
        bool same = true;
        for (int i = 0; i < now && same; ++i)
            same = list.at(i).id == ids_.at(i);
        if (same) {
            if (now > 0)
                Q_EMIT dataChanged(index(0), index(now - 1));
            return;
        }
    }
    beginResetModel();
    ids_.clear();
    ids_.reserve(now);
    for (const Track& t : list)
        ids_.append(t.id);
    endResetModel();
}

int PlaylistModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(ids_.size());
}

QVariant PlaylistModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= engine_->playlist().size())
        return {};
    if (role == Qt::UserRole)
        return QVariant::fromValue(engine_->playlist().at(index.row()).id);
    if (role == Qt::DisplayRole)
        return engine_->playlist().at(index.row()).title;
    if (role == Qt::AccessibleTextRole || role == Qt::AccessibleDescriptionRole) {
        const Track& track = engine_->playlist().at(index.row());
        const bool current = track.id == engine_->currentID();
        if (role == Qt::AccessibleDescriptionRole)
            return current && preferences_
                       ? loc(QStringLiteral("now_playing"), preferences_->language())
                       : QString();
        const RowLook look = PlaylistRow::look(track, index.row(), current, false);
        return look.name + QStringLiteral(", ") + look.trailing;
    }
    return {};
}

void PlaylistModel::setPreferences(Preferences* preferences) {
    preferences_ = preferences;
    auto all = [this] {
        if (!ids_.isEmpty())
            Q_EMIT dataChanged(index(0), index(int(ids_.size()) - 1),
                               {Qt::AccessibleTextRole, Qt::AccessibleDescriptionRole});
    };
    connect(preferences_, &Preferences::languageChanged, this, all);
}

int PlaylistModel::rowOf(const QUuid& id) const {
    return int(ids_.indexOf(id));
}

PlaylistRow::PlaylistRow(AudioEngine* engine, const QSet<QUuid>* selection, Theme* theme,
                         QObject* parent)
    : ListRow(parent)
    , engine_(engine)
    , selection_(selection)
    , theme_(theme) {}

RowLook PlaylistRow::look(const Track& track, int index, bool isCurrent, bool isSelected) {
    RowLook look;
    look.mark = QString::asprintf("%02d", index + 1);
    if (isCurrent)
        look.markSymbol = QStringLiteral("play-circle-filled");
    look.name =
        track.artist.isEmpty() ? track.title : track.artist + QStringLiteral(" – ") + track.title;
    look.trailing = timeString(track.duration);
    look.trailingAccent = isCurrent;
    look.current = isCurrent;
    look.selected = isSelected;
    return look;
}

void PlaylistRow::paint(QPainter* painter, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const {
    const int row = index.row();
    if (row < 0 || row >= engine_->playlist().size())
        return;
    const Track& track = engine_->playlist().at(row);
    RowLook l = look(track, row, track.id == engine_->currentID(), selection_->contains(track.id));
    l.focused = (option.state & QStyle::State_HasFocus) && option.widget &&
                option.widget->property("keyboardFocus").toBool();
    paintRow(*painter, option.rect, l, *theme_, option.font);
}

PlaylistPanel::PlaylistPanel(AudioEngine* engine, QSet<QUuid>* selection, Preferences* preferences,
                             Theme* theme, QWidget* parent)
    : ListPanel(theme, preferences, QStringLiteral("plus-circle"), parent)
    , engine_(engine)
    , selection_(selection)
    , model_(new PlaylistModel(engine, this)) {
    model_->setPreferences(preferences_);
    list()->setModel(model_);
    list()->setItemDelegate(new PlaylistRow(engine_, selection_, theme_, this));
    followCursor();
    connect(addButton(), &QPushButton::clicked, this, [this] {
        if (onImport_)
            onImport_();
    });
    connect(removeButton(), &QPushButton::clicked, this, [this] {
        engine_->remove(*selection_);
        selection_->clear();
        refresh();
    });
    connect(engine_, &AudioEngine::playlistChanged, this, &PlaylistPanel::refresh);
    connect(engine_, &AudioEngine::currentIDChanged, this, [this] {
        list()->viewport()->update();
        if (!engine_->currentID().isNull() && isVisible())
            scrollToCentre(model_->rowOf(engine_->currentID()), false);
    });
    connect(preferences_, &Preferences::languageChanged, this, &PlaylistPanel::refresh);
    refresh();
}

void PlaylistPanel::refresh() {
    const QString lang = preferences_->language();
    QString footer = loc(QStringLiteral("tracks_footer"), lang);
    footer.replace(QStringLiteral("%d"), QString::number(engine_->playlist().size()));
    footer.replace(QStringLiteral("%@"), timeString(engine_->totalDuration()));
    const bool wasEmpty = showsEmptyState();
    setTexts(loc(QStringLiteral("playlist_header"), lang),
             loc(QStringLiteral("empty_playlist"), lang), footer);
    setEmpty(engine_->playlist().isEmpty());
    setRemoveEnabled(!selection_->isEmpty());
    if (wasEmpty && !showsEmptyState() && !engine_->currentID().isNull())
        scrollToCentre(model_->rowOf(engine_->currentID()), true);
}

void PlaylistPanel::clickRow(int row) {
    if (row < 0 || row >= engine_->playlist().size())
        return;
    *selection_ = {engine_->playlist().at(row).id};
    setRemoveEnabled(true);
    list()->viewport()->update();
}

void PlaylistPanel::doubleClickRow(int row) {
    if (row < 0 || row >= engine_->playlist().size())
        return;
    engine_->play(Track(engine_->playlist().at(row)));
}

void PlaylistPanel::showEvent(QShowEvent* event) {
    ListPanel::showEvent(event);
    refresh();
    if (!engine_->currentID().isNull())
        scrollToCentre(model_->rowOf(engine_->currentID()), true);
}

} // namespace orvane
