#include "core/localization.h"

#include <QHash>
#include <QLocale>

namespace orvane {

namespace {

using Table = QHash<QString, QString>;

const Table& enStrings() {
    static const Table table = {
        {"playlist_header", "PLAYLIST"},
        {"radio_header", "RADIO"},
        {"empty_playlist", "Click “+” to add MP3 files"},
        {"empty_radio", "Click “+” to add a station"},
        {"tracks_footer", "%d tracks · %@"},
        {"tracks_filtered_footer", "%1 of %2 tracks"},
        {"filter_placeholder", "Find in playlist"},
        {"stations_footer", "%d stations"},
        {"drop_hint", "Drop to add to playlist"},
        {"select_track", "Select a track"},
        {"internet_radio", "Internet Radio"},
        {"local_file", "Local file"},
        {"library", "Library"},
        {"radio", "Radio"},
        {"add_station", "Add Station"},
        {"manually", "Manually"},
        {"name", "Name"},
        {"stream_url", "Stream URL (https://…)"},
        {"add", "Add"},
        {"search_catalog", "Search the Radio Browser catalog"},
        {"station_placeholder", "Station name…"},
        {"find", "Search"},
        {"nothing_found", "Nothing found"},
        {"done", "Done"},
        {"buffering", "Buffering…"},
        {"on_air", "On Air"},
        {"paused", "Paused"},
        {"stream_error", "Stream error"},
        {"invalid_url", "Invalid URL"},
        {"stopped", "Stopped"},
        {"stream_not_found", "address not found"},
        {"stream_refused", "connection refused"},
        {"stream_not_audio", "not audio"},
        {"stream_timed_out", "timed out"},
        {"stream_server_error", "server error %1"},
        {"stream_failed", "%1 — %2"},
        {"file_not_opened", "%1 could not be opened"},
        {"files_not_opened", "%1 files could not be opened: %2"},
        {"file_gone", "%1 is no longer on disk: skipped"},
        {"catalog_unreachable", "Could not reach the station catalog"},
        {"mute", "Mute"},
        {"unmute", "Unmute"},
        {"now_playing", "Now Playing"},
        {"play", "Play"},
        {"pause", "Pause"},
        {"next_track", "Next"},
        {"prev_track", "Previous"},
        {"shuffle", "Shuffle"},
        {"repeat", "Repeat"},
        {"position", "Position"},
        {"time_of", "%1 of %2"},
        {"volume", "Volume"},
        {"remove", "Remove"},
        {"open_player", "Open Player"},
        {"quit", "Quit"},
        {"settings", "Settings…"},
        {"audio_files", "Audio files"},
        {"all_files", "All files"},
        {"theme_label", "Appearance:"},
        {"light", "Light"},
        {"dark", "Dark"},
        {"system_mode", "System"},
        {"language_label", "Language:"},
        {"levelling_label", "Volume levelling:"},
        {"levelling_off", "Off"},
        {"levelling_track", "Track"},
        {"levelling_album", "Album"},
        {"crossfade_label", "Crossfade:"},
        {"crossfade_off", "Off"},
        {"crossfade_seconds", "%1 s"},
        {"album_gapless", "No crossfade within an album"},
        {"stereo", "Stereo"},
        {"mono", "Mono"},
        {"cli_missing", "%@: no such file or folder"},
        {"cli_not_audio",
         "%@: not an audio file (MP3, M4A, AAC, WAV, AIFF, FLAC, OGG, OPUS or WV)"},
        {"cli_no_answer", "Orvane is already running but does not answer: %@"},
        {"no_descriptors", "No file descriptor is left: files are read once some are free again"},
        {"cli_refused", "The running Orvane refused the files: %@"},
        {"settings_not_saved", "Settings could not be saved"},
        {"open_failed", "Could not open %1: %2"},
        {"menu", "Menu"},
        {"open_files", "Open Files…"},
        {"open_folder", "Open Folder…"},
        {"about", "About Orvane"},
        {"about_version", "Version %1"},
        {"about_text", "A music player for local files and internet radio."},
        {"about_licence", "Licence: GNU General Public License, version 3 or later"},
        {"about_link", "Project page"},
        {"close", "Close"},
        {"settings_title", "Settings"},
        {"show_in_folder", "Show in Folder"},
        {"edit_station", "Edit…"},
        {"edit_station_title", "Edit Station"},
        {"save", "Save"},
        {"add_stations_question", "Add %1 stations?"},
        {"cancel", "Cancel"},
        {"save_playlist", "Save Playlist…"},
        {"playlist_files", "Playlists"},
        {"playlist_not_saved", "The playlist could not be saved: %1"},
    };
    return table;
}

const Table& ruStrings() {
    static const Table table = {
        {"playlist_header", "ПЛЕЙЛИСТ"},
        {"radio_header", "РАДИО"},
        {"empty_playlist", "Нажмите «+» и добавьте MP3-файлы"},
        {"empty_radio", "Нажмите «+» и добавьте станцию"},
        {"tracks_footer", "Треков: %d · %@"},
        {"tracks_filtered_footer", "Треков: %1 из %2"},
        {"filter_placeholder", "Найти в плейлисте"},
        {"stations_footer", "Станций: %d"},
        {"drop_hint", "Отпустите, чтобы добавить в плейлист"},
        {"select_track", "Выберите трек"},
        {"internet_radio", "Интернет-радио"},
        {"local_file", "Локальный файл"},
        {"library", "Библиотека"},
        {"radio", "Радио"},
        {"add_station", "Добавить станцию"},
        {"manually", "Вручную"},
        {"name", "Название"},
        {"stream_url", "URL потока (https://…)"},
        {"add", "Добавить"},
        {"search_catalog", "Поиск в каталоге Radio Browser"},
        {"station_placeholder", "Название станции…"},
        {"find", "Найти"},
        {"nothing_found", "Ничего не найдено"},
        {"done", "Готово"},
        {"buffering", "Буферизация…"},
        {"on_air", "В эфире"},
        {"paused", "Пауза"},
        {"stream_error", "Ошибка потока"},
        {"invalid_url", "Неверный URL"},
        {"stopped", "Остановлено"},
        {"stream_not_found", "адрес не найден"},
        {"stream_refused", "соединение отклонено"},
        {"stream_not_audio", "это не аудио"},
        {"stream_timed_out", "нет ответа"},
        {"stream_server_error", "сервер вернул код %1"},
        {"stream_failed", "%1 — %2"},
        {"file_not_opened", "Не удалось открыть %1"},
        {"files_not_opened", "Не удалось открыть файлы (%1): %2"},
        {"file_gone", "«%1» больше нет на диске: пропущено"},
        {"catalog_unreachable", "Не удалось связаться с каталогом станций"},
        {"mute", "Выключить звук"},
        {"unmute", "Включить звук"},
        {"now_playing", "Сейчас играет"},
        {"play", "Играть"},
        {"pause", "Пауза"},
        {"next_track", "Следующий"},
        {"prev_track", "Предыдущий"},
        {"shuffle", "Перемешать"},
        {"repeat", "Повтор"},
        {"position", "Позиция"},
        {"time_of", "%1 из %2"},
        {"volume", "Громкость"},
        {"remove", "Удалить"},
        {"open_player", "Открыть плеер"},
        {"quit", "Завершить"},
        {"settings", "Настройки…"},
        {"audio_files", "Аудиофайлы"},
        {"all_files", "Все файлы"},
        {"theme_label", "Тема оформления:"},
        {"light", "Светлая"},
        {"dark", "Тёмная"},
        {"system_mode", "Как в системе"},
        {"language_label", "Язык:"},
        {"levelling_label", "Выравнивание громкости:"},
        {"levelling_off", "Выкл."},
        {"levelling_track", "По треку"},
        {"levelling_album", "По альбому"},
        {"crossfade_label", "Плавный переход:"},
        {"crossfade_off", "Выкл."},
        {"crossfade_seconds", "%1 с"},
        {"album_gapless", "Без перехода внутри альбома"},
        {"stereo", "Стерео"},
        {"mono", "Моно"},
        {"cli_missing", "%@: нет такого файла или папки"},
        {"cli_not_audio", "%@: не аудиофайл (MP3, M4A, AAC, WAV, AIFF, FLAC, OGG, OPUS или WV)"},
        {"cli_no_answer", "Orvane уже запущен, но не отвечает: %@"},
        {"no_descriptors",
         "Не осталось файловых дескрипторов: файлы будут прочитаны, когда они освободятся"},
        {"cli_refused", "Запущенный Orvane не принял файлы: %@"},
        {"settings_not_saved", "Не удалось сохранить настройки"},
        {"open_failed", "Не удалось открыть %1: %2"},
        {"menu", "Меню"},
        {"open_files", "Открыть файлы…"},
        {"open_folder", "Открыть папку…"},
        {"about", "О программе Orvane"},
        {"about_version", "Версия %1"},
        {"about_text", "Музыкальный плеер для локальных файлов и интернет-радио."},
        {"about_licence", "Лицензия: GNU General Public License версии 3 или более поздней"},
        {"about_link", "Страница проекта"},
        {"close", "Закрыть"},
        {"settings_title", "Настройки"},
        {"show_in_folder", "Показать в папке"},
        {"edit_station", "Изменить…"},
        {"edit_station_title", "Изменить станцию"},
        {"save", "Сохранить"},
        {"add_stations_question", "Добавить станции (%1)?"},
        {"cancel", "Отмена"},
        {"save_playlist", "Сохранить плейлист…"},
        {"playlist_files", "Плейлисты"},
        {"playlist_not_saved", "Не удалось сохранить плейлист: %1"},
    };
    return table;
}

} // namespace

QString loc(const QString& key, const QString& lang, const QStringList& preferredLanguages) {
    bool russian;
    if (lang == QLatin1String("ru"))
        russian = true;
    else if (lang == QLatin1String("en"))
        russian = false;
    else
        russian = !preferredLanguages.isEmpty() &&
                  preferredLanguages.first().startsWith(QLatin1String("ru"));
    const Table& table = russian ? ruStrings() : enStrings();
    const auto it = table.constFind(key);
    return it == table.constEnd() ? key : it.value();
}

QString loc(const QString& key, const QString& lang) {
    if (lang == QLatin1String("ru") || lang == QLatin1String("en"))
        return loc(key, lang, {});
    return loc(key, lang, QLocale::system().uiLanguages());
}

QString currentLang(const QSettings& settings) {
    return settings.value(QStringLiteral("appLanguage"), QStringLiteral("system")).toString();
}

} // namespace orvane
