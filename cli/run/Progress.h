#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace cli {

// What the user sees while frames render: on a terminal one line redrawn in
// place (frame n of N, the node's message and fraction, elapsed time and an
// estimate of what is left); otherwise one plain line per finished frame;
// nothing when quiet. With `lines`, also one line per finished frame on
// stdout for farm managers, quiet or not:
// "tweenova-progress frame=F status=written|failed done=N total=T percent=P elapsed=SECONDS".
class Progress {
public:
  Progress(int total, bool quiet, bool lines = false);
  void startFrame(int frame, int index);
  void message(const std::string& text);
  void fraction(double f);
  // A frame finished (written or failed).
  void finishFrame(int frame, bool ok, double seconds, const std::string& detail);
  // A line of the node's own output: printed above the progress line, or dropped when quiet.
  void log(const std::string& line);
  void clear();

private:
  void redraw();
  double elapsed() const;

  std::mutex mutex_;
  int total_;
  bool quiet_;
  bool terminal_;
  bool lines_;
  int frame_ = 0;
  int index_ = 0;
  int done_ = 0;
  std::string message_;
  double fraction_ = 0.0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_;
  bool drawn_ = false;
};

} // namespace cli
