#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// Watches the host layer's decodes while alive. A decode that runs longer
// than `limitSeconds` cannot be interrupted inside the image library, so
// `overrun(path, seconds)` is called once, on the watchdog's thread, to end
// the render. A limit of 0 or less watches nothing.
class DecodeWatchdog {
public:
  using Overrun = std::function<void(const std::string& path, double seconds)>;
  DecodeWatchdog(double limitSeconds, Overrun overrun);
  ~DecodeWatchdog();
  DecodeWatchdog(const DecodeWatchdog&) = delete;
  DecodeWatchdog& operator=(const DecodeWatchdog&) = delete;

private:
  void run();

  const double limit_;
  const Overrun overrun_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace cli
