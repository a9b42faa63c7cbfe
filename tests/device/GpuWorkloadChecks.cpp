#include "device/GpuWorkloadChecks.h"

#include "HostLayer/HostNode.h"
#include "HostLayer/Render.h"
#include "device/RetimeNode.h"
#include "device/Timing.h"

#include <c10/core/CachingDeviceAllocator.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace devicecheck {

namespace {

constexpr int kHdWidth = 1920, kHdHeight = 1080;
constexpr int kFrames = 24, kThreads = 16;
constexpr double kFramesPerSecondTarget = 15.0;
constexpr double kHeldTolerance = 2e-3;  // largest change of a held pixel, linear values
constexpr double kMemoryGrowthLimit = 1.5;  // peak with 16 threads over the peak with one

const std::string kHeldFrameRow = "GPU mixed precision: a held frame renders as in fp32";
const std::string kHeldHalfRow = "GPU mixed precision: held half of a moving frame vs fp32";
const std::string kSideBySideRow =
  "GPU node, " + std::to_string(kFrames) + " frames at 1080p fp16 on " + std::to_string(kThreads) + " threads";

// Largest absolute difference over the columns from `x0` on; infinite where either is not finite.
double largestDifference(const Image& a, const Image& b, int x0)
{
  double worst = 0.0;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < a.height; ++y)
      for (int x = x0; x < a.width; ++x) {
        const double d = std::fabs(double(a.at(c, x, y)) - double(b.at(c, x, y)));
        worst = std::isfinite(d) ? std::max(worst, d) : INFINITY;
      }
  return worst;
}

std::string number(double v)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", v);
  return text;
}

Image renderIn(RetimeNode& node, Precision p)
{
  node.apply(RenderSettings{true, p});
  return node.render();
}

// Renders `frames` output frames on `threads` threads side by side; returns the seconds it took.
double renderSideBySide(HostLayer::HostNode& node, int frames, int threads)
{
  std::atomic<int> next{1};
  std::atomic<int> failures{0};
  std::string firstError;
  std::mutex errorMutex;
  const double ms = millisecondsOf([&] {
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
      pool.emplace_back([&] {
        for (int f; (f = next++) <= frames;) {
          const HostLayer::RenderResult r = HostLayer::renderFrame(node, double(f), DD::Image::Mask_RGB);
          if (!r.ok && failures++ == 0) {
            std::lock_guard<std::mutex> lock(errorMutex);
            firstError = r.error;
          }
        }
      });
    for (std::thread& t : pool)
      t.join();
  });
  if (failures)
    throw std::runtime_error(std::to_string(failures.load()) + " frames failed: " + firstError);
  return ms / 1000.0;
}

double peakGpuMiB()
{
  const auto stats = c10::getDeviceAllocator(c10::DeviceType::CUDA)->getDeviceStats(0);
  return double(stats.reserved_bytes[0].peak) / (1024.0 * 1024.0);
}

void resetGpuPeak()
{
  c10::DeviceAllocator* allocator = c10::getDeviceAllocator(c10::DeviceType::CUDA);
  allocator->emptyCache();
  allocator->resetPeakStats(0);
}

} // namespace

void checkHeldPixels(const FrameSet& set, SummaryTable& table)
{
  runCheck(table, kHeldFrameRow, [&] {
    RetimeNode node("held-frame", shared(set.first), shared(set.first));
    const Image full = renderIn(node, Precision::Float32);
    const double d16 = largestDifference(full, renderIn(node, Precision::Float16), 0);
    const double dbf = largestDifference(full, renderIn(node, Precision::BFloat16), 0);
    table.judge(kHeldFrameRow, "largest change fp16 " + number(d16) + ", bf16 " + number(dbf) + " (target 0)",
                d16 == 0.0 && dbf == 0.0);
  });
  runCheck(table, kHeldHalfRow, [&] {
    // The second frame with its right half taken from the first: that half holds still.
    Image second = set.second;
    const int half = set.first.width / 2;
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < second.height; ++y)
        for (int x = half; x < second.width; ++x)
          second.at(c, x, y) = set.first.at(c, x, y);
    RetimeNode node("held-half", shared(set.first), shared(second));
    const Image full = renderIn(node, Precision::Float32);
    const int from = std::min(set.first.width - 1, half + 64);  // away from the moving half
    const double d16 = largestDifference(full, renderIn(node, Precision::Float16), from);
    const double dbf = largestDifference(full, renderIn(node, Precision::BFloat16), from);
    table.judge(kHeldHalfRow,
                "largest change fp16 " + number(d16) + ", bf16 " + number(dbf) + " (target <= " +
                  number(kHeldTolerance) + ", " + set.name + ")",
                d16 <= kHeldTolerance && dbf <= kHeldTolerance);
  });
}

void checkSideBySide(const FrameSet& set, SummaryTable& table)
{
  runCheck(table, kSideBySideRow, [&] {
    RetimeNode node("side-by-side", shared(resized(set.first, kHdWidth, kHdHeight)),
                    shared(resized(set.second, kHdWidth, kHdHeight)));
    node.apply(RenderSettings{true, Precision::Float16});
    renderSideBySide(node.node(), 2, 1);  // loads the network, warms the kernels
    resetGpuPeak();
    renderSideBySide(node.node(), 4, 1);
    const double oneThreadMiB = peakGpuMiB();
    resetGpuPeak();
    const double seconds = renderSideBySide(node.node(), kFrames, kThreads);
    const double manyThreadsMiB = peakGpuMiB();
    const double fps = kFrames / seconds;
    const bool oneNetwork = manyThreadsMiB <= kMemoryGrowthLimit * oneThreadMiB;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%.1f frames/s (target >= %.0f: %s), peak GPU memory %.0f MiB (one thread: %.0f MiB)", fps,
                  kFramesPerSecondTarget, fps >= kFramesPerSecondTarget ? "met" : "missed", manyThreadsMiB,
                  oneThreadMiB);
    table.judge(kSideBySideRow, text, oneNetwork);
  });
}

void skipWorkloadChecks(const std::string& why, SummaryTable& table)
{
  table.skip(kHeldFrameRow, why);
  table.skip(kHeldHalfRow, why);
  table.skip(kSideBySideRow, why);
}

} // namespace devicecheck
