#pragma once

// The file dialog's filter, from the layer's "Name (*.x)|*.x||" form (pairs of
// a description and its patterns, separated and ended by '|') to Qt's name
// filters ("Name (*.x)", one per pair).

#include <string>
#include <vector>

namespace ui::qt {

// "Hex files (*.hex)|*.hex||" -> {"Hex files (*.hex)"};
// "Text|*.txt;*.log||"        -> {"Text (*.txt *.log)"}.
// A description without patterns gets "*"; an empty filter gives no entry.
std::vector<std::string> toQtNameFilters(const std::string& filter);

}  // namespace ui::qt
