#pragma once

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"

#include <cstddef>
#include <memory>
#include <shared_mutex>

namespace DD {
namespace Image {

// Float storage shared between copies of a plane.
class RefCountedFloatBuffer {
public:
  RefCountedFloatBuffer() = default;
  // Values start undefined, as in the host application: whoever fills a
  // plane writes every value of it.
  void allocate(size_t count);
  bool isAllocated() const { return data_ != nullptr; }
  size_t size() const { return size_; }
  operator float*() { return data_.get(); }
  operator const float*() const { return data_.get(); }

private:
  std::shared_ptr<float[]> data_;
  size_t size_ = 0;
};

// Image data of a box and a channel set. Packed planes interleave the
// channels of each pixel; unpacked planes hold one block per channel. Rows
// run upward from the box's bottom row in both layouts.
class ImagePlane {
public:
  ImagePlane() = default;
  ImagePlane(const Box& box, bool packed, const ChannelSet& channels, int nComps);
  ImagePlane(const Box& box, bool packed, const ChannelSet& channels);

  const Box& bounds() const { return box_; }
  bool packed() const { return packed_; }
  const ChannelSet& channels() const { return channels_; }
  int nComps() const { return nComps_; }
  // Index of a channel within the plane, or -1.
  int chanNo(Channel c) const;

  // Strides in floats.
  ptrdiff_t colStride() const { return packed_ ? nComps_ : 1; }
  ptrdiff_t rowStride() const { return packed_ ? ptrdiff_t(box_.w()) * nComps_ : box_.w(); }
  ptrdiff_t chanStride() const { return packed_ ? 1 : ptrdiff_t(box_.w()) * box_.h(); }
  // Number of floats the plane holds when allocated.
  size_t bufferSize() const { return size_t(std::max(0, box_.w())) * size_t(std::max(0, box_.h())) * size_t(nComps_); }

  RefCountedFloatBuffer& memory() { return buffer_; }
  const RefCountedFloatBuffer& memory() const { return buffer_; }
  // Serialises allocation of the buffer between writers.
  std::shared_mutex& writeLock() const { return *lock_; }
  // Allocates the buffer when it has none, under the write lock.
  void makeWritable();
  float* writable() { return static_cast<float*>(buffer_); }
  const float* readable() const { return static_cast<const float*>(buffer_); }

  // Value at (x, y) of channel z; 0 outside the box, for channels not held, or before allocation.
  float at(int x, int y, Channel z) const;

private:
  Box box_;
  bool packed_ = true;
  ChannelSet channels_;
  int nComps_ = 0;
  RefCountedFloatBuffer buffer_;
  std::shared_ptr<std::shared_mutex> lock_ = std::make_shared<std::shared_mutex>();
};

} // namespace Image
} // namespace DD
