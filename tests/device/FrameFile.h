#pragma once

#include "device/Image.h"

#include <optional>
#include <string>
#include <vector>

namespace devicecheck {

// Two frames of a clip and, when known, the true frame halfway between them.
struct FrameSet {
  std::string name;
  Image first;
  Image second;
  std::optional<Image> middle;
};

// Reads a frame file (write_frame_files.py describes the format); the set is
// named after the file. Throws std::runtime_error("cannot read PATH: why").
FrameSet readFrameSet(const std::string& path);

// Every "*.frames" file of a folder, by name. Throws std::runtime_error when
// the folder cannot be listed or holds none.
std::vector<FrameSet> readFrameSets(const std::string& folder);

// The set of the most pixels and the set of the fewest (the first of equals).
// The list must not be empty.
const FrameSet& largestSet(const std::vector<FrameSet>& sets);
const FrameSet& smallestSet(const std::vector<FrameSet>& sets);

} // namespace devicecheck
