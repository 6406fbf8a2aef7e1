#pragma once

// The wording lives below the engine, in src/core; this header keeps the app's and views'
// includes as they were.
#include "core/localization.h"
