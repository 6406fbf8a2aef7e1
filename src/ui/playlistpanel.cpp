#include "ui/playlistpanel.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "ui/theme.h"
#include "ui/timestring.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QThreadPool>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace orvane {

PlaylistModel::PlaylistModel(AudioEngine* engine, QObject* parent)
    : QAbstractListModel(parent)
    , engine_(engine) {
    buildTimer_.setSingleShot(true);
    connect(&buildTimer_, &QTimer::timeout, this, &PlaylistModel::buildKeys);
    connect(engine_, &AudioEngine::playlistChanged, this, &PlaylistModel::sync);
    sync();
}

PlaylistModel::~PlaylistModel() {
    if (keyPool_) {
        keyPool_->clear();
        keyPool_->waitForDone(); // a build posts its keys to this object
    }
}

QString PlaylistModel::fold(const QString& text) {
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        return text.toCaseFolded();
    const QString unfolded = text.normalized(QString::NormalizationForm_KD);
    QString out;
    out.reserve(unfolded.size());
    for (const QChar c : unfolded) {
        const QChar::Category category = c.category();
        if (category != QChar::Mark_NonSpacing && category != QChar::Mark_SpacingCombining &&
            category != QChar::Mark_Enclosing)
            out.append(c);
    }
    return out.toCaseFolded();
}

void PlaylistModel::appendKey(QByteArray& text, const QString& title, const QString& artist,
                              const QString& fileName) {
    // Fields apart by a line break, which no word contains: a word never spans two of them.
    // UTF-8: a folded word is found in it exactly where it is found in the UTF-16 text. Plain
    // ASCII is written straight from the texts, its folding being lowering A to Z.
    const auto ascii = [](QStringView s) {
        return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x80; });
    };
    if (ascii(title) && ascii(artist) && ascii(fileName)) {
        const qsizetype at = text.size();
        text.resize(at + title.size() + artist.size() + fileName.size() + 2);
        char* out = text.data() + at;
        const auto put = [&out](QStringView s) {
            for (const QChar c : s) {
                const char16_t u = c.unicode();
                *out++ = char(u >= u'A' && u <= u'Z' ? u + (u'a' - u'A') : u);
            }
        };
        put(title);
        *out++ = '\n';
        put(artist);
        *out++ = '\n';
        put(fileName);
        return;
    }
    text.append(
        (fold(title) + QLatin1Char('\n') + fold(artist) + QLatin1Char('\n') + fold(fileName))
            .toUtf8());
}

bool PlaylistModel::accepts(int index) const {
    KeyRef& ref = keys_[index];
    if (!ref.made()) {
        const qsizetype at = keyText_.size();
        const QList<Track>& list = engine_->playlist();
        if (index < list.size() && list.at(index).id == ids_.at(index)) {
            const Track& t = list.at(index);
            appendKey(keyText_, t.title, t.artist, t.fileName());
        } else {
            keyText_.append("\n\n");
        }
        ref = {quint32(at), quint32(keyText_.size() - at)};
    }
    const QByteArrayView key = keyAt(ref);
    for (const QByteArray& word : words_) {
        if (!key.contains(word))
            return false;
    }
    return true;
}

bool PlaylistModel::keysReady() const {
    return std::all_of(keys_.cbegin(), keys_.cend(), [](const KeyRef& k) { return k.made(); });
}

void PlaylistModel::compactKeys() {
    qsizetype live = 0;
    for (const KeyRef& ref : std::as_const(keys_))
        live += ref.made() ? ref.size : 0;
    // Within bounds, and no larger than twice what is used: left as it is.
    if (keyText_.size() <= 2 * live + 64 * 1024 && keyText_.size() < KeyRef::kNone / 2)
        return;
    QByteArray text;
    text.reserve(live);
    for (KeyRef& ref : keys_) {
        if (!ref.made())
            continue;
        const qsizetype at = text.size();
        text.append(keyAt(ref));
        ref.at = quint32(at);
    }
    keyText_ = std::move(text);
}

// What a build needs of a row: copies of its texts (shared, not duplicated), never the track.
struct PlaylistModel::KeySource {
    qsizetype row;
    QUuid id;
    QString title, artist, path;
    std::optional<QByteArray> bookmark; // the file's name is taken from it, on the build's thread
};

void PlaylistModel::buildKeysSoon(int delayMs) {
    if (!buildTimer_.isActive() || buildTimer_.remainingTime() > delayMs)
        buildTimer_.start(delayMs);
}

void PlaylistModel::buildKeys() {
    settling_ = false;
    if (building_) {
        buildAgain_ = true;
        return;
    }
    const QList<Track>& list = engine_->playlist();
    auto sources = std::make_shared<std::vector<KeySource>>();
    for (qsizetype i = 0; i < keys_.size() && i < list.size(); ++i) {
        const Track& t = list.at(i);
        if (keys_.at(i).made() || t.id != ids_.at(i))
            continue;
        sources->push_back({i, t.id, t.title, t.artist, t.bookmark ? QString() : t.path(),
                            t.bookmark});
    }
    if (sources->empty())
        return;
    if (!keyPool_) {
        keyPool_ = std::make_unique<QThreadPool>();
        keyPool_->setObjectName(QStringLiteral("orvane-filter"));
        keyPool_->setMaxThreadCount(1);
        keyPool_->setExpiryTimeout(5000);
    }
    building_ = true;
    keyPool_->start([this, sources, epoch = keysEpoch_] {
        // The keys end to end, and where each ends.
        auto text = std::make_shared<QByteArray>();
        auto ends = std::make_shared<std::vector<quint32>>();
        ends->reserve(sources->size());
        for (KeySource& s : *sources) {
            Track named;
            named.bookmark = std::move(s.bookmark);
            if (!named.bookmark)
                named.setPath(std::move(s.path));
            appendKey(*text, s.title, s.artist, named.fileName());
            ends->push_back(quint32(std::min<qsizetype>(text->size(), KeyRef::kNone - 1)));
            s.title = s.artist = QString(); // let go here, not on the main thread
        }
        text->squeeze();
        QMetaObject::invokeMethod(
            this,
            [this, sources, text, ends, epoch] {
                building_ = false;
                const qsizetype base = keyText_.size();
                if (epoch == keysEpoch_ && base + text->size() < KeyRef::kNone) {
                    if (keyText_.isEmpty())
                        keyText_ = std::move(*text); // the common case: no copy
                    else
                        keyText_.append(*text);
                    quint32 from = 0;
                    for (size_t i = 0; i < sources->size(); ++i) {
                        const KeySource& s = sources->at(i);
                        const quint32 to = ends->at(i);
                        if (s.row < ids_.size() && ids_.at(s.row) == s.id &&
                            !keys_.at(s.row).made())
                            keys_[s.row] = {quint32(base + from), to - from};
                        from = to;
                    }
                }
                if (std::exchange(buildAgain_, false))
                    buildKeysSoon(0);
            },
            Qt::QueuedConnection);
    });
}

QList<int> PlaylistModel::shownRows() const {
    QList<int> rows;
    rows.reserve(ids_.size());
    for (int i = 0; i < ids_.size(); ++i) {
        if (words_.isEmpty() || accepts(i))
            rows.append(i);
    }
    return rows;
}

void PlaylistModel::sync() {
    const QList<Track>& list = engine_->playlist();
    const int old = int(ids_.size()), now = int(list.size());
    // The common case while files arrive: tracks appended at the end.
    if (now > old && (old == 0 || list.at(old - 1).id == ids_.last())) {
        QList<int> added;
        added.reserve(now - old);
        if (old == 0) { // a whole list at once (a start); later appends grow as lists do
            ids_.reserve(now);
            keys_.reserve(now);
        }
        for (int i = old; i < now; ++i) {
            ids_.append(list.at(i).id);
            keys_.append(KeyRef{});
            if (words_.isEmpty() || accepts(i))
                added.append(i);
        }
        if (!added.isEmpty()) {
            beginInsertRows({}, int(shown_.size()), int(shown_.size() + added.size() - 1));
            shown_.append(added);
            endInsertRows();
        }
        if (!settling_)
            buildKeysSoon(0);
        return;
    }
    bool sameOrder = now == old;
    for (int i = 0; i < now && sameOrder; ++i)
        sameOrder = list.at(i).id == ids_.at(i);
    if (sameOrder) {
        for (int i = 0; i < now; ++i)
            keys_[i] = KeyRef{}; // the same tracks, perhaps read anew
        keyText_ = QByteArray();
        ++keysEpoch_;
        // Rows read anew come a batch at a time while a big add is read: the keys are made
        // again once that has settled, not at every batch (nor at every append meanwhile).
        settling_ = true;
        buildTimer_.start(1000);
        const QList<int> rows = shownRows();
        if (rows == shown_) {
            if (!shown_.isEmpty())
                Q_EMIT dataChanged(index(0), index(int(shown_.size()) - 1));
            return;
        }
        beginResetModel();
        shown_ = rows;
        endResetModel();
        return;
    }
    if (!settling_)
        buildKeysSoon(0);
    // What was known of each track is kept by id.
    QHash<QUuid, KeyRef> known;
    known.reserve(old);
    for (int i = 0; i < old; ++i)
        known.insert(ids_.at(i), keys_.at(i));
    bool sameTracks = now == old;
    for (int i = 0; i < now && sameTracks; ++i)
        sameTracks = known.contains(list.at(i).id);
    if (sameTracks) {
        // A reorder: the rows move, and the view's cursor and its other kept indices follow
        // their tracks.
        Q_EMIT layoutAboutToBeChanged();
        const QModelIndexList before = persistentIndexList();
        QList<QUuid> movedIds;
        for (const QModelIndex& i : before)
            movedIds.append(idAt(i.row()));
        for (int i = 0; i < now; ++i) {
            ids_[i] = list.at(i).id;
            keys_[i] = known.value(ids_.at(i));
        }
        compactKeys();
        shown_ = shownRows();
        QModelIndexList after;
        for (const QUuid& id : std::as_const(movedIds)) {
            const int row = rowOf(id);
            after.append(row < 0 ? QModelIndex() : index(row));
        }
        changePersistentIndexList(before, after);
        Q_EMIT layoutChanged();
        return;
    }
    beginResetModel();
    ids_.clear();
    keys_.clear();
    ids_.reserve(now);
    keys_.reserve(now);
    for (const Track& t : list) {
        ids_.append(t.id);
        const auto k = known.constFind(t.id);
        keys_.append(k != known.constEnd() ? *k : KeyRef{});
    }
    compactKeys();
    shown_ = shownRows();
    endResetModel();
}

void PlaylistModel::setFilter(const QString& text) {
    QList<QByteArray> words;
    for (const QString& word :
         fold(text).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        words.append(word.toUtf8());
    if (words == words_)
        return;
    words_ = words;
    if (!words_.isEmpty())
        engine_->checkAllFiles(); // a search finds what the files say now
    beginResetModel();
    shown_ = shownRows();
    endResetModel();
}

QModelIndex PlaylistModel::index(int row, int column, const QModelIndex& parent) const {
    // Asked for every row as the view lays out a long list: without a round of virtual calls
    // (hasIndex, rowCount, columnCount) for each.
    return row >= 0 && row < shown_.size() && column == 0 && !parent.isValid()
               ? createIndex(row, column)
               : QModelIndex();
}

int PlaylistModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(shown_.size());
}

QVariant PlaylistModel::data(const QModelIndex& index, int role) const {
    const int i = index.isValid() ? playlistIndex(index.row()) : -1;
    if (i < 0 || i >= engine_->playlist().size())
        return {};
    if (role == Qt::UserRole)
        return QVariant::fromValue(engine_->playlist().at(i).id);
    if (role == PlaylistIndexRole)
        return i;
    if (role == Qt::DisplayRole)
        return engine_->playlist().at(i).title;
    if (role == Qt::AccessibleTextRole || role == Qt::AccessibleDescriptionRole) {
        const Track& track = engine_->playlist().at(i);
        const bool current = track.id == engine_->currentID();
        if (role == Qt::AccessibleDescriptionRole)
            return current && preferences_
                       ? loc(QStringLiteral("now_playing"), preferences_->language())
                       : QString();
        const RowLook look = PlaylistRow::look(track, i, current, false);
        return look.name + QStringLiteral(", ") + look.trailing;
    }
    return {};
}

void PlaylistModel::setPreferences(Preferences* preferences) {
    preferences_ = preferences;
    auto all = [this] {
        if (rowCount() > 0)
            Q_EMIT dataChanged(index(0), index(rowCount() - 1),
                               {Qt::AccessibleTextRole, Qt::AccessibleDescriptionRole});
    };
    connect(preferences_, &Preferences::languageChanged, this, all);
}

int PlaylistModel::rowOf(const QUuid& id) const {
    for (int row = 0; row < shown_.size(); ++row) {
        if (ids_.at(shown_.at(row)) == id)
            return row;
    }
    return -1;
}

int PlaylistModel::playlistIndex(int row) const {
    return row >= 0 && row < shown_.size() ? shown_.at(row) : -1;
}

QUuid PlaylistModel::idAt(int row) const {
    const int i = playlistIndex(row);
    return i < 0 ? QUuid() : ids_.at(i);
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

std::optional<RowLook> PlaylistRow::rowLook(const QModelIndex& index) const {
    const QVariant at = index.data(PlaylistModel::PlaylistIndexRole);
    const int i = at.isValid() ? at.toInt() : -1;
    if (i < 0 || i >= engine_->playlist().size())
        return std::nullopt;
    const Track& track = engine_->playlist().at(i);
    // The number is the track's place in the whole playlist, filtered or not.
    RowLook shown = look(track, i, track.id == engine_->currentID(), selection_->contains(track.id));
    if (track.unchecked != 0) // shown from what an earlier run read: is its file still so?
        engine_->checkFile(track.id, i);
    return shown;
}

void PlaylistRow::paint(QPainter* painter, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const {
    paintLook(painter, option, index, *theme_);
}

PlaylistPanel::PlaylistPanel(AudioEngine* engine, QSet<QUuid>* selection, Preferences* preferences,
                             Theme* theme, QWidget* parent)
    : ListPanel(theme, preferences, QStringLiteral("plus-circle"), parent)
    , engine_(engine)
    , selection_(selection)
    , model_(new PlaylistModel(engine, this))
    , filter_(new QLineEdit)
    , dropLine_(new QWidget(list()->viewport())) {
    model_->setPreferences(preferences_);
    list()->setModel(model_);
    list()->setItemDelegate(new PlaylistRow(engine_, selection_, theme_, this));
    followCursor();
    list()->viewport()->installEventFilter(this);
    dropLine_->setAttribute(Qt::WA_StyledBackground);
    dropLine_->setAttribute(Qt::WA_TransparentForMouseEvents);
    dropLine_->hide();

    // The filter field sits between the header (and its notices) and the list.
    auto* row = new QHBoxLayout;
    row->setContentsMargins(12, 0, 12, 8); // in line with the rows
    row->addWidget(filter_);
    static_cast<QVBoxLayout*>(layout())->insertLayout(2, row);
    filter_->setClearButtonEnabled(true);
    filter_->setFont(Theme::textStyle(font(), Theme::Callout));
    filter_->installEventFilter(this);
    connect(filter_, &QLineEdit::textChanged, this, &PlaylistPanel::applyFilter);
    auto recolor = [this] {
        const QColor neon = theme_->neon(), text = theme_->primary(),
                     placeholder = theme_->secondary();
        filter_->setStyleSheet(
            QStringLiteral("QLineEdit { background: %1; border: 1px solid %2; border-radius: 8px;"
                           " padding: 4px 8px; color: %3; selection-background-color: %4; }"
                           "QLineEdit:focus { border: 2px solid %4; padding: 3px 7px; }")
                .arg(Theme::css(theme_->primary(0.06)), Theme::css(theme_->primary(0.12)),
                     Theme::css(text), Theme::css(neon)));
        QPalette p = filter_->palette();
        p.setColor(QPalette::PlaceholderText, placeholder);
        filter_->setPalette(p);
        dropLine_->setStyleSheet(
            QStringLiteral("background: %1; border-radius: 1px;").arg(Theme::css(neon)));
    };
    connect(theme_, &Theme::changed, this, recolor);
    recolor();

    connect(addButton(), &QPushButton::clicked, this, [this] {
        if (onImport_)
            onImport_();
    });
    connect(removeButton(), &QPushButton::clicked, this, &PlaylistPanel::removeSelected);
    connect(engine_, &AudioEngine::playlistChanged, this, &PlaylistPanel::playlistChanged);
    connect(engine_, &AudioEngine::currentIDChanged, this, [this] {
        list()->viewport()->update();
        if (!engine_->currentID().isNull() && isVisible())
            scrollToCentre(model_->rowOf(engine_->currentID()), false);
    });
    connect(preferences_, &Preferences::languageChanged, this, &PlaylistPanel::refresh);
    refresh();
}

void PlaylistPanel::playlistChanged() {
    const qsizetype now = engine_->playlist().size();
    if (shownCount_ == 0 || now <= shownCount_) {
        refresh();
        return;
    }
    refreshSoon_.request(); // once per pass while tracks come in
}

void PlaylistPanel::refresh() {
    refreshSoon_.cancel();
    const QString lang = preferences_->language();
    const qsizetype total = engine_->playlist().size();
    shownCount_ = total;
    QString footer;
    if (model_->isFiltered()) {
        footer =
            loc(QStringLiteral("tracks_filtered_footer"), lang).arg(model_->rowCount()).arg(total);
    } else {
        footer = loc(QStringLiteral("tracks_footer"), lang);
        footer.replace(QStringLiteral("%d"), QString::number(total));
        footer.replace(QStringLiteral("%@"), timeString(engine_->totalDuration()));
    }
    const bool wasEmpty = showsEmptyState();
    setTexts(loc(QStringLiteral("playlist_header"), lang),
             loc(QStringLiteral("empty_playlist"), lang), footer);
    filter_->setPlaceholderText(loc(QStringLiteral("filter_placeholder"), lang));
    filter_->setAccessibleName(loc(QStringLiteral("filter_placeholder"), lang));
    if (total == 0 && !filter_->text().isEmpty())
        filter_->clear(); // nothing left to find in
    filter_->setVisible(total > 0);
    setEmpty(total == 0);
    setRemoveEnabled(!selection_->isEmpty());
    if (wasEmpty && !showsEmptyState() && !engine_->currentID().isNull())
        scrollToCentre(model_->rowOf(engine_->currentID()), true);
}

void PlaylistPanel::applyFilter() {
    model_->setFilter(filter_->text());
    // What the filter hides leaves the selection: Delete and Return act on what is seen.
    for (auto it = selection_->begin(); it != selection_->end();) {
        if (model_->rowOf(*it) < 0)
            it = selection_->erase(it);
        else
            ++it;
    }
    refresh();
    list()->viewport()->update();
}

void PlaylistPanel::focusFilter() {
    if (!filter_->isVisible())
        return;
    filter_->setFocus(Qt::ShortcutFocusReason);
    filter_->selectAll();
}

void PlaylistPanel::clearFilter() {
    filter_->clear();
}

void PlaylistPanel::clickRow(int row) {
    const QUuid id = model_->idAt(row);
    if (pressing_ || quietCursor_)
        return; // the cursor followed a press or a move; the click itself selects
    const Qt::KeyboardModifiers modifiers = std::exchange(clickModifiers_, Qt::NoModifier);
    if (id.isNull())
        return;
    const int anchorRow = anchor_.isNull() ? -1 : model_->rowOf(anchor_);
    if (modifiers & Qt::ShiftModifier && anchorRow >= 0) {
        selection_->clear();
        for (int r = std::min(row, anchorRow); r <= std::max(row, anchorRow); ++r)
            selection_->insert(model_->idAt(r));
    } else if (modifiers & Qt::ControlModifier) {
        if (!selection_->remove(id))
            selection_->insert(id);
        anchor_ = id;
    } else {
        *selection_ = {id};
        anchor_ = id;
    }
    setRemoveEnabled(!selection_->isEmpty());
    list()->viewport()->update();
}

void PlaylistPanel::doubleClickRow(int row) {
    const int i = model_->playlistIndex(row);
    if (i < 0 || i >= engine_->playlist().size())
        return;
    engine_->play(Track(engine_->playlist().at(i)));
}

void PlaylistPanel::removeSelected() {
    // The row below the selection takes its place (above it at the end of the list), so that
    // Delete again goes on down.
    int last = -1, first = -1;
    for (int r = 0; r < model_->rowCount(); ++r) {
        if (selection_->contains(model_->idAt(r))) {
            last = r;
            if (first < 0)
                first = r;
        }
    }
    QUuid next;
    for (int r = last + 1; last >= 0 && r < model_->rowCount() && next.isNull(); ++r) {
        if (!selection_->contains(model_->idAt(r)))
            next = model_->idAt(r);
    }
    for (int r = first - 1; first >= 0 && r >= 0 && next.isNull(); --r) {
        if (!selection_->contains(model_->idAt(r)))
            next = model_->idAt(r);
    }
    engine_->remove(*selection_);
    selection_->clear();
    selectOnly(model_->rowOf(next));
    refresh();
}

void PlaylistPanel::selectOnly(int row) {
    const QUuid id = model_->idAt(row);
    if (id.isNull())
        return;
    *selection_ = {id};
    anchor_ = id;
    quietCursor_ = true;
    list()->selectionModel()->setCurrentIndex(model_->index(row), QItemSelectionModel::NoUpdate);
    quietCursor_ = false;
    list()->scrollTo(model_->index(row));
    setRemoveEnabled(true);
    list()->viewport()->update();
}

void PlaylistPanel::selectAll() {
    for (int r = 0; r < model_->rowCount(); ++r)
        selection_->insert(model_->idAt(r));
    setRemoveEnabled(!selection_->isEmpty());
    list()->viewport()->update();
}

QUuid PlaylistPanel::firstSelected() const {
    for (const Track& t : engine_->playlist()) {
        if (selection_->contains(t.id))
            return t.id;
    }
    return {};
}

void PlaylistPanel::moveSelection(int step) {
    // The rows of the selection that are shown, first and last.
    int first = -1, last = -1;
    for (int r = 0; r < model_->rowCount(); ++r) {
        if (selection_->contains(model_->idAt(r))) {
            if (first < 0)
                first = r;
            last = r;
        }
    }
    if (first < 0)
        return;
    if (step < 0 && first > 0)
        engine_->move(*selection_, model_->playlistIndex(first - 1));
    else if (step > 0 && last + 1 < model_->rowCount())
        engine_->move(*selection_, model_->playlistIndex(last + 1) + 1);
    else
        return;
    // The cursor goes along with the first moved row, and it stays in sight.
    const int moved = model_->rowOf(firstSelected());
    if (moved >= 0) {
        quietCursor_ = true;
        list()->selectionModel()->setCurrentIndex(model_->index(moved),
                                                  QItemSelectionModel::NoUpdate);
        quietCursor_ = false;
        list()->scrollTo(model_->index(moved));
    }
}

int PlaylistPanel::dropGap(const QPoint& at) const {
    const int rows = model_->rowCount();
    if (rows == 0)
        return 0;
    const QModelIndex over = list()->indexAt(at);
    if (!over.isValid()) {
        const QRect firstRect = list()->visualRect(model_->index(0));
        return at.y() < firstRect.top() ? 0 : rows;
    }
    const QRect r = list()->visualRect(over);
    return over.row() + (at.y() > r.center().y() ? 1 : 0);
}

void PlaylistPanel::showDropLine(int gap) {
    const int rows = model_->rowCount();
    if (rows == 0) {
        dropLine_->hide();
        return;
    }
    const QRect r = list()->visualRect(model_->index(std::min(gap, rows - 1)));
    const int y = gap < rows ? r.top() - 1 : r.bottom() + 1;
    dropLine_->setGeometry(16, y - 1, list()->viewport()->width() - 32, 2);
    dropLine_->show();
    dropLine_->raise();
}

void PlaylistPanel::drop(int gap) {
    const int rows = model_->rowCount();
    if (rows == 0 || selection_->isEmpty())
        return;
    // A gap between shown rows is the place before the next shown track, or after the last.
    const int toRow = gap < rows ? model_->playlistIndex(gap) : model_->playlistIndex(rows - 1) + 1;
    engine_->move(*selection_, toRow);
}

bool PlaylistPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == filter_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape) {
            filter_->clear();
            list()->setFocus(Qt::OtherFocusReason);
            return true;
        }
        if (key->key() == Qt::Key_Down && model_->rowCount() > 0) {
            // Down from the field goes into the rows it left.
            list()->setFocus(Qt::TabFocusReason);
            const QModelIndex at = model_->index(std::max(0, model_->rowOf(firstSelected())));
            list()->selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
            clickRow(at.row());
            return true;
        }
    }
    if (watched == list() && event->type() == QEvent::KeyPress) {
        // Shift with the cursor keys extends the selection from the row it started at: the
        // cursor's move selects as a Shift+click would.
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            clickModifiers_ = key->modifiers() & Qt::ShiftModifier;
            break;
        default:
            break;
        }
    }
    if (watched == list()->viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                pressRow_ = list()->indexAt(mouse->position().toPoint()).row();
                pressAt_ = mouse->position().toPoint();
                pressing_ = true;
                dragging_ = false;
            }
            break;
        }
        case QEvent::MouseMove: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (pressRow_ < 0 || !(mouse->buttons() & Qt::LeftButton))
                break;
            const QPoint at = mouse->position().toPoint();
            if (!dragging_ && (at - pressAt_).manhattanLength() < QApplication::startDragDistance())
                break;
            if (!dragging_) {
                // A row outside the selection is dragged alone; one inside brings the rest.
                const QUuid id = model_->idAt(pressRow_);
                if (!selection_->contains(id)) {
                    *selection_ = {id};
                    anchor_ = id;
                    setRemoveEnabled(true);
                }
                dragging_ = true;
                list()->viewport()->update();
            }
            // Near the top or bottom edge the list scrolls along.
            QScrollBar* bar = list()->verticalScrollBar();
            const int edge = 24;
            if (at.y() < edge)
                bar->setValue(bar->value() - (edge - at.y()));
            else if (at.y() > list()->viewport()->height() - edge)
                bar->setValue(bar->value() + (at.y() - list()->viewport()->height() + edge));
            showDropLine(dropGap(at));
            return true;
        }
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton)
                break;
            const bool wasDragging = std::exchange(dragging_, false);
            pressRow_ = -1;
            pressing_ = false;
            if (wasDragging) {
                dropLine_->hide();
                drop(dropGap(mouse->position().toPoint()));
                return true;
            }
            clickModifiers_ = mouse->modifiers(); // for the click the list is about to deliver
            break;
        }
        default:
            break;
        }
    }
    return ListPanel::eventFilter(watched, event);
}

void PlaylistPanel::showEvent(QShowEvent* event) {
    ListPanel::showEvent(event);
    refresh();
    if (!engine_->currentID().isNull())
        scrollToCentre(model_->rowOf(engine_->currentID()), true);
}

} // namespace orvane
