#pragma once

#include "cli/options/Options.h"

#include <string>
#include <vector>

namespace cli {

// Throws UsageError when any of the `frames` the render would write
// (output pattern `output`), or the movie `output`, is one of the input's
// files (`input`: a sequence pattern, a movie or a single image), however
// either is spelled: files are compared by device and inode, so links and
// "a/../a" spellings are caught.
// An output pattern that names frames of the input sequence itself (the same
// folder and the same name around the frame number) is refused too, whether
// or not those frames exist yet: the render would add frames to the plate.
void refuseOutputOntoInput(const std::string& input, const std::string& output, const std::vector<int>& frames);

// Throws UsageError when the names of the `frames` of `output` (or of the
// movie `output`), or the temporary names they are written under, are
// longer than the file system takes: the render would fail every frame with
// the same error.
void refuseOverlongOutput(const std::string& output, const std::vector<int>& frames);

// Throws UsageError when the --summary-json file `summary` is anything but a
// regular file or a missing one, one of the input's files, one of the
// `frames` of the output pattern `output`, or the movie `output`.
void refuseSummaryTarget(const std::string& summary, const std::string& input, const std::string& output,
                         const std::vector<int>& frames);

} // namespace cli
