#include "core/displaytext.h"

#include <algorithm>

namespace orvane {

namespace {

constexpr char16_t esc = 0x1b;
constexpr char16_t bel = 0x07;

bool between(char16_t c, char16_t low, char16_t high) {
    return c >= low && c <= high;
}

// The index just past the escape sequence whose introducer (ESC, or the 8-bit CSI, OSC, DCS...)
// is at `at` (ECMA-48): a control sequence ends at its final byte, a control string at BEL or
// ST, any other escape at its final character.
qsizetype pastEscape(const QString& s, qsizetype at) {
    const qsizetype n = s.size();
    char16_t kind = s.at(at).unicode();
    qsizetype i = at + 1;
    if (kind == esc) {
        if (i >= n)
            return i;
        const char16_t next = s.at(i).unicode();
        if (next == u'[' || next == u']' || next == u'P' || next == u'X' || next == u'^' ||
            next == u'_') {
            kind = next == u'[' ? char16_t(0x9b) : char16_t(0x9d); // as their 8-bit forms
            ++i;
        } else {
            while (i < n && between(s.at(i).unicode(), 0x20, 0x2f))
                ++i;                   // intermediates
            return std::min(n, i + 1); // the final character
        }
    }
    if (kind == 0x9b) { // CSI: parameters, intermediates, one final byte
        while (i < n && between(s.at(i).unicode(), 0x30, 0x3f))
            ++i;
        while (i < n && between(s.at(i).unicode(), 0x20, 0x2f))
            ++i;
        return i < n && between(s.at(i).unicode(), 0x40, 0x7e) ? i + 1 : i;
    }
    if (kind == 0x9d || kind == 0x90 || kind == 0x98 || kind == 0x9e || kind == 0x9f) {
        // A control string (OSC, DCS, SOS, PM, APC): up to BEL or ST (ESC \ or 0x9c).
        for (; i < n; ++i) {
            const char16_t c = s.at(i).unicode();
            if (c == bel || c == 0x9c)
                return i + 1;
            if (c == esc && i + 1 < n && s.at(i + 1) == QLatin1Char('\\'))
                return i + 2;
        }
        return n;
    }
    return at + 1;
}

} // namespace

QString cleanDisplayText(const QString& raw) {
    QString out;
    out.reserve(std::min<qsizetype>(raw.size(), kMaxDisplayTextLength));
    bool space = false;
    for (qsizetype i = 0; i < raw.size() && out.size() < kMaxDisplayTextLength;) {
        const QChar c = raw.at(i);
        const char16_t u = c.unicode();
        if (u == esc || u == 0x9b || u == 0x9d || u == 0x90 || u == 0x98 || u == 0x9e ||
            u == 0x9f) {
            i = pastEscape(raw, i);
            continue;
        }
        ++i;
        if (c.isSpace()) { // before the controls: a tab or a line break separates words
            space = !out.isEmpty();
            continue;
        }
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            continue; // control and invisible formatting characters (bidi overrides included)
        if (space) {
            out += QLatin1Char(' ');
            space = false;
        }
        out += c;
    }
    if (out.size() > kMaxDisplayTextLength)
        out.truncate(kMaxDisplayTextLength);
    if (!out.isEmpty() && out.back().isHighSurrogate())
        out.chop(1); // never half a character
    if (!out.isEmpty() && out.back() == QLatin1Char(' '))
        out.chop(1); // the cap fell just after a space
    return out;
}

} // namespace orvane
