#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace orvane {

class Preferences;

// "About Orvane": the program's symbol, name, version, a line on what it is, its licence and a
// link to the project. Not modal; Escape or Close puts it away. Made by the window's menu,
// centred over the window.
class AboutView : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* homepage = "https://github.com/orvane/orvane";

    explicit AboutView(Preferences* preferences, QWidget* parent = nullptr);
    // The texts on show, top to bottom (the link as its address).
    QStringList texts() const;

protected:
    void changeEvent(QEvent* event) override;

private:
    void retranslate();

    Preferences* preferences_;
    QLabel* version_;
    QLabel* text_;
    QLabel* licence_;
    QLabel* link_;
    QPushButton* close_;
};

} // namespace orvane
