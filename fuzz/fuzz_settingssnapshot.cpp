// A settings file as a start reads it in one quick pass: whatever its bytes, every value taken
// is the one QSettings reads from the same file, and a stored list comes out the same whether
// asked for as a value or as byte arrays.
#include "core/settingssnapshot.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    static const QSet<QString> kKeys{"appTheme", "appLanguage", "radioStations",
                                     "playlistBookmarks"};
    const std::optional<orvane::SettingsSnapshot> snapshot =
        orvane::SettingsSnapshot::parse(bytes, kKeys);
    if (!snapshot)
        return 0;
    // A fresh name for each input: QSettings keeps what it read of a file by its name.
    static QTemporaryDir dir;
    static int files = 0;
    const QString path = dir.filePath(QString::number(files++) + QStringLiteral(".ini"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            std::abort();
    }
    {
        const QSettings settings(path, QSettings::IniFormat);
        for (const QString& key : kKeys) {
            const QVariant ours = snapshot->value(key), theirs = settings.value(key);
            if (ours.typeId() != theirs.typeId() || ours != theirs)
                std::abort();
            if (const std::optional<QByteArrayList> list = snapshot->byteArrays(key)) {
                const QVariantList values = ours.toList();
                if (list->size() != values.size())
                    std::abort();
                for (qsizetype i = 0; i < values.size(); ++i) {
                    if (values.at(i).typeId() != QMetaType::QByteArray ||
                        values.at(i).toByteArray() != list->at(i))
                        std::abort();
                }
            }
        }
    }
    QFile::remove(path);
    return 0;
}
