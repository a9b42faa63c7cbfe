#pragma once

namespace cli {

// While alive, SIGINT, SIGTERM and SIGHUP ask the render to stop after the
// frames in progress (the first signal is kept: received()). A second signal
// stops at once: temporary files being written are removed (PendingFiles) and
// the process exits with 128 + that signal's number. The previous handlers
// come back on destruction.
class StopSignals {
public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first stop signal received, or 0.
  static int received();
  // 128 + received(): the conventional exit status of a process stopped by it.
  static int exitStatus() { return 128 + received(); }
};

} // namespace cli
