#pragma once

#include <QFrame>
#include <functional>

class QLabel;
class QPushButton;

namespace orvane {

class Theme;

// A question asked in the window, never as a dialog ("Add 3 stations?"): its text and two
// buttons, over the top of the window's content until one is pressed. A new question replaces
// the one shown (whose answer is then no).
class QuestionBar : public QFrame {
    Q_OBJECT
public:
    explicit QuestionBar(Theme* theme, QWidget* parent = nullptr);

    void ask(const QString& text, const QString& yes, const QString& no,
             std::function<void()> onYes);
    QPushButton* yesButton() const { return yes_; }
    QPushButton* noButton() const { return no_; }
    QString text() const;

private:
    void recolor();

    Theme* theme_;
    QLabel* label_;
    QPushButton* yes_;
    QPushButton* no_;
    std::function<void()> onYes_;
};

} // namespace orvane
