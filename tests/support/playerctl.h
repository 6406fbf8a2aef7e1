#pragma once

#include <QString>
#include <QStringList>

namespace orvane::test {

// Runs `playerctl -p orvane <args>` and returns its trimmed output. The event loop keeps
// turning meanwhile, since the player may be this very process answering on D-Bus.
QString playerctl(const QStringList& args);

} // namespace orvane::test
