#pragma once

#include "cli/Options.h"

#include <string>
#include <vector>

namespace cli {

// Throws UsageError when any of the `frames` the render would write
// (output pattern `output`) is one of the input's files (`input`: a sequence
// pattern, a movie or a single image), however either is spelled: files are
// compared by device and inode, so links and "a/../a" spellings are caught.
void refuseOutputOntoInput(const std::string& input, const std::string& output, const std::vector<int>& frames);

} // namespace cli
