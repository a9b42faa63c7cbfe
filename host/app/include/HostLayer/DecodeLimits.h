#pragma once

#include <cstdint>
#include <string>

namespace HostLayer {

// --- Size ----------------------------------------------------------------
// Images are refused before their pixels are allocated when they hold more
// than this many pixels (or more samples than that many RGBA pixels). 0
// restores the default, which follows the memory the process may use.
void setMaxImagePixels(uint64_t pixels);
uint64_t maxImagePixels();
// The default: a frame's float samples (four channels) must fit 16 times
// into the smaller of the machine's memory and the cgroup's limit.
uint64_t defaultMaxImagePixels();
// Throws std::runtime_error naming the file and its size when it is over the limit.
void checkImageSize(const std::string& path, int64_t width, int64_t height, int64_t channels);

// --- Time ----------------------------------------------------------------
// Marks a decode in progress for as long as it lives, so that a watchdog
// can find one that runs too long.
class DecodeScope {
public:
  explicit DecodeScope(const std::string& path);
  ~DecodeScope();
  DecodeScope(const DecodeScope&) = delete;
  DecodeScope& operator=(const DecodeScope&) = delete;

private:
  uint64_t id_;
};

// The decode that has run longest so far: its file and seconds. False when none runs.
bool longestDecode(std::string& path, double& seconds);

} // namespace HostLayer
