#include "core/settingssnapshot.h"

#include "core/giveway.h"

#include <QList>
#include <QStringList>
#include <QVariantList>
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

namespace orvane {

namespace {

bool isHexDigit(uchar c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(uchar c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The control characters written as a letter after a backslash, and those letters.
constexpr std::string_view kControls("\a\b\f\n\r\t\v", 7);
constexpr std::string_view kLetters("abfnrtv", 7);

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// How the escaper below treats each character: written as it is, written as it is but calling
// for quotes around the string (a separator), or escaped. Characters from 0x7F on are escaped
// in byte arrays; other text is written as UTF-8, which for 0x7F is the byte itself.
enum CharClass : uchar { Plain, Separator, Escaped };
using CharClasses = std::array<CharClass, 256>;
constexpr CharClasses charClasses(bool bytes) {
    CharClasses classes{};
    for (int c = 0; c < 256; ++c)
        classes[size_t(c)] = c < 0x20 || c == '"' || c == '\\' || c > 0x7F || (c == 0x7F && bytes)
                                 ? Escaped
                             : c == ';' || c == ',' || c == '=' ? Separator
                                                                : Plain;
    return classes;
}
constexpr CharClasses kByteClasses = charClasses(true), kTextClasses = charClasses(false);

// Whether the reader below ends a run of plain characters at this one.
constexpr std::array<bool, 256> kRunEnds = [] {
    std::array<bool, 256> ends{};
    for (int c = 0; c < 256; ++c)
        ends[size_t(c)] = c == '"' || c == ',' || c == '\\' || c < 0x20 || c >= 0x80;
    return ends;
}();

// How QSettings writes one string of a value in an INI file: escapes, and quotes around a string
// holding a separator or starting or ending with a space. Every character here is below 0x100
// (the parser takes nothing else), so each is one byte.
void appendEscaped(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto appendHex = [&](uchar c) {
        out += "\\x";
        if (c >= 16)
            out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    const CharClasses& classes = startsWith(text, "@ByteArray(") || startsWith(text, "@Variant(")
                                     ? kByteClasses
                                     : kTextClasses;
    const size_t start = out.size();
    out.reserve(start + text.size() + 2);
    bool needsQuotes = false, escapeNextIfDigit = false;
    for (size_t i = 0; i < text.size();) {
        const uchar c = uchar(text[i]);
        if (escapeNextIfDigit && isHexDigit(c)) {
            appendHex(c);
            ++i;
            continue;
        }
        escapeNextIfDigit = false;
        if (classes[c] != Escaped) { // a run of characters written as they are, at once
            size_t end = i;
            uchar seen = Plain;
            for (CharClass k; end < text.size() && (k = classes[uchar(text[end])]) != Escaped;
                 ++end)
                seen |= k;
            needsQuotes = needsQuotes || seen == Separator;
            out.append(text.data() + i, end - i);
            i = end;
            continue;
        }
        ++i;
        if (const size_t letter = kControls.find(char(c)); letter != kControls.npos) {
            out += '\\';
            out += kLetters[letter];
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == 0) {
            out += "\\0";
            escapeNextIfDigit = true;
        } else { // other control characters, and in byte arrays 0x7F on
            appendHex(c);
            escapeNextIfDigit = true;
        }
    }
    if (needsQuotes || (start < out.size() && (out[start] == ' ' || out.back() == ' '))) {
        out.insert(start, 1, '"');
        out += '"';
    }
}

// One string of a value, from `at` up to an unquoted comma or the end of the line, unescaped
// (every character below 0x100, as bytes). False for anything the writer would not have
// written: raw bytes from 0x80 on (UTF-8 text), an unknown escape, a broken quote.
bool unescapeOne(QByteArrayView raw, qsizetype& at, std::string& text) {
    const qsizetype n = raw.size();
    bool quoted = false;
    while (at < n) {
        const uchar c = uchar(raw[at]);
        if (c == '"') {
            quoted = !quoted;
            ++at;
        } else if (c == ',' && !quoted) {
            break;
        } else if (c == '\\') {
            if (++at >= n)
                return false;
            const uchar e = uchar(raw[at++]);
            int value = 0;
            if (const size_t letter = kLetters.find(char(e)); letter != kLetters.npos) {
                text += kControls[letter];
            } else if (e == '"' || e == '?' || e == '\'' || e == '\\') {
                text += char(e);
            } else if (e == 'x') {
                // As many hex digits as follow, as QSettings reads them.
                if (at >= n || !isHexDigit(uchar(raw[at])))
                    return false;
                while (at < n && isHexDigit(uchar(raw[at]))) {
                    value = value * 16 + hexValue(uchar(raw[at++]));
                    if (value > 0xFF)
                        return false;
                }
                text += char(value);
            } else if (e >= '0' && e <= '7') {
                value = e - '0';
                while (at < n && raw[at] >= '0' && raw[at] <= '7') {
                    value = value * 8 + (raw[at++] - '0');
                    if (value > 0xFF)
                        return false;
                }
                text += char(value);
            } else {
                return false;
            }
        } else if (c < 0x20 || c >= 0x80) {
            return false;
        } else { // a run of plain characters at once
            qsizetype end = at + 1;
            while (end < n && !kRunEnds[uchar(raw[end])])
                ++end;
            text.append(raw.data() + at, size_t(end - at));
            at = end;
        }
    }
    return !quoted;
}

// One string of a value, unescaped. A byte array keeps only its bytes (one copy for each of the
// thousands in a stored list).
struct Text {
    enum Kind { Plain, Escaped, Bytes, Invalid, Other } kind = Plain;
    QByteArray bytes; // Plain, Escaped ("@@…" without its first "@") and Bytes
};

constexpr std::string_view kBytesOpen("@ByteArray(");

Text textOf(std::string_view text) {
    if (!startsWith(text, "@"))
        return {Text::Plain, QByteArray(text.data(), qsizetype(text.size()))};
    if (startsWith(text, "@@"))
        return {Text::Escaped, QByteArray(text.data() + 1, qsizetype(text.size() - 1))};
    if (startsWith(text, kBytesOpen) && text.back() == ')')
        return {Text::Bytes, QByteArray(text.data() + kBytesOpen.size(),
                                        qsizetype(text.size() - kBytesOpen.size() - 1))};
    if (text == "@Invalid()")
        return {Text::Invalid, {}};
    return {Text::Other, {}};
}

// A string as QSettings turns it into a value; nullopt for the forms not read here.
std::optional<QVariant> valueOf(const Text& text) {
    switch (text.kind) {
    case Text::Plain:
    case Text::Escaped:
        return QVariant(QString::fromLatin1(text.bytes));
    case Text::Bytes:
        return QVariant(text.bytes);
    case Text::Invalid:
        return QVariant();
    case Text::Other:
        break;
    }
    return std::nullopt;
}

// The next string of a value into `text`, `at` moved past it and past the separator the
// writer puts between the strings of a list (", "), which `more` tells (a string follows it,
// if only an empty one). Only what the writer would write back to the very same bytes is
// taken. `again`: room for that check.
bool nextString(QByteArrayView raw, qsizetype& at, std::string& text, std::string& again,
                bool& more) {
    const qsizetype from = at;
    text.clear();
    if (!unescapeOne(raw, at, text))
        return false;
    again.clear();
    appendEscaped(text, again);
    if (std::string_view(raw.data() + from, size_t(at - from)) != again)
        return false;
    more = at < raw.size();
    if (!more)
        return true;
    if (raw.size() - at < 2 || raw[at + 1] != ' ')
        return false;
    at += 2;
    return true;
}

// A list made of byte arrays only (a stored playlist: thousands of them) straight into a list of
// them, without a value each; nullopt for anything else.
std::optional<QByteArrayList> byteArraysOf(QByteArrayView raw) {
    QByteArrayList list;
    // At most one string per comma, and one more.
    qsizetype commas = 0;
    for (const char *p = raw.data(), *end = p + raw.size();
         (p = static_cast<const char*>(std::memchr(p, ',', size_t(end - p)))); ++p)
        ++commas;
    list.reserve(commas + 1);
    std::string text, again;
    qsizetype at = 0;
    for (bool more = true; more;) {
        if (!nextString(raw, at, text, again, more))
            return std::nullopt;
        Text bytes = textOf(text);
        if (bytes.kind != Text::Bytes)
            return std::nullopt;
        list.append(std::move(bytes.bytes));
        giveWay();
    }
    if (list.size() < 2) // one string is a value of its own, not a list
        return std::nullopt;
    return list;
}

// A value's text after "key=": one string, or several joined by ", " (a list).
std::optional<QVariant> parseValue(QByteArrayView raw) {
    if (raw.startsWith(kBytesOpen) || raw.startsWith("\"@ByteArray(")) // quoted or not
        if (std::optional<QByteArrayList> list = byteArraysOf(raw))
            return QVariant::fromValue(std::move(*list));
    QList<Text> texts;
    std::string text, again;
    qsizetype at = 0;
    for (bool more = true; more;) {
        if (!nextString(raw, at, text, again, more))
            return std::nullopt;
        texts.append(textOf(text));
    }
    if (texts.size() == 1)
        return valueOf(texts.front());
    // A list: of values when any of its strings is a special form, else of strings.
    const bool special = std::any_of(texts.cbegin(), texts.cend(), [](const Text& t) {
        return t.kind != Text::Plain && t.kind != Text::Escaped;
    });
    if (special) {
        QVariantList values;
        values.reserve(texts.size());
        for (const Text& t : std::as_const(texts)) {
            std::optional<QVariant> v = valueOf(t);
            if (!v)
                return std::nullopt;
            values.append(std::move(*v));
        }
        return QVariant(values);
    }
    QStringList strings;
    strings.reserve(texts.size());
    for (const Text& t : std::as_const(texts))
        strings.append(QString::fromLatin1(t.bytes));
    return QVariant(strings);
}

// Whether QSettings ends this line at its line break, as this reader does. It does not within
// quotes (a value may span lines), after a backslash (which carries it on) or at a carriage
// return (a break of its own). Its comments (from a ";") are not followed: a line with one and
// a quote in it is taken as not whole, and QSettings reads that file.
bool isWholeLine(QByteArrayView line) {
    // Mostly the stored playlist's line, megabytes long, with neither quotes nor carriage
    // returns: then only a backslash left alone at its end carries it on.
    if (!line.contains('"') && !line.contains('\r')) {
        const auto last =
            std::find_if(line.rbegin(), line.rend(), [](char c) { return c != '\\'; });
        return (last - line.rbegin()) % 2 == 0;
    }
    static constexpr std::array<bool, 256> kSpecial = [] {
        std::array<bool, 256> special{};
        special['"'] = special['\\'] = special['\r'] = true;
        return special;
    }();
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (!kSpecial[uchar(c)])
            continue;
        if (c == '\r' || (c == '\\' && (++i == line.size() || line[i] == '\r')))
            return false;
        if (c == '"')
            quoted = !quoted;
    }
    return !quoted;
}

bool isPlainKey(QByteArrayView key) {
    return !key.isEmpty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    });
}

} // namespace

QVariant SettingsSnapshot::value(const QString& key, const QVariant& fallback) const {
    const auto found = values_.constFind(key);
    if (found == values_.cend())
        return fallback;
    if (found->typeId() != QMetaType::QByteArrayList)
        return *found;
    const QByteArrayList list = found->value<QByteArrayList>();
    QVariantList values;
    values.reserve(list.size());
    for (const QByteArray& bytes : list)
        values.append(bytes);
    return values;
}

std::optional<QByteArrayList> SettingsSnapshot::byteArrays(const QString& key) const {
    const auto found = values_.constFind(key);
    if (found == values_.cend() || found->typeId() != QMetaType::QByteArrayList)
        return std::nullopt;
    return found->value<QByteArrayList>();
}

std::optional<SettingsSnapshot> SettingsSnapshot::parse(const QByteArray& file,
                                                        const QSet<QString>& keys) {
    SettingsSnapshot snapshot;
    QByteArrayView rest(file);
    while (!rest.isEmpty()) {
        qsizetype end = rest.indexOf('\n');
        if (end < 0)
            end = rest.size();
        const QByteArrayView line = rest.first(end);
        rest = rest.sliced(std::min(end + 1, rest.size()));
        if (line.isEmpty())
            continue;
        if (line.front() == '[') {
            if (line != "[General]")
                return std::nullopt; // groups are not the player's
            continue;
        }
        // Keys as the player names them; any other spelling (escaped, spaced) is QSettings's to
        // read.
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || !isPlainKey(line.first(equals)))
            return std::nullopt;
        const QString key = QString::fromLatin1(line.first(equals));
        if (!keys.contains(key)) {
            // Not read, but its line must end where QSettings ends it too.
            if (!isWholeLine(line))
                return std::nullopt;
            continue;
        }
        std::optional<QVariant> value = parseValue(line.sliced(equals + 1));
        if (!value || snapshot.values_.contains(key))
            return std::nullopt;
        snapshot.values_.insert(key, std::move(*value));
    }
    return snapshot;
}

} // namespace orvane
