#pragma once

#include <mutex>

// Network passes on one CUDA device take turns: frames rendered side by side
// queue for the device rather than each holding its inputs, activations and
// results in its memory at once. Passes on different devices, and on the
// CPU, do not wait for each other.
class DeviceTurn {
public:
  // Waits until no other pass holds a turn on CUDA device `index`.
  explicit DeviceTurn(int index);
  ~DeviceTurn() = default;
  DeviceTurn(const DeviceTurn&) = delete;
  DeviceTurn& operator=(const DeviceTurn&) = delete;

private:
  std::unique_lock<std::mutex> lock_;
};
