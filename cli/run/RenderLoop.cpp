// Rendering every output frame and writing it.
#include "cli/output/FileReplacement.h"
#include "cli/output/PendingFiles.h"
#include "cli/process/DecodeWatchdog.h"
#include "cli/process/LineRedirect.h"
#include "cli/process/MemoryBudget.h"
#include "cli/process/StopSignals.h"
#include "cli/process/TorchThreads.h"
#include "cli/run/FrameRun.h"
#include "cli/run/Progress.h"
#include "cli/run/RenderPlan.h"
#include "cli/run/RenderSummary.h"
#include "cli/run/Session.h"

#include "HostLayer/Read.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace cli {

namespace {

// --summary-json: written whole or not at all; a summary that cannot be
// written fails the run, which a farm would otherwise take for complete.
int writeSummary(const std::string& path, const RenderSummary& summary, RenderSummary::Run run)
{
  try {
    const std::string text = summary.json(run);
    replaceFile(path, text.data(), text.size());
    return run.exitStatus;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tweenova-render: error: --summary-json %s : %s\n", path.c_str(), e.what());
    return run.exitStatus == kExitSuccess ? kExitFramesFailed : run.exitStatus;
  }
}

// Whether the movie is in place: a line when it is, an error when it is not.
void reportMovie(const std::string& path, const std::string& failure, bool quiet)
{
  if (failure.empty()) {
    if (!quiet)
      std::fprintf(stderr, "tweenova-render: wrote %s\n", path.c_str());
    return;
  }
  const std::string line = "tweenova-render: error: output " + path + " : " + failure + "; no movie was written\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// A decode stuck inside the image library cannot be interrupted: the render
// ends, with what was written whole and no temporary file left.
[[noreturn]] void endOnDecodeOverrun(const std::string& path, double seconds, const std::atomic<int>& written)
{
  std::fprintf(stderr,
               "\ntweenova-render: error: decoding %s has taken %.0f s, longer than --decode-timeout allows; the "
               "render ends here (%d frames written)\n",
               path.c_str(), seconds, written.load());
  PendingFiles::removeAll();
  _exit(kExitFramesFailed);
}

// The closing line: frames written, skipped and failed, and the rate.
// Frames overlap (side by side, and written behind the render): the rate is
// the elapsed time over the frames done.
void printTotals(const RenderPlan& plan, const Options& options, const FrameRun& run, double total)
{
  const int done = run.written() + run.failed();
  const size_t skipped = plan.asked.size() - plan.frames.size();
  const std::string skippedText =
    options.skipExisting ? ", " + std::to_string(skipped) + " skipped (already written)" : std::string();
  std::fprintf(stderr, "%d frames %s%s, %d failed%s, %.2f s in all, %.3f s per frame, peak memory %.0f MiB\n",
               run.written(), plan.out.movie ? "encoded" : "written", skippedText.c_str(), run.failed(),
               StopSignals::received() != 0 ? ", interrupted" : "", total, done > 0 ? total / done : 0.0,
               peakMemoryMiB());
}

// Reports the run's end and returns its exit status, after writing the summary file if one is asked for.
int finishRender(const RenderPlan& plan, const Options& options, FrameRun& run, const std::string& movieFailure,
                 double total)
{
  if (!options.quiet)
    printTotals(plan, options, run, total);
  if (plan.out.movie)
    reportMovie(options.output, movieFailure, options.quiet);
  const bool interrupted = StopSignals::received() != 0;
  const bool incomplete = run.failed() || !movieFailure.empty();
  const int status = interrupted ? StopSignals::exitStatus() : incomplete ? kExitFramesFailed : kExitSuccess;
  if (options.summaryJson.empty())
    return status;
  std::optional<RenderSummary::Movie> movieOutcome;
  if (plan.out.movie)
    movieOutcome = RenderSummary::Movie{movieFailure};
  RenderSummary::Run summary{options.input, options.output, plan.asked, {}, total, peakMemoryMiB(), interrupted,
                             status, movieOutcome};
  for (int frame : plan.asked)
    summary.files.push_back(HostLayer::frameFileName(plan.out, frame));
  return writeSummary(options.summaryJson, run.summary(), std::move(summary));
}

} // namespace

int Session::render()
{
  // The watchdog covers the decodes of planning too (--skip-existing reads the outputs there).
  std::atomic<int> written{0};
  DecodeWatchdog watchdog(options_.decodeTimeout, [&written](const std::string& path, double seconds) {
    endOnDecodeOverrun(path, seconds, written);
  });
  const RenderPlan plan = planRender(options_, framesToRender(), outputChannels_, outputFormat_);
  setTorchThreads(options_.torchThreads);
  reader_->setCacheLimit(size_t(options_.cacheMemoryMiB) << 20);
  Progress progress(int(plan.frames.size()), options_.quiet, options_.progressLines);
  node_->setProgressHandlers([&](const std::string& m) { progress.message(m); },
                             [&](double f) { progress.fraction(f); }, [] {});
  // The node prints to stdout: its lines join the progress display on stderr.
  LineRedirect nodeOutput(std::cout, [&progress](const std::string& line) { progress.log(line); });
  StopSignals signals;
  FrameRun run(plan, options_, *node_, progress, written);
  const auto start = std::chrono::steady_clock::now();
  const std::string movieFailure = run.renderAll();
  progress.clear();
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return finishRender(plan, options_, run, movieFailure, total);
}

} // namespace cli
