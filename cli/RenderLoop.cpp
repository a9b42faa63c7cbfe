// Rendering every output frame and writing it.
#include "cli/CpuBudget.h"
#include "cli/DecodeWatchdog.h"
#include "cli/FileReplacement.h"
#include "cli/FrameOutputs.h"
#include "cli/ImageWriter.h"
#include "cli/LineRedirect.h"
#include "cli/MemoryBudget.h"
#include "cli/MoviePlan.h"
#include "cli/OutputGuard.h"
#include "cli/OutputMetadata.h"
#include "cli/PendingFiles.h"
#include "cli/Progress.h"
#include "cli/RenderSummary.h"
#include "cli/Session.h"
#include "cli/SkipExisting.h"
#include "cli/StopSignals.h"
#include "cli/TorchThreads.h"

#include "DDImage/ChannelSet.h"
#include "HostLayer/ColorSpaces.h"
#include "HostLayer/ExrFile.h"
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"

#include <OpenImageIO/strutil.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

using namespace DD::Image;

namespace cli {

namespace {

double peakMemoryMiB()
{
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;
}

// The folder a file will be written to exists and is writable; `what` names the file in the error.
void checkFolderOf(const std::string& path, const std::string& what)
{
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw UsageError{what, "the folder " + dir + " does not exist"};
  if (access(dir.c_str(), W_OK) != 0)
    throw UsageError{what, "the folder " + dir + " is not writable"};
}

// The output, checked before anything renders: a sequence pattern with a
// frame number and a file type we write, or a movie's name without one, and
// folders that exist and are writable.
HostLayer::SequencePattern checkedOutput(const Options& options)
{
  HostLayer::SequencePattern out;
  std::string why;
  const bool pattern = HostLayer::parseSequencePattern(options.output, out, why);
  if (isMovieOutput(options.output)) {
    if (pattern)
      throw UsageError{"output " + options.output, "a movie is one file: its name takes no frame number"};
    out = HostLayer::SequencePattern{};
    out.text = options.output;
    out.movie = true;
  } else if (!pattern) {
    throw UsageError{"output " + options.output, why};
  } else if (!supportedOutputExtension(options.output)) {
    throw UsageError{"output " + options.output,
                     "unsupported file type (exr, png, tif, jpg, dpx; movies: mov, mp4, mkv)"};
  }
  checkFolderOf(options.output, "output " + options.output);
  if (!options.summaryJson.empty())
    checkFolderOf(options.summaryJson, "--summary-json " + options.summaryJson);
  return out;
}

WriteSettings writeSettings(const Options& options)
{
  WriteSettings settings;
  settings.exrType = options.floatOutput  ? ExrChannelType::Float
                     : options.halfOutput ? ExrChannelType::Half
                                          : ExrChannelType::AsSource;
  settings.compression = options.compression;
  if (!options.outputColorSpace.empty()) {
    try {
      settings.colorSpace = HostLayer::checkedColorSpace(options.outputColorSpace);
    } catch (const std::exception& e) {
      throw UsageError{"--output-colorspace " + options.outputColorSpace, e.what()};
    }
  }
  return settings;
}

// The frames asked for that --skip-existing leaves out (both lists ascending).
void recordSkipped(RenderSummary& summary, const std::vector<int>& asked, const std::vector<int>& frames,
                   const HostLayer::SequencePattern& out)
{
  for (size_t i = 0, j = 0; i < asked.size(); ++i) {
    if (j < frames.size() && frames[j] == asked[i])
      ++j;
    else
      summary.skipped(asked[i], HostLayer::frameFileName(out, asked[i]));
  }
}

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

// The channels the render writes: those asked for that the node puts out.
ChannelSet writtenChannels(const ChannelSet& available, const ChannelSet& asked)
{
  ChannelSet written = asked;
  written &= available;
  return written;
}

// A channel set that selects none of what the node puts out would fail
// every frame with "nothing to render": refused once, naming what there is.
void refuseChannelsMissingFrom(const ChannelSet& available, const ChannelSet& asked, const std::string& text)
{
  if (!writtenChannels(available, asked).empty())
    return;
  std::string names;
  foreach (z, available)
    names += (names.empty() ? "" : ", ") + std::string(getName(z));
  throw UsageError{"--channels " + text, "selects none of the input's channels (" + names + ")"};
}

// Frames side by side, at most `threads`, once the first frame rendered
// alone from `before` resident bytes; a line says when memory allows fewer.
int framesSideBySide(int threads, uint64_t before, uint64_t cache, Progress& progress)
{
  const uint64_t usable = usableMemoryBytes();
  const double peak = peakMemoryMiB();
  const int fit = framesThatFit(threads, usable, before, uint64_t(peak * 1048576.0), cache);
  if (fit < threads)
    progress.log("tweenova-render: " + std::to_string(fit) + " frames side by side instead of " +
                 std::to_string(threads) + ": one frame took about " +
                 std::to_string(int(peak - double(before) / 1048576.0)) + " MiB and the process may use " +
                 std::to_string(usable >> 20) + " MiB");
  return fit;
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

} // namespace

int Session::render()
{
  std::atomic<int> written{0}, failed{0};
  DecodeWatchdog watchdog(options_.decodeTimeout, [&written](const std::string& path, double seconds) {
    endOnDecodeOverrun(path, seconds, written);
  });
  const HostLayer::SequencePattern out = checkedOutput(options_);
  const WriteSettings settings = writeSettings(options_);
  const std::vector<int> asked = framesToRender();
  // Every frame asked for: a frame --skip-existing would leave out may be the input itself.
  refuseOutputOntoInput(options_.input, options_.output, asked);
  refuseOverlongOutput(options_.output, asked);
  if (!options_.summaryJson.empty())
    refuseSummaryTarget(options_.summaryJson, options_.input, options_.output, asked);
  const std::optional<SourceClock> movie = movieClock(options_.input);
  const std::vector<int> frames = options_.skipExisting ? framesStillToRender(asked, out) : asked;
  const size_t skipped = asked.size() - frames.size();
  RenderSummary summary;
  recordSkipped(summary, asked, frames, out);
  // Parsed once the input's layers are known (its first frame was read to validate).
  ChannelSet channels;
  if (!parseChannelSet(options_.channels, channels))
    throw UsageError{"--channels " + options_.channels, "not a channel set (rgb, rgba, alpha, all, layer names)"};
  refuseChannelsMissingFrom(outputChannels_, channels, options_.channels);
  std::optional<MovieSettings> movieOut;
  if (out.movie)
    movieOut = planMovie(options_, outputFormat_, writtenChannels(outputChannels_, channels));
  const long long count = (long long)frames.size();

  setTorchThreads(options_.torchThreads);
  reader_->setCacheLimit(size_t(options_.cacheMemoryMiB) << 20);
  Progress progress(int(count), options_.quiet, options_.progressLines);
  node_->setProgressHandlers([&](const std::string& m) { progress.message(m); },
                             [&](double f) { progress.fraction(f); }, [] {});
  // The node prints to stdout: its lines join the progress display on stderr.
  LineRedirect nodeOutput(std::cout, [&progress](const std::string& line) { progress.log(line); });
  StopSignals signals;
  auto interrupted = [] { return StopSignals::received() != 0; };

  std::mutex resultsMutex;
  auto finished = [&](int frame, const std::string& path, double seconds, const std::string& error) {
    progress.finishFrame(frame, error.empty(), seconds, path);
    std::lock_guard<std::mutex> lock(resultsMutex);
    if (error.empty()) {
      ++written;
      summary.written(frame, path, seconds);
    } else {
      ++failed;
      summary.failed(frame, path, seconds, error);
      progress.clear();
      // One write, so that what libraries print from other threads cannot split the line.
      const std::string line = "tweenova-render: error: frame " + std::to_string(frame) + " : " + error + "\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
  };

  // Whole frames side by side, one libtorch thread each, measured fastest on
  // small machines; --threads and --torch-threads choose otherwise.
  const int wanted = options_.threads > 0 ? options_.threads : usableCores();
  const int threads = int(std::min<long long>(wanted, count));
  // Files are compressed and written, or a movie encoded, behind the
  // rendering, one frame per render thread waiting at most.
  FrameOutputs outputs(movieOut, settings, frames.size(), size_t(threads), finished);
  auto stopping = [&] { return interrupted() || !outputs.wanted(); };
  std::atomic<size_t> next{0};
  const auto start = std::chrono::steady_clock::now();

  // Each worker renders whole frames through its own operator of the node, as
  // the host's render threads do; a frame is either written completely or not at all.
  auto worker = [&](size_t most) {
    // libtorch's thread count is kept per thread by its OpenMP runtime: set it in every worker.
    setTorchThreads(options_.torchThreads);
    for (size_t done = 0; done < most; ++done) {
      if (stopping())
        return;
      const size_t index = next++;
      if (index >= frames.size())
        return;
      const int frame = frames[index];
      const auto t0 = std::chrono::steady_clock::now();
      progress.startFrame(frame, int(index + 1));
      HostLayer::RenderResult result = HostLayer::renderFrame(*node_, frame, channels);
      const std::string path = HostLayer::frameFileName(out, frame);
      FrameContext context;
      try {
        if (result.ok)
          context = frameContext(frame, result, movie);
      } catch (const std::exception& e) {
        result.ok = false;
        result.error = e.what();
      }
      if (result.ok) {
        outputs.submit(index, frame, path, std::move(result.plane), t0, std::move(context));
        continue;
      }
      finished(frame, path, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
               result.error);
      outputs.failed(frame);
    }
  };
  if (threads <= 1) {
    worker(frames.size());
  } else {
    // The first frame alone shows what a frame takes; as many go side by
    // side as the memory the process may use holds, whatever was asked.
    const uint64_t before = residentBytes();
    worker(1);
    while (written + failed < 1 && !stopping())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int fit = framesSideBySide(threads, before, uint64_t(options_.cacheMemoryMiB) << 20, progress);
    std::vector<std::thread> pool;
    for (int i = 0; i < fit; ++i)
      pool.emplace_back(worker, frames.size());
    for (std::thread& t : pool)
      t.join();
  }
  const std::string movieFailure = outputs.finish(interrupted());
  progress.clear();

  // Frames overlap (side by side, and written behind the render): the rate
  // is the elapsed time over the frames done.
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int done = written + failed;
  if (!options_.quiet) {
    const std::string skippedText =
      options_.skipExisting ? ", " + std::to_string(skipped) + " skipped (already written)" : std::string();
    std::fprintf(stderr, "%d frames %s%s, %d failed%s, %.2f s in all, %.3f s per frame, peak memory %.0f MiB\n",
                 written.load(), out.movie ? "encoded" : "written", skippedText.c_str(), failed.load(),
                 interrupted() ? ", interrupted" : "", total, done > 0 ? total / done : 0.0, peakMemoryMiB());
  }
  if (out.movie)
    reportMovie(options_.output, movieFailure, options_.quiet);
  const bool incomplete = failed || !movieFailure.empty();
  const int status = interrupted() ? StopSignals::exitStatus() : incomplete ? kExitFramesFailed : kExitSuccess;
  if (options_.summaryJson.empty())
    return status;
  std::optional<RenderSummary::Movie> movieOutcome;
  if (out.movie)
    movieOutcome = RenderSummary::Movie{movieFailure};
  RenderSummary::Run run{options_.input, options_.output, asked, {}, total, peakMemoryMiB(), interrupted(), status,
                         movieOutcome};
  for (int frame : asked)
    run.files.push_back(HostLayer::frameFileName(out, frame));
  return writeSummary(options_.summaryJson, summary, std::move(run));
}

} // namespace cli
