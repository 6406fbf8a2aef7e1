#include "support/playerctl.h"

#include <QProcess>
#include <QTest>

namespace orvane::test {

QString playerctl(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("playerctl"), QStringList{"-p", "orvane"} + args);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 15000))
        qFatal("playerctl hung");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace orvane::test
