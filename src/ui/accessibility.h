#pragma once

namespace orvane {

// Tells Qt's accessibility what the hand-painted widgets are, so that a screen reader finds
// them: the bars are sliders with a value, the mode buttons are tabs in a tab list, the level
// bars are decoration it leaves out. Safe to call any number of times; the widgets call it
// when they are created.
void installAccessibleWidgets();

} // namespace orvane
