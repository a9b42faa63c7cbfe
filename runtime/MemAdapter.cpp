#include "runtime/MemAdapter.h"

#include <cstring>

size_t MemAdapter::size() const { return static_cast<size_t>(size_); }

size_t MemAdapter::read(uint64_t pos, void* buf, size_t n, const char* /*what*/) const
{
  if (pos >= size_)
    return 0;
  const uint64_t remaining = size_ - pos;
  const size_t count = n < remaining ? n : static_cast<size_t>(remaining);
  std::memcpy(buf, data_ + pos, count);
  return count;
}

MemAdapter::~MemAdapter() = default;
