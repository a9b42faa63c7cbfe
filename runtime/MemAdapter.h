#pragma once

#include <caffe2/serialize/read_adapter_interface.h>

#include <cstddef>
#include <cstdint>

// Lets the TorchScript loader read an archive straight from memory. The
// adapter only reads the bytes: it never copies, changes or frees them, and
// they must outlive it.
class MemAdapter final : public caffe2::serialize::ReadAdapterInterface {
public:
  MemAdapter(const unsigned char* data, uint64_t size) : data_(data), size_(size) {}

  size_t size() const override;
  // Copies up to n bytes from position pos into buf; returns how many were
  // copied (0 at or past the end). The record label is not used.
  size_t read(uint64_t pos, void* buf, size_t n, const char* what = "") const override;
  ~MemAdapter() override;

private:
  const unsigned char* data_;
  uint64_t size_;
};
