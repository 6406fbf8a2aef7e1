#include "ui/playerpanel.h"

#include "core/localization.h"
#include "core/preferences.h"
#include "engine/audioengine.h"
#include "ui/buttons.h"
#include "ui/elidedlabel.h"
#include "ui/glowbar.h"
#include "ui/icons.h"
#include "ui/theme.h"
#include "ui/timestring.h"
#include "ui/visualizerview.h"

#include <QBuffer>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace orvane {

namespace {

const QColor kIndigo(88, 86, 214), kPurple(175, 82, 222), kRed(255, 59, 48);

// Told to a screen reader only when it changes.
void setName(QWidget* widget, const QString& name) {
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
}

void setColor(QLabel* label, const QColor& color) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
}

// A small red dot.
class LiveDot : public QWidget {
public:
    using QWidget::QWidget;
    QSize sizeHint() const override { return {7, 7}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(kRed);
        p.drawEllipse(QRectF(0, (height() - 7) / 2.0, 7, 7));
    }
};

} // namespace

ArtworkView::ArtworkView(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(96, 96);
}

void ArtworkView::show(Kind kind, const QByteArray& artwork) {
    if (kind == kind_ && artwork.constData() == bytes_.constData() &&
        artwork.size() == bytes_.size())
        return;
    kind_ = kind;
    if (kind == Kind::Cover && (artwork.constData() != bytes_.constData() || cover_.isNull())) {
        bytes_ = artwork;
        // Decoded only here, for the track on show, at twice the frame for sharp scaling: a
        // JPEG decodes straight at a fraction of its size, so a big cover costs little here.
        QBuffer buffer;
        buffer.setData(artwork);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        pictureSize_ = reader.size();
        if (pictureSize_.width() > 192 && pictureSize_.height() > 192)
            reader.setScaledSize(pictureSize_.scaled(192, 192, Qt::KeepAspectRatioByExpanding));
        const QImage image = reader.read();
        cover_ = image.isNull() ? QImage()
                                : image.scaled(192, 192, Qt::KeepAspectRatioByExpanding,
                                               Qt::SmoothTransformation);
        if (cover_.isNull())
            kind_ = Kind::Note;
    }
    update();
}

void ArtworkView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 12, 12);
    p.setClipPath(shape);
    if (kind_ == Kind::Cover) {
        const int side = std::min(cover_.width(), cover_.height());
        const QRect source((cover_.width() - side) / 2, (cover_.height() - side) / 2, side, side);
        p.drawImage(QRectF(rect()), cover_, source);
        return;
    }
    const bool radio = kind_ == Kind::Radio;
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, radio ? kPurple : kIndigo);
    g.setColorAt(1, radio ? kIndigo : kPurple);
    p.fillRect(rect(), g);
    const int s = 40;
    p.drawPixmap(QPointF((width() - s) / 2.0, (height() - s) / 2.0),
                 Icons::pixmap(radio ? QStringLiteral("radio-waves") : QStringLiteral("note"),
                               QColor(255, 255, 255, radio ? 178 : 153), s, devicePixelRatioF()));
}

PlayerPanel::PlayerPanel(AudioEngine* engine, Preferences* preferences, Theme* theme,
                         QWidget* parent)
    : GlassPanel(theme, parent)
    , engine_(engine)
    , preferences_(preferences) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(18);
    // A tall panel (a maximized window) centres the block above the mode switch: the two
    // stretches take all the spare height (the header, whose text column ends in a stretch of
    // its own, would otherwise grow and open a gap under the cover).
    column->addStretch(1);
    column->addLayout(buildHeader());
    column->addWidget(buildProgress());
    visualizer_ = new VisualizerView(theme_); // the level bars
    column->addWidget(visualizer_);
    column->addWidget(buildTransport());
    column->addWidget(buildVolume());
    column->addStretch(1); // the mode switch at the bottom, whatever the height
    column->addWidget(buildModeSwitch());
    wireEngine();
    followAppearance();
    visualizer_->setLevels(engine_->levels());
}

QFont PlayerPanel::monoCaption() const {
    QFont mono = Theme::textStyle(font(), Theme::Caption);
    mono.setStyleHint(QFont::Monospace);
    return mono;
}

QLayout* PlayerPanel::buildHeader() {
    artwork_ = new ArtworkView;
    // Each line shows what fits whole and ends in "…" when more is left.
    line1_ = new ElidedLabel(2);
    line2_ = new ElidedLabel(1);
    line3_ = new ElidedLabel(2);
    line1_->setFont(Theme::textStyle(font(), Theme::Title2, true));
    line2_->setFont(Theme::textStyle(font(), Theme::Title3));
    line3_->setFont(Theme::textStyle(font(), Theme::Caption));
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    header->addWidget(artwork_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    texts->addWidget(line1_);
    texts->addWidget(line2_);
    texts->addSpacing(6);
    texts->addWidget(line3_);
    texts->addStretch();
    header->addLayout(texts, 1);
    return header;
}

QWidget* PlayerPanel::buildProgress() {
    // The bar with two times, or the LIVE row.
    progressArea_ = new QStackedWidget;
    auto* trackPage = new QWidget;
    auto* trackLayout = new QVBoxLayout(trackPage);
    trackLayout->setContentsMargins(0, 0, 0, 0);
    trackLayout->setSpacing(6 - GlowBar::margin);
    progress_ = new GlowBar(theme_);
    progress_->setSideMargin(0); // the bar spans the column, like the boxes below it
    progress_->setOnChange([this](double f) { engine_->seek(f * scale()); });
    trackLayout->addWidget(progress_);
    elapsed_ = new QLabel;
    total_ = new QLabel;
    auto* times = new QHBoxLayout;
    times->setContentsMargins(0, 0, 0, 0);
    times->addWidget(elapsed_);
    times->addStretch();
    times->addWidget(total_);
    trackLayout->addLayout(times);
    auto* livePage = new QWidget;
    auto* live = new QHBoxLayout(livePage);
    live->setContentsMargins(0, 9, 0, 9);
    live->setSpacing(8);
    live->addWidget(new LiveDot);
    auto* liveLabel = new QLabel(QStringLiteral("LIVE"));
    QFont liveFont = Theme::textStyle(font(), Theme::Caption, true);
    liveFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    liveLabel->setFont(liveFont);
    live->addWidget(liveLabel);
    live->addStretch();
    liveStatus_ = new QLabel;
    live->addWidget(liveStatus_);
    progressArea_->addWidget(trackPage);
    progressArea_->addWidget(livePage);
    for (QLabel* l : {elapsed_, total_})
        l->setFont(monoCaption());
    total_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    liveStatus_->setFont(Theme::textStyle(font(), Theme::Caption));
    progressArea_->setFixedHeight(40);
    return progressArea_;
}

QWidget* PlayerPanel::buildTransport() {
    Theme* theme = theme_;
    auto outline = [theme] { return theme->primary(0.07); };
    shuffle_ = new SymbolButton(theme_, {48, 12, 1, outline, {}, false, 20});
    repeat_ = new SymbolButton(theme_, {48, 12, 1, outline, {}, false, 20});
    previous_ = new SymbolButton(theme_, {52, 12, 1, outline, {}, false, 24});
    next_ = new SymbolButton(theme_, {52, 12, 1, outline, {}, false, 24});
    play_ = new SymbolButton(theme_,
                             {72, -1, 1.5, {}, [] { return QColor(255, 255, 255, 15); }, true, 28});
    auto* controls = new TintedBox(theme_, 16);
    auto* row = new QHBoxLayout(controls);
    row->setContentsMargins(10, 6, 10, 6);
    row->setSpacing(0); // the five controls nearly fill the row; the stretches share the rest
    row->addWidget(shuffle_);
    row->addStretch();
    row->addWidget(previous_);
    row->addStretch();
    row->addWidget(play_);
    row->addStretch();
    row->addWidget(next_);
    row->addStretch();
    row->addWidget(repeat_);
    // The toggles show their state as checked (to a screen reader too); the engine decides it.
    // A click or a screen reader's toggle flips the check, which asks the engine.
    shuffle_->setCheckable(true);
    repeat_->setCheckable(true);
    connect(shuffle_, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != engine_->isShuffle())
            engine_->setIsShuffle(on);
        shuffle_->setChecked(engine_->isShuffle());
    });
    connect(repeat_, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != engine_->isRepeat())
            engine_->setIsRepeat(on);
        repeat_->setChecked(engine_->isRepeat());
    });
    connect(previous_, &QAbstractButton::clicked, engine_, &AudioEngine::previous);
    connect(next_, &QAbstractButton::clicked, engine_, &AudioEngine::next);
    connect(play_, &QAbstractButton::clicked, engine_, &AudioEngine::togglePlay);
    return controls;
}

QWidget* PlayerPanel::buildVolume() {
    auto* volumeBox = new TintedBox(theme_, 14);
    volumeBox->setFixedHeight(40); // as tall as the mode buttons' rhythm suggests
    auto* volumeRow = new QHBoxLayout(volumeBox);
    volumeRow->setContentsMargins(14, 0, 14, 0);
    volumeRow->setSpacing(12);
    speaker_ = new SymbolButton(theme_, {18, 0, 0, {}, {}, false, 18});
    speaker_->setFocusPolicy(Qt::NoFocus); // the keyboard has the bar's arrows
    connect(speaker_, &QAbstractButton::clicked, this, [this] {
        const double v = engine_->volume();
        if (v > 0) {
            unmuted_ = v;
            engine_->setVolume(0);
        } else {
            // Back to what it was; a volume set to 0 on the bar comes back at half.
            engine_->setVolume(unmuted_ > 0 ? unmuted_ : 0.5);
            unmuted_ = 0;
        }
    });
    volume_ = new GlowBar(theme_);
    volume_->setSideMargin(0);
    volume_->setOnChange([this](double f) { engine_->setVolume(f); });
    volume_->setKeyStep(0.05);
    percent_ = new QLabel;
    percent_->setFont(monoCaption());
    percent_->setFixedWidth(38);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    volumeRow->addWidget(speaker_);
    volumeRow->addWidget(volume_, 1);
    volumeRow->addWidget(percent_);
    return volumeBox;
}

QWidget* PlayerPanel::buildModeSwitch() {
    library_ = new ModeButton(theme_, QStringLiteral("note"));
    radio_ = new ModeButton(theme_, QStringLiteral("radio-waves"));
    for (ModeButton* b : {library_, radio_})
        b->setFont(Theme::textStyle(font(), Theme::Callout));
    auto* modeSwitch = new ModeSwitch;
    auto* modes = new QHBoxLayout(modeSwitch);
    modes->setContentsMargins(0, 0, 0, 0);
    modes->setSpacing(10);
    modes->addWidget(library_);
    modes->addWidget(radio_);
    connect(library_, &QAbstractButton::clicked, this,
            [this] { engine_->setMode(PlayerMode::Library); });
    connect(radio_, &QAbstractButton::clicked, this,
            [this] { engine_->setMode(PlayerMode::Radio); });
    return modeSwitch;
}

void PlayerPanel::wireEngine() {
    // Each part redraws on the changes it shows; the 20 Hz ones touch only their widget.
    for (auto signal : {&AudioEngine::currentIDChanged, &AudioEngine::currentStationIDChanged,
                        &AudioEngine::radioStatusChanged, &AudioEngine::stationsChanged}) {
        connect(engine_, signal, this, &PlayerPanel::refreshHeader);
        connect(engine_, signal, this, &PlayerPanel::refreshProgress);
    }
    connect(engine_, &AudioEngine::playlistChanged, this, [this] { playlistRefresh_.request(); });
    connect(engine_, &AudioEngine::streamTitleChanged, this, &PlayerPanel::refreshHeader);
    connect(engine_, &AudioEngine::currentArtworkChanged, this, &PlayerPanel::refreshHeader);
    connect(engine_, &AudioEngine::progressChanged, this, &PlayerPanel::refreshProgress);
    connect(engine_, &AudioEngine::levelsChanged, this,
            [this] { visualizer_->setLevels(engine_->levels()); });
    for (auto signal : {&AudioEngine::isPlayingChanged, &AudioEngine::isShuffleChanged,
                        &AudioEngine::isRepeatChanged})
        connect(engine_, signal, this, &PlayerPanel::refreshControls);
    connect(engine_, &AudioEngine::volumeChanged, this, &PlayerPanel::refreshVolume);
    connect(engine_, &AudioEngine::modeChanged, this, &PlayerPanel::refreshMode);
}

void PlayerPanel::followAppearance() {
    auto all = [this] {
        // Colours follow the appearance only; the 20 Hz refreshes leave them alone.
        setColor(line1_, theme_->primary());
        setColor(line2_, theme_->secondary());
        setColor(line3_, theme_->technical());
        for (QLabel* label : {liveStatus_, elapsed_, total_, percent_})
            setColor(label, theme_->secondary());
        refreshHeader();
        timesWordsStale_ = true; // the words for a screen reader, in the language now
        refreshProgress();
        refreshControls();
        refreshVolume();
        refreshMode();
    };
    connect(preferences_, &Preferences::languageChanged, this, all);
    connect(theme_, &Theme::changed, this, all);
    all();
}

void PlayerPanel::refreshHeader() {
    const QString lang = preferences_->language();
    const auto track = engine_->currentTrack();
    if (engine_->isRadioActive()) {
        const auto station = engine_->currentStation();
        artwork_->show(ArtworkView::Kind::Radio, {});
        line1_->setFullText(station ? station->name : QStringLiteral("Радио"));
        // What the station says is on the air, when it says it.
        const QString song = engine_->streamTitle();
        line2_->setFullText(song.isEmpty() ? loc(QStringLiteral("internet_radio"), lang) : song);
        line3_->setFullText(statusText());
    } else {
        // The full cover once the engine has read it, the row's thumbnail until then.
        const QByteArray& full = engine_->currentArtwork();
        const QByteArray cover = !track ? QByteArray() : full.isEmpty() ? track->artwork : full;
        artwork_->show(cover.isEmpty() ? ArtworkView::Kind::Note : ArtworkView::Kind::Cover,
                       cover);
        if (track && !track->album.isEmpty()) {
            // With an album: the title, then "Artist — Album".
            line1_->setFullText(track->title);
            line2_->setFullText(track->artist.isEmpty()
                                    ? track->album
                                    : track->artist + QStringLiteral(" — ") + track->album);
        } else {
            line1_->setFullText(track ? track->artist : QStringLiteral("Orvane"));
            line2_->setFullText(track ? track->title : loc(QStringLiteral("select_track"), lang));
        }
        line3_->setFullText(track ? track->info() : QString());
        line3_->setToolTip(QString());
    }
}

QString PlayerPanel::statusText() const {
    const QString status = engine_->radioStatus();
    if (status.isEmpty())
        return {};
    const QString lang = preferences_->language();
    QString text = loc(status, lang);
    // A failed stream says why, when it can be told.
    const QString why = status == QLatin1String("stream_error")
                            ? StreamPlayer::describe(engine_->radioFailure(), lang)
                            : QString();
    return why.isEmpty() ? text : text + QStringLiteral(": ") + why;
}

double PlayerPanel::scale() const {
    const auto track = engine_->currentTrack();
    return std::max(track ? track->duration : 1.0, 1.0);
}

void PlayerPanel::refreshProgress() {
    if (engine_->isRadioActive()) {
        progressArea_->setCurrentIndex(1);
        liveStatus_->setText(statusText());
        return;
    }
    progressArea_->setCurrentIndex(0);
    const double d = scale();
    progress_->setValue(engine_->progress() / d);
    progress_->setKeyStep(engine_->currentTrack() ? 5 / d : 0); // 5 s a press
    const QString elapsed = timeString(engine_->progress());
    // Nothing loaded: no length to show (the bar's scale of 1 s is not one).
    const QString total = timeString(engine_->currentTrack() ? d : 0.0);
    if (elapsed_->text() == elapsed && total_->text() == total &&
        progress_->accessibleMaximum() == d && !timesWordsStale_)
        return; // twenty times a second: the words change once a second
    timesWordsStale_ = false;
    elapsed_->setText(elapsed);
    total_->setText(total);
    fitTimes();
    const QString lang = preferences_->language();
    progress_->setAccessibleValue(d, loc(QStringLiteral("time_of"), lang).arg(elapsed, total));
}

void PlayerPanel::fitTimes() {
    // Both times keep one fixed size, wide enough for the longer one's pattern of digits: a
    // new second then repaints the label alone instead of laying out the window again.
    const QFontMetrics metrics(elapsed_->font());
    int width = 0;
    for (const QLabel* label : {elapsed_, total_}) {
        QString widest = label->text();
        for (QChar& c : widest) {
            if (c.isDigit())
                c = QLatin1Char('8');
        }
        width = std::max(width, metrics.horizontalAdvance(widest) + 2);
    }
    for (QLabel* label : {elapsed_, total_})
        label->setFixedSize(width, label->sizeHint().height());
}

void PlayerPanel::refreshControls() {
    const QColor off = theme_->secondary(), on = theme_->neon();
    shuffle_->setSymbol(QStringLiteral("shuffle"), engine_->isShuffle() ? on : off);
    repeat_->setSymbol(QStringLiteral("repeat"), engine_->isRepeat() ? on : off);
    previous_->setSymbol(QStringLiteral("backward-end"), theme_->primary());
    next_->setSymbol(QStringLiteral("forward-end"), theme_->primary());
    play_->setSymbol(engine_->isPlaying() ? QStringLiteral("pause") : QStringLiteral("play"), on);
    // What a screen reader says: the action a press takes now, and the toggles' state.
    const QString lang = preferences_->language();
    setName(play_,
            loc(engine_->isPlaying() ? QStringLiteral("pause") : QStringLiteral("play"), lang));
    setName(previous_, loc(QStringLiteral("prev_track"), lang));
    setName(next_, loc(QStringLiteral("next_track"), lang));
    setName(shuffle_, loc(QStringLiteral("shuffle"), lang));
    setName(repeat_, loc(QStringLiteral("repeat"), lang));
    shuffle_->setChecked(engine_->isShuffle());
    repeat_->setChecked(engine_->isRepeat());
}

void PlayerPanel::refreshVolume() {
    const double v = engine_->volume();
    speakerSymbol_ = v == 0.0 ? QStringLiteral("speaker-slash") : QStringLiteral("speaker-waves");
    speaker_->setSymbol(speakerSymbol_, theme_->secondary());
    if (v > 0)
        unmuted_ = 0; // raised again by other means: nothing to restore
    setName(speaker_, loc(v == 0.0 ? QStringLiteral("unmute") : QStringLiteral("mute"),
                          preferences_->language()));
    volume_->setValue(v);
    percent_->setText(QString::number(qint64(v * 100)) + QLatin1Char('%'));
    volume_->setAccessibleValue(100, percent_->text());
}

void PlayerPanel::refreshMode() {
    const QString lang = preferences_->language();
    setName(progress_, loc(QStringLiteral("position"), lang));
    setName(volume_, loc(QStringLiteral("volume"), lang));
    library_->setText(loc(QStringLiteral("library"), lang));
    radio_->setText(loc(QStringLiteral("radio"), lang));
    library_->setSelected(engine_->mode() == PlayerMode::Library);
    radio_->setSelected(engine_->mode() == PlayerMode::Radio);
}

QStringList PlayerPanel::headerLines() const {
    return {line1_->fullText(), line2_->fullText(), line3_->fullText()};
}

QStringList PlayerPanel::progressTexts() const {
    if (showsLive())
        return {QStringLiteral("LIVE"), liveStatus_->text()};
    return {elapsed_->text(), total_->text()};
}

bool PlayerPanel::showsLive() const {
    return progressArea_->currentIndex() == 1;
}
QString PlayerPanel::volumeText() const {
    return percent_->text();
}
QString PlayerPanel::speakerSymbol() const {
    return speakerSymbol_;
}

} // namespace orvane
