#pragma once

#include "DDImage/Knob.h"

#include <string>

namespace cli {

// Reads `text` as a value of knob `k`: enumerations by item text or index,
// booleans on/off/true/false/1/0, channel sets by name, numbers. Throws
// UsageError naming the knob when the text does not fit.
double parseKnobNumber(const DD::Image::Knob& k, const std::string& text);

} // namespace cli
