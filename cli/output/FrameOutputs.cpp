#include "cli/output/FrameOutputs.h"

#include <utility>

namespace cli {

FrameOutputs::FrameOutputs(const std::optional<MovieSettings>& movie, const WriteSettings& settings, size_t frames,
                           size_t capacity, FrameWriter::Done done)
{
  if (movie)
    movie_.emplace(*movie, frames, capacity, std::move(done));
  else
    files_.emplace(settings, capacity, std::move(done));
}

void FrameOutputs::submit(size_t index, int frame, const std::string& path, DD::Image::ImagePlane plane,
                          Clock::time_point started, FrameContext context)
{
  if (movie_)
    movie_->submit(index, frame, std::move(plane), started, std::move(context));
  else
    files_->submit(frame, path, std::move(plane), started, std::move(context));
}

void FrameOutputs::failed(int frame)
{
  if (movie_)
    movie_->fail(frame);
}

bool FrameOutputs::wanted() const { return !movie_ || movie_->intact(); }

std::string FrameOutputs::finish(bool interrupted)
{
  if (files_) {
    files_->finish();
    return {};
  }
  if (!interrupted || !movie_->intact())
    return movie_->finish();
  movie_->abandon();
  return "the render was interrupted";
}

} // namespace cli
