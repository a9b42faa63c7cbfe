#pragma once

#include "cli/options/Options.h"
#include "cli/output/FrameOutputs.h"
#include "cli/run/Progress.h"
#include "cli/run/RenderPlan.h"
#include "cli/run/RenderSummary.h"

#include "HostLayer/HostNode.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace cli {

// The frames of one render: rendered whole by worker threads, each through
// its own operator of the node as the host's render threads do, and handed
// to the outputs; each frame is written completely or not at all.
class FrameRun {
public:
  // Frames written are counted in `written`, which other threads may read.
  FrameRun(const RenderPlan& plan, const Options& options, HostLayer::HostNode& node, Progress& progress,
           std::atomic<int>& written);

  // Renders every planned frame and finishes the outputs; returns why the
  // movie was not written (empty when it was, or for a sequence).
  std::string renderAll();

  int written() const { return written_; }
  int failed() const { return failed_; }
  RenderSummary& summary() { return summary_; }

private:
  void finished(int frame, const std::string& path, double seconds, const std::string& error);
  bool stopping() const;
  // Renders frames until `most` are done, none are left or the run stops.
  void work(size_t most);
  void renderOne(size_t index);
  // Frames side by side, once the first frame rendered alone from `before` resident bytes.
  int framesSideBySide(int threads, uint64_t before);

  const RenderPlan& plan_;
  const Options& options_;
  HostLayer::HostNode& node_;
  Progress& progress_;
  RenderSummary summary_;
  std::mutex summaryMutex_;
  std::atomic<int>& written_;
  std::atomic<int> failed_{0};
  std::atomic<size_t> next_{0};
  int threads_;
  std::optional<FrameOutputs> outputs_;
};

} // namespace cli
