#pragma once

namespace DD {
namespace Image {

// Where in time (and which view) an operator is evaluated.
class OutputContext {
public:
  OutputContext() = default;
  explicit OutputContext(double frame, int view = 1) : frame_(frame), view_(view) {}

  double frame() const { return frame_; }
  void setFrame(double f) { frame_ = f; }
  int view() const { return view_; }
  void view(int v) { view_ = v; }

  bool operator==(const OutputContext& o) const { return frame_ == o.frame_ && view_ == o.view_; }
  bool operator!=(const OutputContext& o) const { return !(*this == o); }

private:
  double frame_ = 1.0;
  int view_ = 1;
};

} // namespace Image
} // namespace DD
