// Orvane's entry point: one instance per user and settings file. The instance lock decides who
// runs; a second launch hands its files (or a request to show the window) to the running one
// and exits, and never starts a player of its own.
#include "app/appsettings.h"
#include "app/commandline.h"
#include "app/instancelock.h"
#include "app/orvaneapp.h"
#include "app/quitsignals.h"
#include "app/singleinstance.h"
#include "core/localization.h"
#include "engine/audioengine.h"
#include "engine/filename.h"
#include "engine/playerworker.h"
#include "engine/playlistrestore.h"
#include "engine/playliststore.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/resource.h>

namespace {

// How long a second launch keeps trying to reach the running instance (which may be starting).
constexpr int kHandOverMs = 10000;
// How often the running instance makes sure its lock file is still the one at its path.
constexpr int kLockCheckMs = 2000;
// How long quit waits, once everything is saved, for the pipelines to go down.
constexpr int kTeardownMs = 1000;

void report(const QString& line) {
    std::fprintf(stderr, "orvane: %s\n", line.toLocal8Bit().constData());
}

// Help, version or a command line in error: what to print, and the exit code; nullopt to run.
std::optional<int> answerCommandLine(const orvane::CommandLine& command) {
    switch (command.action()) {
    case orvane::CommandLine::Action::Help:
    case orvane::CommandLine::Action::Version:
        std::fputs(command.text().toLocal8Bit().constData(), stdout);
        return 0;
    case orvane::CommandLine::Action::Error:
        std::fputs(command.text().toLocal8Bit().constData(), stderr);
        return 2;
    case orvane::CommandLine::Action::Run:
        break;
    }
    for (const QString& problem : command.problems())
        report(problem);
    return std::nullopt;
}

// Whether the hand-over socket is there: an instance may listen on it, or one that ended left it.
bool socketExists(const QString& socketPath) {
    struct stat st {};
    return ::lstat(QFile::encodeName(socketPath).constData(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Takes the instance lock (nullopt: this process runs the player, and `*held` is the lock it
// holds), or hands the paths to the running Orvane and returns the exit code.
std::optional<int> takeLockOrHandOver(orvane::InstanceLock& lock, orvane::InstanceLock& fallback,
                                      orvane::InstanceLock** held, orvane::SingleInstance& instance,
                                      const QString& socketPath, const QList<QByteArray>& paths,
                                      const QString& lang) {
    const QDeadlineTimer deadline(kHandOverMs);
    for (;;) {
        *held = &lock;
        orvane::InstanceLock::Result taken = lock.tryLock();
        if (taken == orvane::InstanceLock::Result::Failed) {
            // The settings' folder cannot hold the lock (read-only, say): the private runtime
            // folder still keeps one instance per user. Not when the lock file is there but
            // cannot be used: the running instance may hold it.
            QString error;
            *held = &fallback;
            taken = orvane::SingleInstance::preparePrivateFolder(
                        QFileInfo(socketPath).absolutePath(), &error)
                        ? fallback.tryLock()
                        : orvane::InstanceLock::Result::Failed;
        }
        if (taken == orvane::InstanceLock::Result::Failed ||
            taken == orvane::InstanceLock::Result::Unusable) {
            report(QStringLiteral("cannot take the instance lock (%1): %2")
                       .arg(lock.path(), lock.errorString()));
            return 1;
        }
        // Taken, but an instance may still run whose lock file was deleted or replaced (it
        // takes the new one within seconds): if one answers on the socket, it gets the files.
        const bool runningElsewhere =
            taken == orvane::InstanceLock::Result::Acquired && socketExists(socketPath);
        if (taken == orvane::InstanceLock::Result::Acquired && !runningElsewhere)
            return std::nullopt;
        const auto handed =
            instance.handOver(paths, int(std::max<qint64>(deadline.remainingTime(), 1000)));
        if (handed == orvane::SingleInstance::Handover::Accepted)
            return 0;
        if (handed == orvane::SingleInstance::Handover::Refused) {
            report(orvane::loc(QStringLiteral("cli_refused"), lang)
                       .replace(QLatin1String("%@"), instance.errorString()));
            return 1;
        }
        if (runningElsewhere)
            return std::nullopt; // a socket left behind by an instance that ended
        if (deadline.hasExpired()) {
            report(orvane::loc(QStringLiteral("cli_no_answer"), lang)
                       .replace(QLatin1String("%@"), instance.errorString()));
            return 1;
        }
        QThread::msleep(100); // it may be starting: its lock comes before its socket
    }
}

// The player itself, until it quits; returns the event loop's exit code.
int runPlayer(int argc, char* argv[], const QString& settingsFile, orvane::InstanceLock& lock,
              orvane::SingleInstance& instance, const QList<QByteArray>& paths,
              QThreadPool& readers) {
    // The stored playlist is read on a thread of its own while the window is being built.
    orvane::PlaylistRestore restore(orvane::PlaylistStore::pathBeside(settingsFile), settingsFile,
                                    orvane::metadataCachePath());
    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("orvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/orvane.svg")));
    QApplication::setQuitOnLastWindowClosed(false); // the tray keeps it alive
    if (!instance.listen())
        report(
            QStringLiteral("later launches cannot reach this one: %1").arg(instance.errorString()));

    // A logout, `systemctl --user stop` or Ctrl+C quits as the Quit command does, so what is
    // due gets written on the way out.
    orvane::QuitSignals quitSignals;
    QObject::connect(&quitSignals, &orvane::QuitSignals::received, &app, &orvane::OrvaneApp::quit);

    // The lock must stay the file at its path: deleted or replaced, a later launch would take a
    // new one and run beside this one. Looked at every few seconds and at every hand-over.
    QTimer lockCheck;
    QObject::connect(&lockCheck, &QTimer::timeout, [&lock] { lock.keepHeld(); });
    lockCheck.start(kLockCheckMs);
    QObject::connect(&instance, &orvane::SingleInstance::filesOpened, [&lock] { lock.keepHeld(); });
    QObject::connect(&instance, &orvane::SingleInstance::raiseRequested,
                     [&lock] { lock.keepHeld(); });

    int code = 0;
    {
        orvane::OrvaneApp orvane(orvane::openUserSettings(settingsFile), &readers, &restore);
        orvane.acceptLaunches(&instance);
        QList<QUrl> files;
        for (const QByteArray& path : paths)
            files.append(QUrl::fromLocalFile(orvane::decodeFileName(path)));
        orvane.openFiles(files); // they wait until the window has appeared
        orvane.start();
        code = app.exec();
    } // the engine has written what it had to; the stored playlist is safe
    // The pipelines go down on their players' workers; one that waits on a sound server that
    // stopped answering is not waited for past a second.
    const bool pipelinesDown = orvane::PlayerWorker::waitForAll(kTeardownMs);
    // Quit ends the process at once: reads still waiting are dropped, and one in flight (a file
    // being read or a folder being walked on the thread pool) is not waited for, as
    // ~QCoreApplication would.
    readers.clear();
    QThreadPool::globalInstance()->clear();
    if (!pipelinesDown || readers.activeThreadCount() > 0 ||
        QThreadPool::globalInstance()->activeThreadCount() > 0) {
        std::fflush(nullptr);
        std::_Exit(code); // the kernel releases the instance lock
    }
    return code;
}

// Every hand-over connection, file being read, pipeline and bus connection takes descriptors,
// and GLib aborts when a new thread's event loop finds none: the soft limit (often 1,024) is
// raised to what the system allows this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Blocks of 128 KB and more (a start's lists of a hundred thousand rows, the cache file's
    // bytes) are mapped apart and given back whole when freed. By default glibc raises that
    // bar to the size of each such block freed, and the large blocks made after it then land
    // in the heaps, where a start left them scattered: tens of megabytes more stayed resident
    // after a start with 100,000 stored tracks. A fixed bar keeps the first behaviour.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // On X11 the window's pixels go to the server over its socket, not through shared memory.
    // With shared memory Qt's backing store waits, before it paints a frame, for the server's
    // word that it has read the one before: a second wake-up for each of the level bars' 40
    // frames a second, and about a third more of the player's CPU. Qt reads the variable when
    // its X connection opens; one the user set (to any value) is left as it is.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    raiseDescriptorLimit();
    QCoreApplication::setApplicationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));

    const QString lang = QStringLiteral("system");
    const orvane::CommandLine command = orvane::CommandLine::parse(argc, argv, lang);
    if (const std::optional<int> code = answerCommandLine(command))
        return *code;

    const QString settingsFile = orvane::userSettingsPath();
    const QString socketPath = orvane::SingleInstance::defaultSocketPath(settingsFile);
    orvane::SingleInstance instance(socketPath);
    orvane::InstanceLock lock(orvane::InstanceLock::pathFor(settingsFile));
    orvane::InstanceLock fallbackLock(socketPath + QStringLiteral(".lock"));
    orvane::InstanceLock* held = nullptr;
    if (const std::optional<int> code = takeLockOrHandOver(lock, fallbackLock, &held, instance,
                                                           socketPath, command.paths(), lang))
        return *code;

    // Files are read and folders walked here; it outlives the application (below).
    const std::unique_ptr<QThreadPool> readers = orvane::AudioEngine::makeReaderPool();
    return runPlayer(argc, argv, settingsFile, *held, instance, command.paths(), *readers);
}
