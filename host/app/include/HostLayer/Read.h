#pragma once

#include "DDImage/ChannelSet.h"
#include "HostLayer/HostNode.h"
#include "HostLayer/SourceFrame.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace HostLayer {

// A frame sequence "dir/name.####.ext" or "dir/name.%04d.ext" (padding from the
// number of '#' or the printf width), or a movie file whose frames count from 1.
struct SequencePattern {
  std::string text;
  std::string prefix;  // path up to the frame number
  std::string suffix;  // after it
  int padding = 0;
  bool movie = false;
};

// Parses a sequence pattern; false and a reason when it has no frame number
// placeholder (or more than one).
bool parseSequencePattern(const std::string& text, SequencePattern& out, std::string& why);
// The file name of one frame.
std::string frameFileName(const SequencePattern& p, int frame);
// The folder a sequence's frames are in ("." for a bare name), and the
// part of their names before the frame number.
std::string sequenceFolder(const SequencePattern& p);
std::string sequenceStem(const SequencePattern& p);
// Frame numbers present on disk, ascending.
std::vector<int> findFrames(const SequencePattern& p);

// A reader node for a sequence or a movie. Frames before the first and after
// the last are held; a frame missing inside the range, or a file that cannot
// be read, is an error of the reader naming the file. Throws
// std::runtime_error when nothing matches the pattern.
std::unique_ptr<HostNode> createReadNode(const std::string& pattern, const std::string& name = "Read1",
                                         const std::string& colorSpace = "");

} // namespace HostLayer
