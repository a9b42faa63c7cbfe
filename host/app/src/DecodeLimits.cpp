#include "HostLayer/DecodeLimits.h"
#include "HostLayer/Cgroups.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>

namespace HostLayer {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> limit{0};

struct Running {
  std::string path;
  Clock::time_point started;
};

std::mutex runningMutex;
std::map<uint64_t, Running> running;
uint64_t nextId = 0;

} // namespace

uint64_t defaultMaxImagePixels()
{
  // The machine's memory and the cgroup's limit are read once: every image opened asks.
  static const uint64_t pixels = [] {
    return std::max<uint64_t>(memoryLimitBytes() / (16 * 4 * sizeof(float)), 1 << 20);
  }();
  return pixels;
}

void setMaxImagePixels(uint64_t pixels) { limit = pixels; }

uint64_t maxImagePixels()
{
  const uint64_t set = limit;
  return set > 0 ? set : defaultMaxImagePixels();
}

void checkImageSize(const std::string& path, int64_t width, int64_t height, int64_t channels)
{
  const uint64_t most = maxImagePixels();
  const uint64_t pixels = uint64_t(std::max<int64_t>(width, 0)) * uint64_t(std::max<int64_t>(height, 0));
  const uint64_t samples = pixels * uint64_t(std::max<int64_t>(channels, 1));
  if (pixels <= most && samples <= most * 4)
    return;
  throw std::runtime_error("cannot read " + path + ": the image is " + std::to_string(width) + "x" +
                           std::to_string(height) + " with " + std::to_string(channels) +
                           " channels, more than the limit of " + std::to_string(most) +
                           " pixels (--max-pixels)");
}

DecodeScope::DecodeScope(const std::string& path)
{
  std::lock_guard<std::mutex> lock(runningMutex);
  id_ = nextId++;
  running[id_] = Running{path, Clock::now()};
}

DecodeScope::~DecodeScope()
{
  std::lock_guard<std::mutex> lock(runningMutex);
  running.erase(id_);
}

bool longestDecode(std::string& path, double& seconds)
{
  std::lock_guard<std::mutex> lock(runningMutex);
  if (running.empty())
    return false;
  auto oldest = std::min_element(running.begin(), running.end(), [](const auto& a, const auto& b) {
    return a.second.started < b.second.started;
  });
  path = oldest->second.path;
  seconds = std::chrono::duration<double>(Clock::now() - oldest->second.started).count();
  return true;
}

} // namespace HostLayer
