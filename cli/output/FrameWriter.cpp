#include "cli/output/FrameWriter.h"

#include <utility>

namespace cli {

FrameWriter::FrameWriter(const WriteSettings& settings, size_t capacity, Done done)
    : settings_(settings), capacity_(capacity > 0 ? capacity : 1), done_(std::move(done)), thread_([this] { run(); })
{
}

FrameWriter::~FrameWriter() { finish(); }

void FrameWriter::submit(int frame, const std::string& path, DD::Image::ImagePlane plane, Clock::time_point started,
                         FrameContext context)
{
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.size() < capacity_; });
  jobs_.push_back(Job{frame, path, std::move(plane), started, std::move(context)});
  changed_.notify_all();
}

void FrameWriter::finish()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable())
    thread_.join();
}

void FrameWriter::run()
{
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !jobs_.empty() || closing_; });
      if (jobs_.empty())
        return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      changed_.notify_all();
    }
    std::string error;
    try {
      writeImage(job.path, job.plane, settings_, job.context);
    } catch (const std::exception& e) {
      error = e.what();
      if (error.empty())
        error = "cannot write " + job.path;
    } catch (...) {
      error = "cannot write " + job.path + ": unknown failure";
    }
    // The plane's memory goes back before the next frame is taken on.
    job.plane = DD::Image::ImagePlane();
    done_(job.frame, job.path, std::chrono::duration<double>(Clock::now() - job.started).count(), error);
  }
}

} // namespace cli
