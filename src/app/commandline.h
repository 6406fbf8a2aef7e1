#pragma once

#include <QByteArrayList>
#include <QString>
#include <QStringList>

namespace orvane {

// What a launch was asked to do. Options: --help/-h and --version/-v (printed, exit 0, before
// any other instance is asked); any other option is an error (exit 2, usage on standard
// error). The rest are files and folders (paths or file:// URLs), taken as the file system's
// bytes so that any name survives; those that do not exist or are not audio files are
// reported and left out; folders are expanded later, by the running instance.
class CommandLine {
public:
    enum class Action { Run, Help, Version, Error };

    // argv[0] is the program. `lang` picks the wording of the reports ("en", "ru", "system").
    static CommandLine parse(int argc, const char* const* argv, const QString& lang = {});

    Action action() const { return action_; }
    // Help or version text (standard output), or the error and the usage (standard error).
    const QString& text() const { return text_; }
    // Absolute paths of the files and folders to open, in the given order.
    const QByteArrayList& paths() const { return paths_; }
    // One line for each argument left out.
    const QStringList& problems() const { return problems_; }

private:
    Action action_ = Action::Run;
    QString text_;
    QByteArrayList paths_;
    QStringList problems_;
};

} // namespace orvane
