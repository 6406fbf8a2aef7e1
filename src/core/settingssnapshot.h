#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVariant>
#include <optional>

namespace orvane {

// Some values of a settings file, read in one quick pass for a start. QSettings parses every
// value of a section the first time any of them is asked for, and a stored playlist of tens of
// thousands of byte arrays makes that the longest step of a start: the window would wait for it
// just to learn its theme. This reads the forms the player's own values take as QSettings
// writes them to an INI file (text, byte arrays, lists of byte arrays, an empty list) and gives
// the values QSettings would. It takes a value only when it writes back to exactly the bytes
// found; a file with anything else in the keys asked for (edited by hand, say), or with groups,
// gives nothing, and QSettings reads that file as ever. Any thread.
class SettingsSnapshot {
public:
    // The values of the keys in `keys` found in `file` (the settings file's bytes); those of
    // other keys are left unread.
    static std::optional<SettingsSnapshot> parse(const QByteArray& file, const QSet<QString>& keys);

    // The value as QSettings gives it.
    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    // A value that is a list of byte arrays, as one (without a value made for each); nullopt
    // for any other value, or none.
    std::optional<QByteArrayList> byteArrays(const QString& key) const;

private:
    // Lists of byte arrays are held as QByteArrayList, others as QSettings gives them.
    QHash<QString, QVariant> values_;
};

} // namespace orvane
