#pragma once

#include "DDImage/Op.h"

#include <memory>
#include <optional>
#include <string>

namespace HostLayer {

// The file a reader upstream reads for an operator's image, followed through
// input 0 as metadata flows (a retime's input 0 is its frame0).
struct ExrLayout;

struct SourceFrame {
  std::string path;
  int frame = 0;      // the reader's frame
  int subimage = 0;   // the movie's frame index, or 0
  bool movie = false;
  std::shared_ptr<const ExrLayout> exr;  // an EXR file's parts and names, as its header was read
};

// Operators that read files tell which one they read for their frame.
class SourceFrameReader {
public:
  virtual ~SourceFrameReader() = default;
  // Nothing before the operator knows its file.
  virtual std::optional<SourceFrame> sourceFrame() const = 0;
};

// Nothing when no reader lies upstream along input 0.
std::optional<SourceFrame> sourceFrameOf(const DD::Image::Op* op);

} // namespace HostLayer
