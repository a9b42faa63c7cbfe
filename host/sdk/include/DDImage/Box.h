#pragma once

#include <algorithm>
#include <ostream>

namespace DD {
namespace Image {

// Integer rectangle [x, r) x [y, t); rows run upward, y is the bottom row.
class Box {
public:
  Box() = default;
  Box(int x, int y, int r, int t) : x_(x), y_(y), r_(r), t_(t) {}

  int x() const { return x_; }
  int y() const { return y_; }
  int r() const { return r_; }
  int t() const { return t_; }
  int w() const { return r_ - x_; }
  int h() const { return t_ - y_; }
  bool is_empty() const { return r_ <= x_ || t_ <= y_; }

  void x(int v) { x_ = v; }
  void y(int v) { y_ = v; }
  void r(int v) { r_ = v; }
  void t(int v) { t_ = v; }
  void set(int x, int y, int r, int t) { x_ = x; y_ = y; r_ = r; t_ = t; }
  void set(const Box& b) { *this = b; }

  // Union with another box. An empty box does not contribute.
  void merge(const Box& b)
  {
    if (b.is_empty())
      return;
    if (is_empty()) {
      *this = b;
      return;
    }
    x_ = std::min(x_, b.x_);
    y_ = std::min(y_, b.y_);
    r_ = std::max(r_, b.r_);
    t_ = std::max(t_, b.t_);
  }

  void intersect(const Box& b)
  {
    x_ = std::max(x_, b.x_);
    y_ = std::max(y_, b.y_);
    r_ = std::min(r_, b.r_);
    t_ = std::min(t_, b.t_);
  }

  bool operator==(const Box& o) const { return x_ == o.x_ && y_ == o.y_ && r_ == o.r_ && t_ == o.t_; }
  bool operator!=(const Box& o) const { return !(*this == o); }

private:
  int x_ = 0, y_ = 0, r_ = 0, t_ = 0;
};

inline std::ostream& operator<<(std::ostream& o, const Box& b)
{
  return o << "[" << b.x() << "," << b.y() << "," << b.r() << "," << b.t() << "]";
}

} // namespace Image
} // namespace DD
