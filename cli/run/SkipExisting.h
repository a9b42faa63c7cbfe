#pragma once

#include "HostLayer/Read.h"

#include <vector>

namespace cli {

// The frames whose output file is missing or cannot be read whole: what a
// resumed farm chunk still has to render (--skip-existing). Files that read
// are left untouched.
std::vector<int> framesStillToRender(const std::vector<int>& frames, const HostLayer::SequencePattern& output);

} // namespace cli
