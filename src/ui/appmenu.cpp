#include "ui/appmenu.h"

#include "core/localization.h"
#include "core/preferences.h"

namespace orvane {

AppMenu::AppMenu(Preferences* preferences, QWidget* parent)
    : QMenu(parent)
    , preferences_(preferences) {
    for (int i = OpenFiles; i <= Quit; ++i) {
        if (i == Settings || i == Quit)
            addSeparator();
        actions_[i] = addAction(QString());
    }
    // Shown beside the entries; as shortcuts they act only while the menu has the keyboard, so
    // they never compete with the window's own.
    const std::pair<Item, QKeySequence> keys[] = {{OpenFiles, QKeySequence(QKeySequence::Open)},
                                                  {SavePlaylist, QKeySequence(QKeySequence::Save)},
                                                  {Settings, QKeySequence(Qt::CTRL | Qt::Key_Comma)},
                                                  {Quit, QKeySequence(Qt::CTRL | Qt::Key_Q)}};
    for (const auto& [item, key] : keys) {
        actions_[item]->setShortcut(key);
        actions_[item]->setShortcutContext(Qt::WidgetShortcut);
    }
    connect(preferences_, &Preferences::languageChanged, this, &AppMenu::retranslate);
    retranslate();
}

void AppMenu::retranslate() {
    const QString lang = preferences_->language();
    const char* keys[] = {"open_files", "open_folder", "save_playlist", "settings", "about",
                          "quit"};
    for (int i = OpenFiles; i <= Quit; ++i)
        actions_[i]->setText(loc(QString::fromLatin1(keys[i]), lang));
    setAccessibleName(loc(QStringLiteral("menu"), lang));
}

} // namespace orvane
