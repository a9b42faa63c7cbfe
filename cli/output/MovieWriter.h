#pragma once

#include "cli/output/ImageWriter.h"
#include "cli/output/MovieCodecs.h"
#include "cli/output/MovieEncoder.h"
#include "cli/output/ReorderBuffer.h"

#include "DDImage/ImagePlane.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// Writes rendered frames into one movie, in their order, on a thread of its
// own: frames rendered side by side come in any order and wait in a
// reorder buffer of `capacity` frames (submit() blocks while a frame is that
// far ahead of the next one to encode). ffmpeg starts with the first frame,
// whose header gives the movie's start timecode. The movie is whole or not
// there: a frame that could not be rendered or encoded ends it.
class MovieWriter {
public:
  using Clock = std::chrono::steady_clock;
  // Called on the writer's thread once a frame is encoded (error empty) or
  // could not be (error says why); seconds run from the frame's start.
  using Done = std::function<void(int frame, const std::string& path, double seconds, const std::string& error)>;

  MovieWriter(const MovieSettings& settings, size_t frames, size_t capacity, Done done);
  // Abandons a movie that was not finished.
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Frame `index` of the movie (0: its first). Dropped once the movie failed.
  void submit(size_t index, int frame, DD::Image::ImagePlane plane, Clock::time_point started,
              FrameContext context);
  // Output frame `frame` could not be rendered: the movie cannot be whole.
  void fail(int frame);
  // Whether the movie can still be whole.
  bool intact() const;
  // After every frame was submitted: waits for them to be encoded and puts
  // the movie in place. Returns why the movie was not written, or an empty
  // text; nothing is left under its name, or beside it, when not.
  std::string finish();
  // Ends at once, writing no movie.
  void abandon();

private:
  struct Job {
    int frame;
    DD::Image::ImagePlane plane;
    Clock::time_point started;
    FrameContext context;
  };
  void run();
  // False when the movie was given up while the frame was being written.
  bool encode(const Job& job);
  // Keeps the first reason the movie cannot be whole and stops everything.
  void breakOff(const std::string& why);

  const MovieSettings settings_;
  const size_t frames_;
  const Done done_;
  ReorderBuffer<Job> waiting_;
  mutable std::mutex mutex_;
  std::unique_ptr<MovieEncoder> encoder_;  // set by the writer's thread
  std::string failure_;
  bool encoderStopped_ = false;  // ffmpeg took no more: its own message says why
  size_t encoded_ = 0;
  std::thread thread_;
};

} // namespace cli
