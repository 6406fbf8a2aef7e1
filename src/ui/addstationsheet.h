#pragma once

#include "radio/radiostation.h"

#include <QDialog>
#include <optional>

class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QVBoxLayout;

namespace orvane {

class AudioEngine;
class Preferences;
class RadioBrowser;
class Theme;

// One catalog result: name and address, then a check mark when a station with exactly that
// address is already in the list, else an add button.
class SearchResultRow : public QWidget {
    Q_OBJECT
public:
    SearchResultRow(const RadioStation& station, bool isAdded, Theme* theme,
                    std::function<void()> onAdd, QWidget* parent = nullptr);
    bool isAdded() const { return added_; }
    QPushButton* addButton() const { return add_; }

private:
    bool added_;
    QPushButton* add_ = nullptr;
};

// The modal sheet over the window: a station by hand (name, address; Add only for http(s)
// addresses) and a search in the catalog whose results are added one by one. Done closes it.
// Return in the search field searches, in the name or address field adds (when Add is
// enabled); Return anywhere else, and Escape, close the sheet.
class AddStationSheet : public QDialog {
    Q_OBJECT
public:
    AddStationSheet(AudioEngine* engine, RadioBrowser* catalog, Preferences* preferences,
                    Theme* theme, QWidget* parent = nullptr);

    // Turns the sheet into the editor of `station`: its name and address in the manual fields,
    // Save in place of Add (it replaces the station, same id, and closes), no catalog search.
    void editStation(const RadioStation& station);

    // The manual address test: parses, has a scheme, and the scheme begins with "http".
    static bool acceptsAddress(const QString& text);

    QLineEdit* nameField() const { return name_; }
    QLineEdit* urlField() const { return url_; }
    QLineEdit* queryField() const { return query_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* findButton() const { return find_; }
    QPushButton* doneButton() const { return done_; }
    const QList<RadioStation>& results() const { return results_; }
    bool isSearching() const { return searching_; }
    bool showsNothingFound() const;
    // What shows in place of results: "Nothing found", or that no server answered.
    QString resultNote() const;
    QList<SearchResultRow*> resultRows() const;

    void runSearch();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The steps of the constructor, top to bottom, in the language on show when it opens.
    QWidget* buildManualBox(const QString& lang); // name, address, Add
    QWidget* buildSearchBox(const QString& lang); // query, Find and the result area
    void buildResultArea(const QString& lang);    // results, busy bar, or "nothing found"
    QLayout* buildDoneRow(const QString& lang);
    void wireControls(); // the buttons, the fields' Return and the station list

    void addManual();
    void showResults();
    void updateButtons();

    AudioEngine* engine_;
    RadioBrowser* catalog_;
    Preferences* preferences_;
    Theme* theme_;
    QLabel* title_;
    QWidget* searchBox_;
    std::optional<RadioStation> editing_; // the station being edited, in edit mode
    QLineEdit* name_;
    QLineEdit* url_;
    QLineEdit* query_;
    QPushButton* add_;
    QPushButton* find_;
    QPushButton* done_;
    QStackedWidget* resultArea_;
    QLabel* nothingFound_;
    QVBoxLayout* resultList_;
    QList<RadioStation> results_;
    bool searching_ = false;
    bool didSearch_ = false;
};

} // namespace orvane
