#pragma once

#include <ATen/autocast_mode.h>

// Autocast of one device type (CUDA, CPU) for the calling thread while the
// object lives: on with `type` as its reduced type, or off. What the thread
// had before, switch and type, comes back on every exit, exceptions included.
class Autocast {
public:
  Autocast(at::DeviceType device, bool enabled, at::ScalarType type)
    : device_(device), wasEnabled_(at::autocast::is_autocast_enabled(device)),
      wasType_(at::autocast::get_autocast_dtype(device))
  {
    at::autocast::set_autocast_enabled(device_, enabled);
    if (enabled)
      at::autocast::set_autocast_dtype(device_, type);
  }
  ~Autocast()
  {
    at::autocast::set_autocast_enabled(device_, wasEnabled_);
    at::autocast::set_autocast_dtype(device_, wasType_);
  }
  Autocast(const Autocast&) = delete;
  Autocast& operator=(const Autocast&) = delete;

private:
  at::DeviceType device_;
  bool wasEnabled_;
  at::ScalarType wasType_;
};
