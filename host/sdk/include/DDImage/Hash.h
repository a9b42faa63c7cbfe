#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace DD {
namespace Image {

// 64-bit FNV-1a accumulator: operators append everything their output depends on.
class Hash {
public:
  void reset() { value_ = kOffset; }
  void append(const void* data, size_t n)
  {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
      value_ ^= p[i];
      value_ *= kPrime;
    }
  }
  void append(int v) { append(&v, sizeof v); }
  void append(unsigned v) { append(&v, sizeof v); }
  void append(int64_t v) { append(&v, sizeof v); }
  void append(uint64_t v) { append(&v, sizeof v); }
  void append(float v) { append(&v, sizeof v); }
  void append(double v) { append(&v, sizeof v); }
  void append(bool v) { unsigned char c = v ? 1 : 0; append(&c, 1); }
  void append(const char* s) { if (s) append(s, std::strlen(s)); }
  void append(const std::string& s) { append(s.data(), s.size()); }
  void append(const Hash& h) { append(h.value_); }

  uint64_t value() const { return value_; }
  bool operator==(const Hash& o) const { return value_ == o.value_; }
  bool operator!=(const Hash& o) const { return value_ != o.value_; }

private:
  static constexpr uint64_t kOffset = 1469598103934665603ull;
  static constexpr uint64_t kPrime = 1099511628211ull;
  uint64_t value_ = kOffset;
};

} // namespace Image
} // namespace DD
