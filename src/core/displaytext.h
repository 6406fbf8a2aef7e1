#pragma once

#include <QString>

namespace orvane {

// Text from outside (a file's tags, what a station says is on the air) made safe to show and
// publish: control and invisible formatting characters removed (bidi overrides included), a
// terminal escape sequence removed whole ("\x1b[31m", not just its ESC), line breaks and runs
// of white space folded into one space, no space at either end, and at most
// kMaxDisplayTextLength characters, never half of one. Invalid UTF-8 has already become U+FFFD
// when the bytes were decoded.
inline constexpr int kMaxDisplayTextLength = 512;
QString cleanDisplayText(const QString& raw);

} // namespace orvane
