// The window as a screen reader sees it, through Qt's accessibility interfaces: every control
// has a name and a role in the current language, the sliders tell their values, and the
// actions a screen reader offers do what a click or a key would.
#include "support/windowfixture.h"
#include "ui/playerpanel.h"
#include "ui/visualizerview.h"

#include <QAccessible>
#include <QTest>

using namespace orvane;
using namespace orvane::test;

namespace {

// The window on two tracks of 4:07, "Band – Song" and "Other".
struct Window : WindowFixture {
    Window() {
        QList<Track> list = f.tracks({"Song", "Other"}, 247);
        list[0].artist = "Band";
        e.setPlaylist(list);
    }
};

// The shown element with this role and name under `node`, or null.
QAccessibleInterface* find(QAccessibleInterface* node, QAccessible::Role role,
                           const QString& name = {}) {
    if (!node || node->state().invisible)
        return nullptr;
    if (node->role() == role && (name.isNull() || node->text(QAccessible::Name) == name))
        return node;
    for (int i = 0; i < node->childCount(); ++i) {
        if (QAccessibleInterface* found = find(node->child(i), role, name))
            return found;
    }
    return nullptr;
}

// Every element under `node` with this role, shown or not.
void collect(QAccessibleInterface* node, QAccessible::Role role,
             QList<QAccessibleInterface*>& out) {
    if (!node)
        return;
    if (node->role() == role)
        out.append(node);
    for (int i = 0; i < node->childCount(); ++i)
        collect(node->child(i), role, out);
}

// Does what a screen reader's "press" (or "toggle") does; false when the control offers none.
bool act(QAccessibleInterface* control,
         const QString& action = QAccessibleActionInterface::pressAction()) {
    if (!control || !control->actionInterface() ||
        !control->actionInterface()->actionNames().contains(action))
        return false;
    control->actionInterface()->doAction(action);
    return true;
}

QString name(QAccessibleInterface* node) {
    return node ? node->text(QAccessible::Name) : QStringLiteral("(missing)");
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void playerControlsHaveNamesValuesAndActions() {
        Window w;
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&w.view);
        QVERIFY(root);

        // The transport: named by what a press does now.
        // (Previous, Next and Shuffle are found by name and role where they are pressed below.)
        QAccessibleInterface* play = find(root, QAccessible::Button, "Play");
        QVERIFY(play);
        QVERIFY(find(root, QAccessible::CheckBox, "Repeat")); // the toggles: on or off
        QVERIFY(!find(root, QAccessible::Button, "Pause"));
        QVERIFY(act(play));
        QTRY_VERIFY(w.e.isPlaying());
        QCOMPARE(w.e.currentID(), w.e.playlist().at(0).id);
        QCOMPARE(name(play), QStringLiteral("Pause"));
        QVERIFY(act(find(root, QAccessible::Button, "Next")));
        QTRY_COMPARE(w.e.currentID(), w.e.playlist().at(1).id);
        QVERIFY(act(find(root, QAccessible::Button, "Previous")));
        QTRY_COMPARE(w.e.currentID(), w.e.playlist().at(0).id);

        QAccessibleInterface* shuffle = find(root, QAccessible::CheckBox, "Shuffle");
        QVERIFY(shuffle && shuffle->state().checkable && !shuffle->state().checked);
        QVERIFY(act(shuffle, QAccessibleActionInterface::toggleAction()));
        QTRY_VERIFY(w.e.isShuffle());
        QVERIFY(shuffle->state().checked);
        w.e.setIsShuffle(false); // changed elsewhere (the tray, MPRIS): the state follows
        QVERIFY(!shuffle->state().checked);

        // The position: a slider in seconds, read as "elapsed of total".
        QAccessibleInterface* position = find(root, QAccessible::Slider, "Position");
        QVERIFY(position && position->valueInterface());
        w.f.clock.advance(83.2);
        QTRY_COMPARE(position->text(QAccessible::Value), QStringLiteral("1:23 of 4:07"));
        QVERIFY(std::abs(position->valueInterface()->currentValue().toDouble() - 83.2) < 0.01);
        QCOMPARE(position->valueInterface()->maximumValue().toDouble(), 247.0);
        QCOMPARE(position->valueInterface()->minimumValue().toDouble(), 0.0);
        position->valueInterface()->setCurrentValue(200.0);
        QCOMPARE(w.f.lastFile()->seeks.back(), 200.0);

        // The volume: a slider in percent; set, increase and decrease change it.
        QAccessibleInterface* volume = find(root, QAccessible::Slider, "Volume");
        QVERIFY(volume && volume->valueInterface());
        QCOMPARE(volume->text(QAccessible::Value), QStringLiteral("73%"));
        QVERIFY(std::abs(volume->valueInterface()->currentValue().toDouble() - 73) < 1e-9);
        QCOMPARE(volume->valueInterface()->maximumValue().toDouble(), 100.0);
        volume->valueInterface()->setCurrentValue(40);
        QVERIFY(std::abs(w.e.volume() - 0.4) < 1e-9);
        QCOMPARE(volume->text(QAccessible::Value), QStringLiteral("40%"));
        volume->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
        QVERIFY(std::abs(w.e.volume() - 0.45) < 1e-9);
        volume->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        QVERIFY(std::abs(w.e.volume() - 0.4) < 1e-9);

        // The header reads the whole text, not what fits.
        QVERIFY(find(root, QAccessible::StaticText, "Band"));
        QVERIFY(find(root, QAccessible::StaticText, "Song"));

        // The level bars are not there for a screen reader.
        QAccessibleInterface* levels =
            QAccessible::queryAccessibleInterface(w.view.playerPanel()->visualizer());
        QVERIFY(levels->state().invisible);
        QVERIFY(levels->text(QAccessible::Name).isEmpty());
        QCOMPARE(levels->childCount(), 0);

        // The mode buttons: two tabs in a tab list, the current mode selected.
        QAccessibleInterface* tabs = find(root, QAccessible::PageTabList);
        QVERIFY(tabs);
        QCOMPARE(tabs->childCount(), 2);
        QCOMPARE(tabs->child(0)->role(), QAccessible::PageTab);
        QCOMPARE(name(tabs->child(0)), QStringLiteral("Library"));
        QCOMPARE(name(tabs->child(1)), QStringLiteral("Radio"));
        QVERIFY(tabs->child(0)->state().selected && !tabs->child(1)->state().selected);
        QVERIFY(act(tabs->child(1)));
        QTRY_COMPARE(w.e.mode(), PlayerMode::Radio);
        QVERIFY(!tabs->child(0)->state().selected && tabs->child(1)->state().selected);
        QVERIFY(act(tabs->child(0)));
        QTRY_COMPARE(w.e.mode(), PlayerMode::Library);

        // Names and values follow the language.
        w.prefs.setLanguage("ru");
        QCOMPARE(name(play), QStringLiteral("Пауза"));
        QTRY_COMPARE(position->text(QAccessible::Value), QStringLiteral("3:20 из 4:07"));
        QCOMPARE(name(tabs->child(1)), QStringLiteral("Радио"));
        QVERIFY(act(play));
        QTRY_VERIFY(!w.e.isPlaying());
        QCOMPARE(name(play), QStringLiteral("Играть"));
    }

    void rowsTellTheirTextAndWhatPlays() {
        Window w;
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&w.view);

        QAccessibleInterface* playlist = find(root, QAccessible::List, "PLAYLIST");
        QVERIFY(playlist);
        QList<QAccessibleInterface*> rows;
        collect(playlist, QAccessible::ListItem, rows);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(name(rows[0]), QStringLiteral("Band – Song, 4:07"));
        QCOMPARE(name(rows[1]), QStringLiteral("Other, 4:07"));
        QCOMPARE(rows[1]->text(QAccessible::Description), QString());
        w.e.play(w.e.playlist().at(1));
        QCOMPARE(rows[1]->text(QAccessible::Description), QStringLiteral("Now Playing"));
        QCOMPARE(rows[0]->text(QAccessible::Description), QString());
        QVERIFY(find(root, QAccessible::Button, "Add"));
        QVERIFY(find(root, QAccessible::Button, "Remove"));
        w.prefs.setLanguage("ru");
        QCOMPARE(rows[1]->text(QAccessible::Description), QStringLiteral("Сейчас играет"));
        QVERIFY(find(root, QAccessible::EditableText, "Найти в плейлисте"));
        w.prefs.setLanguage("en");

        // The stations, with the playing one's state.
        w.e.setMode(PlayerMode::Radio);
        QAccessibleInterface* stations = find(root, QAccessible::List, "RADIO");
        QVERIFY(stations);
        rows.clear();
        collect(stations, QAccessible::ListItem, rows);
        QCOMPARE(rows.size(), w.e.stations().size());
        QCOMPARE(name(rows[2]), w.e.stations().at(2).name);
        QCOMPARE(rows[2]->text(QAccessible::Description), QString());
        w.e.play(w.e.stations().at(2));
        QCOMPARE(rows[2]->text(QAccessible::Description),
                 QStringLiteral("Now Playing, Buffering…"));
        w.f.lastStream()->report(StreamPlayer::TimeControlStatus::Playing);
        QTRY_COMPARE(rows[2]->text(QAccessible::Description),
                     QStringLiteral("Now Playing, On Air"));
        QVERIFY(rows[1]->text(QAccessible::Description).isEmpty());
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
