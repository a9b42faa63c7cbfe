#pragma once

#include "cli/output/FrameWriter.h"
#include "cli/output/MovieCodecs.h"
#include "cli/output/MovieWriter.h"

#include <optional>
#include <string>

namespace cli {

// Where a render's frames go: a file each, written behind the render in
// any order, or one movie, which takes them in their order and is whole or
// not there at all.
class FrameOutputs {
public:
  using Clock = FrameWriter::Clock;

  // A movie of `frames` frames when `movie` is given, else files written as
  // `settings` say; at most `capacity` rendered frames wait to be written.
  FrameOutputs(const std::optional<MovieSettings>& movie, const WriteSettings& settings, size_t frames,
               size_t capacity, FrameWriter::Done done);

  // Frame `frame`, the `index`th of the render, rendered.
  void submit(size_t index, int frame, const std::string& path, DD::Image::ImagePlane plane, Clock::time_point started,
              FrameContext context);
  // Frame `frame` could not be rendered (it was reported): a movie cannot be whole.
  void failed(int frame);
  // Whether rendering more frames is of any use: not once a movie cannot be whole.
  bool wanted() const;
  // Writes what waits. A movie is put in place unless the render was
  // `interrupted`; returns why it was not, or an empty text.
  std::string finish(bool interrupted);

private:
  std::optional<FrameWriter> files_;
  std::optional<MovieWriter> movie_;
};

} // namespace cli
