#pragma once

#include "core/preferences.h"
#include "radio/radiobrowser.h"
#include "support/enginefixture.h"
#include "support/files.h"
#include "ui/contentview.h"
#include "ui/glowbar.h"
#include "ui/playlistpanel.h"
#include "ui/theme.h"

#include <QApplication>
#include <QListView>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QTest>
#include <QWindow>

namespace orvane::test {

// A click on a row of `list`; with `twice`, a double click.
inline void clickRow(QListView* list, int row, bool twice = false) {
    const QPoint at = list->visualRect(list->model()->index(row, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (twice) // the second press of a double click
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

// A right-click on a row of `list`, through the window as the pointer gives it (the context
// menu comes from the press, as on X11).
inline void rightClickRow(QListView* list, int row) {
    const QPoint at = list->visualRect(list->model()->index(row, 0)).center();
    QTest::mouseClick(list->window()->windowHandle(), Qt::RightButton, {},
                      list->viewport()->mapTo(list->window(), at));
}

// The popup menu open now, or null.
inline QMenu* openMenu() {
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

// The entries of `menu` as shown ("—" for a separator).
inline QStringList menuTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* a : menu->actions())
        texts.append(a->isSeparator() ? QStringLiteral("—") : a->text());
    return texts;
}

// Clicks the entry of the open `menu` showing `text`; false when there is none.
inline bool chooseEntry(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions()) {
        if (a->text() == text) {
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
            return true;
        }
    }
    return false;
}

// A press and release on `bar`, `xFromLeadingEdge` from the start of its bar.
inline void pressBar(GlowBar& bar, double xFromLeadingEdge) {
    const int x = int(bar.barRect().left() + xFromLeadingEdge);
    QTest::mousePress(&bar, Qt::LeftButton, {}, QPoint(x, bar.height() / 2));
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, QPoint(x, bar.height() / 2));
}

// The child of `parent` of type W (a button, a label) showing `text`, or null.
template <class W> W* childWithText(const QObject* parent, const QString& text) {
    for (W* child : parent->findChildren<W*>())
        if (child->text() == text)
            return child;
    return nullptr;
}

// What the window's views need besides the engine: the settings they read (in English), the
// appearance, and a catalog that answers nothing.
struct ViewServices {
    explicit ViewServices(QSettings* settings)
        : prefs(settings) {
        prefs.setLanguage(QStringLiteral("en"));
    }
    Preferences prefs;
    Theme theme;
    QNetworkAccessManager network;
    RadioBrowser catalog{&network, {QUrl(QStringLiteral("http://127.0.0.1:9"))}};
};

// The window's content on `engine`, shown (offscreen) at the window's usual size.
struct WindowViews : ViewServices {
    WindowViews(AudioEngine& engine, QSettings* settings)
        : ViewServices(settings)
        , view(&engine, &catalog, &prefs, &theme) {
        view.resize(860, 560);
        view.show();
    }
    QListView* list() { return view.playlistPanel()->list(); } // the playlist's rows
    void click(int row, bool twice = false) { clickRow(list(), row, twice); }

    ContentView view;
};

struct FakeEngine {
    EngineFixture f;
    AudioEngine& e = f.start();
};

// The window's content on an engine of fakes in virtual time.
struct WindowFixture : FakeEngine, WindowViews {
    WindowFixture()
        : WindowViews(e, f.settings.get()) {}
};

// The same, made active (`active()` waits for it), with a key press as the keyboard gives it: to
// the control that has the focus, else to the window.
struct KeyWindow : WindowFixture {
    KeyWindow() { view.activateWindow(); }
    bool active() { return QTest::qWaitForWindowActive(&view); }
    void key(int k, Qt::KeyboardModifiers modifiers = {}) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &view, Qt::Key(k), modifiers);
    }
};

} // namespace orvane::test
