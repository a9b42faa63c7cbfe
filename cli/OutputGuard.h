#pragma once

#include "cli/Options.h"

#include <string>

namespace cli {

// Throws UsageError when any frame the render would write in `range`
// (output pattern `output`) is one of the input's files (`input`: a sequence
// pattern, a movie or a single image), however either is spelled: files are
// compared by device and inode, so links and "a/../a" spellings are caught.
void refuseOutputOntoInput(const std::string& input, const std::string& output, const FrameRange& range);

} // namespace cli
