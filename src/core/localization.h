#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

namespace orvane {

// The interface's wording in English and Russian. `lang` is "en", "ru", or anything else for
// the desktop's preferred language.
QString loc(const QString& key, const QString& lang);
// The same with an explicit preferred-language list (its first entry decides "system").
QString loc(const QString& key, const QString& lang, const QStringList& preferredLanguages);
// The raw `appLanguage` setting, "system" when absent. Not resolved.
QString currentLang(const QSettings& settings);

} // namespace orvane
