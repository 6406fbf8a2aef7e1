#pragma once

// The icons and symbols (data/orvane.qrc) are compiled into the ui library. A static library's
// resources are registered only when something asks: everything that loads ":/icons/..."
// calls this first (from global scope, as Q_INIT_RESOURCE requires). Calling it again is cheap.
void orvaneInitResources();
