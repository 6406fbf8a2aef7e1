#include "ui/accessibility.h"

#include "ui/buttons.h"
#include "ui/glowbar.h"
#include "ui/visualizerview.h"

#include <QAccessibleWidget>
#include <algorithm>
#include <cmath>

namespace orvane {

namespace {

// A bar as a slider: its value in the owner's unit (seconds, percent), the owner's text for it
// ("1:23 of 4:07"), and set, increase and decrease as the pointer and the arrows would.
class GlowBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit GlowBarAccessible(GlowBar* bar)
        : QAccessibleWidget(bar, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return bar()->valueText();
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override {
        const double v = bar()->value();
        return (std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0)) * bar()->accessibleMaximum();
    }
    void setCurrentValue(const QVariant& value) override {
        const double maximum = bar()->accessibleMaximum();
        if (maximum > 0)
            bar()->request(value.toDouble() / maximum);
    }
    QVariant maximumValue() const override { return bar()->accessibleMaximum(); }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override {
        return bar()->keyStep() * bar()->accessibleMaximum();
    }

    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (bar()->keyStep() > 0)
            names << increaseAction() << decreaseAction();
        return names;
    }
    void doAction(const QString& name) override {
        if (name == increaseAction())
            bar()->step(1);
        else if (name == decreaseAction())
            bar()->step(-1);
        else
            QAccessibleWidget::doAction(name);
    }

private:
    GlowBar* bar() const { return static_cast<GlowBar*>(object()); }
};

// A mode button as a tab: its title, selected while its mode is on, pressed to switch.
class ModeButtonAccessible : public QAccessibleWidget {
public:
    explicit ModeButtonAccessible(ModeButton* button)
        : QAccessibleWidget(button, QAccessible::PageTab) {}

    QString text(QAccessible::Text t) const override {
        QString text = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && text.isEmpty())
            text = button()->text();
        return text;
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectable = true;
        s.selected = button()->isSelected();
        return s;
    }
    QStringList actionNames() const override {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name == pressAction())
            button()->click();
        else
            QAccessibleWidget::doAction(name);
    }

private:
    ModeButton* button() const { return static_cast<ModeButton*>(object()); }
};

// The level bars only repeat what the sound does: nothing for a screen reader to read.
class DecorationAccessible : public QAccessibleWidget {
public:
    explicit DecorationAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::NoRole) {}
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        s.focusable = false;
        return s;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String("orvane::GlowBar"))
        return new GlowBarAccessible(static_cast<GlowBar*>(object));
    if (className == QLatin1String("orvane::ModeButton"))
        return new ModeButtonAccessible(static_cast<ModeButton*>(object));
    if (className == QLatin1String("orvane::ModeSwitch"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::PageTabList);
    if (className == QLatin1String("orvane::VisualizerView"))
        return new DecorationAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

void installAccessibleWidgets() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace orvane
