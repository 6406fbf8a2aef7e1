#pragma once

#include <QColor>
#include <QFont>
#include <QObject>
#include <QString>

namespace orvane {

// The appearance in force (light or dark) and the colours that follow it. One instance, owned
// by the application and handed to the views; every view repaints on `changed`.
class Theme : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    bool isDark() const { return dark_; }
    void setDark(bool dark);

    // The accent: green on dark, blue on light.
    QColor neon() const;
    QColor bgTop() const;
    QColor bgBottom() const;
    // The primary text colour and its secondary (~55 %) and tertiary (~30 %) forms.
    QColor primary(double opacity = 1.0) const;
    QColor secondary() const { return primary(0.55); }
    QColor tertiary() const { return primary(0.30); }
    // Small text meant to be read (the technical line): at least 4.5:1 on the panels in both
    // appearances, where the tertiary form reaches only about 2:1.
    QColor technical() const { return primary(0.60); }

    static QColor neon(bool dark);
    // A colour as a style sheet's "rgba(r, g, b, a)".
    static QString css(const QColor& color);

    // Text styles, in points of a 13-point body; scaled to the application's own font.
    enum Style {
        LargeTitle = 26,
        Title = 22,
        Title2 = 17,
        Title3 = 15,
        Headline = 13,
        Body = 13,
        Callout = 12,
        Caption = 10,
        Caption2 = 10
    };
    static QFont textStyle(const QFont& base, Style style, bool bold = false);

Q_SIGNALS:
    void changed();

private:
    bool dark_ = true;
};

} // namespace orvane
