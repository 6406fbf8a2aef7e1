#include "app/commandline.h"

#include "core/localization.h"
#include "engine/audiofiles.h"
#include "engine/filename.h"
#include "engine/playlistfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

// An absolute form of a path given on the command line, as bytes: "./" and repeated slashes
// go, ".." stays (it means something else after a link).
QByteArray absolutePath(const QByteArray& arg) {
    QByteArray path = arg;
    if (!path.startsWith('/')) {
        char buffer[4096];
        const char* cwd = ::getcwd(buffer, sizeof buffer);
        path = QByteArray(cwd ? cwd : "/") + '/' + path;
    }
    QByteArrayList kept;
    for (const QByteArray& part : path.split('/')) {
        if (!part.isEmpty() && part != ".")
            kept.append(part);
    }
    return '/' + kept.join('/');
}

// A file:// URL's path as bytes (percent escapes may stand for any byte), or nothing.
std::optional<QByteArray> fileUrlPath(const QByteArray& arg) {
    if (!arg.startsWith("file:"))
        return std::nullopt;
    const QUrl url = QUrl::fromEncoded(arg);
    if (!url.isValid() || !url.isLocalFile())
        return std::nullopt;
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

QString shown(const QByteArray& path) {
    return decodeFileName(path);
}

} // namespace

CommandLine CommandLine::parse(int argc, const char* const* argv, const QString& lang) {
    CommandLine result;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Orvane, a music and internet radio player."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("Audio files or folders to play."),
                                 QStringLiteral("[files or folders...]"));
    // Parsed before the application object exists (a launch that only hands over files needs
    // no display), so the usage line gets the program's name here.
    const QString program = argc > 0 ? QFileInfo(arguments.first()).fileName() : QString();
    auto usage = [&parser, &program] {
        return parser.helpText().replace(QLatin1String("<executable_name>"),
                                         program.isEmpty() ? QStringLiteral("orvane") : program);
    };
    if (!parser.parse(arguments)) {
        result.action_ = Action::Error;
        result.text_ =
            program + QLatin1String(": ") + parser.errorText() + QLatin1Char('\n') + usage();
        return result;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        result.action_ = Action::Help;
        result.text_ = usage();
        return result;
    }
    if (parser.isSet(version)) {
        result.action_ = Action::Version;
        result.text_ = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                     QCoreApplication::applicationVersion());
        return result;
    }

    // The positional arguments, as bytes: every option has been checked above and none takes
    // a value, so they are the arguments that are not options (all of them after "--").
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.startsWith('-') && arg != "-")
            continue;
        if (arg.isEmpty())
            continue;
        const QByteArray path = absolutePath(fileUrlPath(arg).value_or(arg));
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            result.problems_.append(
                loc(QStringLiteral("cli_missing"), lang).replace(QLatin1String("%@"), shown(arg)));
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !AudioFiles::isAudioName(shown(path)) &&
            !PlaylistFile::isPlaylistName(shown(path))) {
            result.problems_.append(loc(QStringLiteral("cli_not_audio"), lang)
                                        .replace(QLatin1String("%@"), shown(arg)));
            continue;
        }
        result.paths_.append(path);
    }
    return result;
}

} // namespace orvane
