// Rendering the frames of one run on worker threads and handing them to the outputs.
#include "cli/run/FrameRun.h"

#include "cli/process/CpuBudget.h"
#include "cli/process/MemoryBudget.h"
#include "cli/process/StopSignals.h"
#include "cli/process/TorchThreads.h"

#include "HostLayer/ExrFile.h"
#include "HostLayer/Render.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Where an output frame's file takes its windows and its metadata from: the
// EXR its source frame (frame0) was read from (its layout, as the reader
// read it), or the movie's frame rate and start timecode (`movie`, its first
// frame's, moved on to the output frame).
FrameContext frameContext(int frame, const HostLayer::RenderResult& result, const std::optional<SourceClock>& movie)
{
  FrameContext context;
  context.format = result.format;
  const std::optional<HostLayer::SourceFrame>& source = result.source;
  if (source && source->exr) {
    context.exr = source->exr;
    const HostLayer::ExrClock clock = HostLayer::exrClock(*source->exr);
    context.clock.framesPerSecond = clock.framesPerSecond;
    if (clock.timecode)
      context.clock.timecode = clock.timecode->first;
    context.framesAfterSource = (long long)frame - source->frame;
  } else if (source && source->movie && movie) {
    context.clock = *movie;
    context.framesAfterSource = (long long)frame - 1;
  }
  return context;
}

// The frames asked for that --skip-existing leaves out (both lists ascending).
void recordSkipped(RenderSummary& summary, const RenderPlan& plan)
{
  for (size_t i = 0, j = 0; i < plan.asked.size(); ++i) {
    if (j < plan.frames.size() && plan.frames[j] == plan.asked[i])
      ++j;
    else
      summary.skipped(plan.asked[i], HostLayer::frameFileName(plan.out, plan.asked[i]));
  }
}

} // namespace

FrameRun::FrameRun(const RenderPlan& plan, const Options& options, HostLayer::HostNode& node, Progress& progress,
                   std::atomic<int>& written)
  : plan_(plan), options_(options), node_(node), progress_(progress), written_(written)
{
  recordSkipped(summary_, plan);
  // Whole frames side by side, one libtorch thread each, measured fastest on
  // small machines; --threads and --torch-threads choose otherwise.
  const int wanted = options.threads > 0 ? options.threads : usableCores();
  threads_ = int(std::min<long long>(wanted, (long long)plan.frames.size()));
  // Files are compressed and written, or a movie encoded, behind the
  // rendering, one frame per render thread waiting at most.
  outputs_.emplace(plan.movieOut, plan.settings, plan.frames.size(), size_t(threads_),
                   [this](int frame, const std::string& path, double seconds, const std::string& error) {
                     finished(frame, path, seconds, error);
                   });
}

void FrameRun::finished(int frame, const std::string& path, double seconds, const std::string& error)
{
  progress_.finishFrame(frame, error.empty(), seconds, path);
  std::lock_guard<std::mutex> lock(summaryMutex_);
  if (error.empty()) {
    ++written_;
    summary_.written(frame, path, seconds);
    return;
  }
  ++failed_;
  summary_.failed(frame, path, seconds, error);
  progress_.clear();
  // One write, so that what libraries print from other threads cannot split the line.
  const std::string line = "tweenova-render: error: frame " + std::to_string(frame) + " : " + error + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

bool FrameRun::stopping() const
{
  return StopSignals::received() != 0 || !outputs_->wanted();
}

void FrameRun::renderOne(size_t index)
{
  const int frame = plan_.frames[index];
  const auto t0 = Clock::now();
  progress_.startFrame(frame, int(index + 1));
  HostLayer::RenderResult result = HostLayer::renderFrame(node_, frame, plan_.channels);
  const std::string path = HostLayer::frameFileName(plan_.out, frame);
  FrameContext context;
  try {
    if (result.ok)
      context = frameContext(frame, result, plan_.movie);
  } catch (const std::exception& e) {
    result.ok = false;
    result.error = e.what();
  }
  if (result.ok) {
    outputs_->submit(index, frame, path, std::move(result.plane), t0, std::move(context));
    return;
  }
  finished(frame, path, secondsSince(t0), result.error);
  outputs_->failed(frame);
}

void FrameRun::work(size_t most)
{
  // libtorch's thread count is kept per thread by its OpenMP runtime: set it in every worker.
  setTorchThreads(options_.torchThreads);
  for (size_t done = 0; done < most && !stopping(); ++done) {
    const size_t index = next_++;
    if (index >= plan_.frames.size())
      return;
    renderOne(index);
  }
}

// A line says when memory allows fewer frames side by side than asked.
int FrameRun::framesSideBySide(int threads, uint64_t before)
{
  const uint64_t usable = usableMemoryBytes();
  const double peak = peakMemoryMiB();
  const uint64_t cache = uint64_t(options_.cacheMemoryMiB) << 20;
  const int fit = framesThatFit(threads, usable, before, uint64_t(peak * 1048576.0), cache);
  if (fit < threads)
    progress_.log("tweenova-render: " + std::to_string(fit) + " frames side by side instead of " +
                  std::to_string(threads) + ": one frame took about " +
                  std::to_string(int(peak - double(before) / 1048576.0)) + " MiB and the process may use " +
                  std::to_string(usable >> 20) + " MiB");
  return fit;
}

std::string FrameRun::renderAll()
{
  if (threads_ <= 1) {
    work(plan_.frames.size());
  } else {
    // The first frame alone shows what a frame takes; as many go side by
    // side as the memory the process may use holds, whatever was asked.
    // Its file is written behind them, as theirs are. It has the threads
    // each of them has: a frame's values do not depend on how a render
    // shares the frames out.
    const uint64_t before = residentBytes();
    work(1);
    const int fit = framesSideBySide(threads_, before);
    std::vector<std::thread> pool;
    for (int i = 0; i < fit; ++i)
      pool.emplace_back([this] { work(plan_.frames.size()); });
    for (std::thread& t : pool)
      t.join();
  }
  return outputs_->finish(StopSignals::received() != 0);
}

} // namespace cli
