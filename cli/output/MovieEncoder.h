#pragma once

#include "cli/output/FileReplacement.h"
#include "cli/output/MovieCodecs.h"

#include "HostLayer/ChildProcess.h"

#include <cstddef>
#include <string>

namespace cli {

// ffmpeg encoding raw frames into a movie that appears under its name only
// once it is whole: ffmpeg writes a temporary file beside it (through file
// descriptor 3, never by a name another process could swap), which finish()
// renames into place.
class MovieEncoder {
public:
  // Starts ffmpeg. Throws std::runtime_error naming the movie.
  MovieEncoder(const MovieSettings& settings, const std::string& timecode);
  // An unfinished movie is abandoned: ffmpeg is ended and its file removed.
  ~MovieEncoder();
  MovieEncoder(const MovieEncoder&) = delete;
  MovieEncoder& operator=(const MovieEncoder&) = delete;

  // One frame, in rawPixelFormat(settings); false when ffmpeg takes no more
  // (it failed, or stop() was called).
  bool write(const void* data, size_t size);
  // Ends the input, waits for ffmpeg and renames the movie into place.
  // Throws std::runtime_error with ffmpeg's message when it failed.
  void finish();
  // Why ffmpeg took no more: waits for it to end and returns its status and
  // message. The movie is not kept.
  std::string failure();
  // Makes a write blocked on ffmpeg return false. Safe from another thread
  // than the one writing.
  void stop();

private:
  std::string what_;
  TemporaryFile file_;
  HostLayer::FedChild ffmpeg_;
};

} // namespace cli
