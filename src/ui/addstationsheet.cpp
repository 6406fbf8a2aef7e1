#include "ui/addstationsheet.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "radio/radiobrowser.h"
#include "ui/elidedlabel.h"
#include "ui/icons.h"
#include "ui/theme.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace orvane {

namespace {

bool isBlank(const QString& s) {
    for (const QChar c : s) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t'))
            return false;
    }
    return true;
}

} // namespace

SearchResultRow::SearchResultRow(const RadioStation& station, bool isAdded, Theme* theme,
                                 std::function<void()> onAdd, QWidget* parent)
    : QWidget(parent)
    , added_(isAdded) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 5, 8, 5);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    // Both lines elide to the row's own width, so the add button always shows.
    auto* name = new ElidedLabel(1);
    auto* url = new ElidedLabel(1);
    name->setObjectName(QStringLiteral("name"));
    url->setObjectName(QStringLiteral("url"));
    url->setFont(Theme::textStyle(font(), Theme::Caption2));
    QPalette p = url->palette();
    p.setColor(QPalette::WindowText, theme->tertiary());
    url->setPalette(p);
    name->setFullText(station.name);
    url->setFullText(station.url);
    name->setToolTip(station.name);
    url->setToolTip(station.url);
    texts->addWidget(name);
    texts->addWidget(url);
    row->addLayout(texts, 1);
    if (isAdded) {
        auto* check = new QLabel;
        check->setObjectName(QStringLiteral("added"));
        check->setPixmap(Icons::pixmap(QStringLiteral("check-circle-filled"), theme->neon(), 20,
                                       devicePixelRatioF()));
        row->addWidget(check);
    } else {
        add_ = new QPushButton;
        add_->setFlat(true);
        add_->setIcon(Icons::pixmap(QStringLiteral("plus-circle"), theme->primary(), 20,
                                    devicePixelRatioF()));
        add_->setIconSize(QSize(20, 20));
        add_->setCursor(Qt::PointingHandCursor);
        connect(add_, &QPushButton::clicked, this, [onAdd] { onAdd(); });
        row->addWidget(add_);
    }
}

AddStationSheet::AddStationSheet(AudioEngine* engine, RadioBrowser* catalog,
                                 Preferences* preferences, Theme* theme, QWidget* parent)
    : QDialog(parent)
    , engine_(engine)
    , catalog_(catalog)
    , preferences_(preferences)
    , theme_(theme)
    , title_(new QLabel)
    , searchBox_(nullptr)
    , name_(new QLineEdit)
    , url_(new QLineEdit)
    , query_(new QLineEdit)
    , add_(new QPushButton)
    , find_(new QPushButton)
    , done_(new QPushButton)
    , resultArea_(new QStackedWidget)
    , nothingFound_(new QLabel)
    , resultList_(new QVBoxLayout) {
    const QString lang = preferences_->language();
    setWindowModality(Qt::WindowModal); // over the main window; the settings window stays free
    setWindowTitle(loc(QStringLiteral("add_station"), lang));
    setFixedWidth(480);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    title_->setText(loc(QStringLiteral("add_station"), lang));
    title_->setFont(Theme::textStyle(font(), Theme::Title3, true));
    column->addWidget(title_);
    column->addWidget(buildManualBox(lang));
    searchBox_ = buildSearchBox(lang);
    column->addWidget(searchBox_);
    column->addLayout(buildDoneRow(lang));
    wireControls();
}

QWidget* AddStationSheet::buildManualBox(const QString& lang) {
    auto* manual = new QGroupBox(loc(QStringLiteral("manually"), lang));
    auto* manualColumn = new QVBoxLayout(manual);
    manualColumn->setSpacing(8);
    manualColumn->setContentsMargins(6, 6, 6, 6);
    name_->setPlaceholderText(loc(QStringLiteral("name"), lang));
    url_->setPlaceholderText(loc(QStringLiteral("stream_url"), lang));
    add_->setText(loc(QStringLiteral("add"), lang));
    add_->setAutoDefault(false);
    manualColumn->addWidget(name_);
    manualColumn->addWidget(url_);
    auto* addRow = new QHBoxLayout;
    addRow->addStretch();
    addRow->addWidget(add_);
    manualColumn->addLayout(addRow);
    return manual;
}

QWidget* AddStationSheet::buildSearchBox(const QString& lang) {
    auto* search = new QGroupBox(loc(QStringLiteral("search_catalog"), lang));
    auto* searchColumn = new QVBoxLayout(search);
    searchColumn->setSpacing(8);
    searchColumn->setContentsMargins(6, 6, 6, 6);
    query_->setPlaceholderText(loc(QStringLiteral("station_placeholder"), lang));
    find_->setText(loc(QStringLiteral("find"), lang));
    find_->setAutoDefault(false);
    auto* queryRow = new QHBoxLayout;
    queryRow->addWidget(query_, 1);
    queryRow->addWidget(find_);
    searchColumn->addLayout(queryRow);
    buildResultArea(lang);
    searchColumn->addWidget(resultArea_);
    return search;
}

void AddStationSheet::buildResultArea(const QString& lang) {
    auto* progress = new QProgressBar;
    progress->setRange(0, 0); // busy
    progress->setMaximumHeight(8);
    progress->setTextVisible(false);
    auto* progressPage = new QWidget;
    auto* progressLayout = new QVBoxLayout(progressPage);
    progressLayout->setContentsMargins(0, 8, 0, 8);
    progressLayout->addWidget(progress);
    progressLayout->addStretch();
    nothingFound_->setText(loc(QStringLiteral("nothing_found"), lang));
    nothingFound_->setWordWrap(true);
    QPalette secondary = nothingFound_->palette();
    secondary.setColor(QPalette::WindowText, theme_->secondary());
    nothingFound_->setPalette(secondary);
    nothingFound_->setContentsMargins(0, 8, 0, 8);
    nothingFound_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* scroll = new QScrollArea;
    scroll->setFixedHeight(190);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff); // rows elide to fit
    auto* listHolder = new QWidget;
    resultList_->setParent(nullptr);
    listHolder->setLayout(resultList_);
    resultList_->setSpacing(2);
    resultList_->setContentsMargins(0, 0, 0, 0);
    resultList_->addStretch();
    scroll->setWidget(listHolder);
    resultArea_->addWidget(scroll);        // 0: results (empty before the first search)
    resultArea_->addWidget(progressPage);  // 1: searching
    resultArea_->addWidget(nothingFound_); // 2: nothing found
}

QLayout* AddStationSheet::buildDoneRow(const QString& lang) {
    auto* doneRow = new QHBoxLayout;
    doneRow->addStretch();
    done_->setText(loc(QStringLiteral("done"), lang));
    done_->setDefault(true); // Return outside the fields closes the sheet
    doneRow->addWidget(done_);
    return doneRow;
}

void AddStationSheet::wireControls() {
    connect(url_, &QLineEdit::textChanged, this, &AddStationSheet::updateButtons);
    connect(query_, &QLineEdit::textChanged, this, &AddStationSheet::updateButtons);
    connect(add_, &QPushButton::clicked, this, &AddStationSheet::addManual);
    connect(find_, &QPushButton::clicked, this, &AddStationSheet::runSearch);
    for (QLineEdit* field : {name_, url_, query_})
        field->installEventFilter(this);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    connect(engine_, &AudioEngine::stationsChanged, this, &AddStationSheet::showResults);
    updateButtons();
}

bool AddStationSheet::eventFilter(QObject* watched, QEvent* event) {
    // A field's Return is its own: it never reaches the default button (which closes).
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (watched == query_)
                runSearch(); // a blank query does nothing
            else if ((watched == name_ || watched == url_) && add_->isEnabled())
                addManual();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool AddStationSheet::acceptsAddress(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.scheme().isEmpty() &&
           url.scheme().startsWith(QLatin1String("http"));
}

void AddStationSheet::updateButtons() {
    add_->setEnabled(acceptsAddress(url_->text()));
    find_->setEnabled(!isBlank(query_->text()));
}

void AddStationSheet::editStation(const RadioStation& station) {
    const QString lang = preferences_->language();
    editing_ = station;
    setWindowTitle(loc(QStringLiteral("edit_station_title"), lang));
    title_->setText(loc(QStringLiteral("edit_station_title"), lang));
    name_->setText(station.name);
    url_->setText(station.url);
    for (QLineEdit* field : {name_, url_})
        field->setCursorPosition(0); // a long name shows its beginning
    if (auto* box = qobject_cast<QGroupBox*>(name_->parentWidget()))
        box->setTitle(QString()); // not "Manually": there is no other way here
    add_->setText(loc(QStringLiteral("save"), lang));
    done_->setText(loc(QStringLiteral("close"), lang));
    searchBox_->hide();
    adjustSize();
}

void AddStationSheet::addManual() {
    if (!acceptsAddress(url_->text()))
        return;
    const QString address = url_->text();
    const QString name = name_->text().isEmpty() ? address : name_->text();
    if (editing_) {
        // The same station (id, place in the list) under its new name and address.
        QList<RadioStation> stations = engine_->stations();
        for (RadioStation& s : stations) {
            if (s.id == editing_->id) {
                s.name = name;
                s.url = address;
            }
        }
        engine_->setStations(stations);
        accept();
        return;
    }
    engine_->setStations(engine_->stations() +
                         QList<RadioStation>{{QUuid::createUuid(), name, address}});
    name_->clear();
    url_->clear();
}

void AddStationSheet::runSearch() {
    if (isBlank(query_->text()))
        return; // Return in an empty field does nothing
    searching_ = true;
    resultArea_->setCurrentIndex(1);
    QPointer<AddStationSheet> self(this);
    // The untrimmed query; a search is never cancelled, each writes its own results.
    catalog_->search(query_->text(), this, [self](QList<RadioStation> stations, bool reached) {
        if (!self)
            return;
        self->results_ = std::move(stations);
        self->searching_ = false;
        self->didSearch_ = true;
        // No server answered: that is said, not shown as an answer without matches.
        self->nothingFound_->setText(loc(reached ? QStringLiteral("nothing_found")
                                                 : QStringLiteral("catalog_unreachable"),
                                         self->preferences_->language()));
        self->showResults();
    });
}

void AddStationSheet::showResults() {
    while (resultList_->count() > 1) {
        QLayoutItem* item = resultList_->takeAt(0);
        // Later: this may run inside a row's own button signal.
        item->widget()->hide();
        item->widget()->deleteLater();
        delete item;
    }
    if (searching_) {
        resultArea_->setCurrentIndex(1);
        return;
    }
    if (results_.isEmpty() && didSearch_) {
        resultArea_->setCurrentIndex(2);
        return;
    }
    resultArea_->setCurrentIndex(0);
    int at = 0;
    for (const RadioStation& station : std::as_const(results_)) {
        bool added = false;
        for (const RadioStation& s : engine_->stations())
            added = added || s.url == station.url;
        auto* row = new SearchResultRow(station, added, theme_, [this, station] {
            // As it is, with the id it had in the results.
            engine_->setStations(engine_->stations() + QList<RadioStation>{station});
        });
        resultList_->insertWidget(at++, row);
    }
}

bool AddStationSheet::showsNothingFound() const {
    return resultArea_->currentIndex() == 2;
}

QString AddStationSheet::resultNote() const {
    return nothingFound_->text();
}

QList<SearchResultRow*> AddStationSheet::resultRows() const {
    QList<SearchResultRow*> rows;
    for (int i = 0; i < resultList_->count(); ++i) {
        if (auto* row = qobject_cast<SearchResultRow*>(resultList_->itemAt(i)->widget()))
            rows.append(row);
    }
    return rows;
}

} // namespace orvane
