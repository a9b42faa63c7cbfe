#pragma once

#include <ATen/autocast_mode.h>

// CUDA autocast for the calling thread while the object lives: on with
// `type` as its reduced type, or off. What the thread had before, switch and
// type, comes back on every exit, exceptions included.
class CudaAutocast {
public:
  CudaAutocast(bool enabled, at::ScalarType type)
    : wasEnabled_(at::autocast::is_autocast_enabled(at::kCUDA)), wasType_(at::autocast::get_autocast_dtype(at::kCUDA))
  {
    at::autocast::set_autocast_enabled(at::kCUDA, enabled);
    if (enabled)
      at::autocast::set_autocast_dtype(at::kCUDA, type);
  }
  ~CudaAutocast()
  {
    at::autocast::set_autocast_enabled(at::kCUDA, wasEnabled_);
    at::autocast::set_autocast_dtype(at::kCUDA, wasType_);
  }
  CudaAutocast(const CudaAutocast&) = delete;
  CudaAutocast& operator=(const CudaAutocast&) = delete;

private:
  bool wasEnabled_;
  at::ScalarType wasType_;
};
