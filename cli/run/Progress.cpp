#include "cli/run/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace cli {

namespace {

std::string clock(double seconds)
{
  if (seconds < 0)
    seconds = 0;
  const long s = long(seconds + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  return buf;
}

} // namespace

Progress::Progress(int total, bool quiet, bool lines)
  : total_(total), quiet_(quiet), terminal_(isatty(fileno(stderr)) != 0), lines_(lines)
{}

double Progress::elapsed() const
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::startFrame(int frame, int index)
{
  std::lock_guard<std::mutex> lock(mutex_);
  frame_ = frame;
  index_ = index;
  message_.clear();
  fraction_ = 0.0;
  redraw();
}

void Progress::message(const std::string& text)
{
  std::lock_guard<std::mutex> lock(mutex_);
  message_ = text;
  redraw();
}

void Progress::fraction(double f)
{
  std::lock_guard<std::mutex> lock(mutex_);
  fraction_ = f;
  redraw();
}

void Progress::redraw()
{
  if (quiet_ || !terminal_)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
    return;
  lastDraw_ = now;
  drawn_ = true;
  const double t = elapsed();
  const double progress = done_ + fraction_;
  std::string eta = progress > 0 ? clock(t / progress * (total_ - progress)) : "--:--:--";
  std::fprintf(stderr, "\r\033[K frame %d (%d of %d)  %s %3.0f%%  elapsed %s  left %s", frame_, index_, total_,
               message_.c_str(), fraction_ * 100.0, clock(t).c_str(), eta.c_str());
  std::fflush(stderr);
}

void Progress::finishFrame(int frame, bool ok, double seconds, const std::string& detail)
{
  std::lock_guard<std::mutex> lock(mutex_);
  ++done_;
  fraction_ = 0.0;
  if (lines_) {
    std::fprintf(stdout, "tweenova-progress frame=%d status=%s done=%d total=%d percent=%.1f elapsed=%.2f\n", frame,
                 ok ? "written" : "failed", done_, total_, total_ > 0 ? 100.0 * done_ / total_ : 100.0, elapsed());
    std::fflush(stdout);
  }
  if (quiet_)
    return;
  if (terminal_) {
    drawn_ = false;
    redraw();
    return;
  }
  if (ok)
    std::fprintf(stderr, "frame %d (%d of %d) written %s in %.2f s\n", frame, done_, total_, detail.c_str(), seconds);
  std::fflush(stderr);
}

void Progress::log(const std::string& line)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (quiet_)
    return;
  std::fprintf(stderr, "%s%s\n", terminal_ && drawn_ ? "\r\033[K" : "", line.c_str());
  drawn_ = false;
  redraw();
}

void Progress::clear()
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (!quiet_ && terminal_ && drawn_)
    std::fprintf(stderr, "\r\033[K");
}

} // namespace cli
