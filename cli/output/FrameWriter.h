#pragma once

#include "cli/output/ImageWriter.h"

#include "DDImage/ImagePlane.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// Writes rendered frames on a thread of its own, so that the next frame
// renders while the last one is compressed and written. At most `capacity`
// frames wait; submit() blocks while that many do, which bounds the memory
// held by planes on their way to disk.
class FrameWriter {
public:
  using Clock = std::chrono::steady_clock;
  // Called on the writer's thread once a frame is written (error empty) or
  // could not be (error says why); seconds run from the frame's start.
  using Done = std::function<void(int frame, const std::string& path, double seconds, const std::string& error)>;

  FrameWriter(const WriteSettings& settings, size_t capacity, Done done);
  // Writes what is still waiting.
  ~FrameWriter();

  // `context`: what the file carries besides the pixels (see writeImage).
  void submit(int frame, const std::string& path, DD::Image::ImagePlane plane, Clock::time_point started,
              FrameContext context = {});
  // Writes what is waiting and stops the thread; submit() must not follow.
  void finish();

private:
  struct Job {
    int frame;
    std::string path;
    DD::Image::ImagePlane plane;
    Clock::time_point started;
    FrameContext context;
  };
  void run();

  const WriteSettings settings_;
  const size_t capacity_;
  const Done done_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool closing_ = false;
  std::thread thread_;
};

} // namespace cli
