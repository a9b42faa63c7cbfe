#include "cli/process/DecodeWatchdog.h"

#include "HostLayer/DecodeLimits.h"

#include <algorithm>
#include <chrono>

namespace cli {

DecodeWatchdog::DecodeWatchdog(double limitSeconds, Overrun overrun)
    : limit_(limitSeconds), overrun_(std::move(overrun))
{
  if (limit_ > 0)
    thread_ = std::thread([this] { run(); });
}

DecodeWatchdog::~DecodeWatchdog()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void DecodeWatchdog::run()
{
  const auto period = std::chrono::duration<double>(std::clamp(limit_ / 10.0, 0.01, 1.0));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_.wait_for(lock, period, [this] { return stopping_; })) {
    std::string path;
    double seconds = 0;
    if (HostLayer::longestDecode(path, seconds) && seconds > limit_) {
      overrun_(path, seconds);
      return;
    }
  }
}

} // namespace cli
