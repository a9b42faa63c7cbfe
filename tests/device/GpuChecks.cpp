#include "device/GpuChecks.h"

#include "device/ForwardTiming.h"
#include "device/GpuWorkloadChecks.h"
#include "device/RetimeNode.h"
#include "device/Timing.h"
#include "node/Tweenova.h"

#include <optional>
#include <stdexcept>

namespace devicecheck {

namespace {

const Precision kPrecisions[] = {Precision::Float32, Precision::Float16, Precision::BFloat16};

constexpr int kUhdWidth = 3840, kUhdHeight = 2160, kUhdMaxSize = 1024;
constexpr int kHdWidth = 1920, kHdHeight = 1080;
constexpr int kNodeWarmup = 2, kNodeRuns = 5;
constexpr int kForwardWarmup = 3, kForwardRuns = 10;

// The speed asked of fp16 at 1080p on an H100, per in-between frame.
constexpr double kForwardTargetMs = 20.0, kNodeTargetMs = 40.0;

std::string targetText(Precision p, double ms, double target)
{
  if (p != Precision::Float16)
    return "";
  return ", target <= " + duration(target) + (ms <= target ? ": met" : ": missed");
}

// Lowest PSNR against the CPU render each precision must reach.
double targetDecibels(Precision p) { return p == Precision::Float32 ? 45.0 : 35.0; }

std::string compareRow(const FrameSet& set, Precision p)
{
  return "GPU " + std::string(precisionName(p)) + " vs CPU render: " + set.name;
}
const std::string kDeviceRow = "GPU: device the network sits on";
const std::string kUhdRow = "GPU tiled 4K render (" + std::to_string(kUhdWidth) + "x" + std::to_string(kUhdHeight) +
                            ", max_size " + std::to_string(kUhdMaxSize) + ")";
std::string forwardRow(Precision p) { return "1080p network forward per frame, " + std::string(precisionName(p)); }
std::string nodeRow(Precision p) { return "1080p node per output frame, " + std::string(precisionName(p)); }

// The device of the network's first parameter (or buffer); empty when it has neither.
std::string networkDevice(const torch::jit::Module& network)
{
  std::optional<torch::Device> device;
  for (const torch::Tensor& p : network.parameters()) {
    device = p.device();
    break;
  }
  for (const torch::Tensor& b : network.buffers()) {
    if (device)
      break;
    device = b.device();
  }
  return device ? device->str() : std::string();
}

void checkDevice(const FrameSet& set, SummaryTable& table)
{
  runCheck(table, kDeviceRow, [&] {
    RetimeNode node(set.name + "-gpu-device", shared(set.first), shared(set.second));
    node.apply(RenderSettings{true});
    std::string device;
    node.withOpenOperator([&](Tweenova& op) { device = networkDevice(op.model); });
    if (device.empty())
      table.add(kDeviceRow, "the network has no parameters or buffers", Verdict::Info);
    else
      table.judge(kDeviceRow, device, device.rfind("cuda", 0) == 0);
  });
}

void compareWithCpu(const FrameSet& set, const std::optional<Image>& cpu, SummaryTable& table)
{
  RetimeNode node(set.name + "-gpu", shared(set.first), shared(set.second));
  for (Precision p : kPrecisions) {
    const std::string name = compareRow(set, p);
    runCheck(table, name, [&] {
      if (!cpu)
        throw std::runtime_error("no CPU render to compare with");
      node.apply(RenderSettings{true, p});
      node.withOpenOperator([](Tweenova&) {});  // the network loads before the timed render
      Image out;
      const double ms = millisecondsOf([&] { out = node.render(); });
      const double db = psnr(*cpu, out);
      table.judge(name, decibels(db) + " (target >= " + decibels(targetDecibels(p)) + "), " + duration(ms),
                  db >= targetDecibels(p));
    });
  }
}

void tiledUhd(const FrameSet& set, SummaryTable& table)
{
  runCheck(table, kUhdRow, [&] {
    RetimeNode node("uhd-gpu", shared(resized(set.first, kUhdWidth, kUhdHeight)),
                    shared(resized(set.second, kUhdWidth, kUhdHeight)));
    node.apply(RenderSettings{true, Precision::Float32, kUhdMaxSize});
    node.withOpenOperator([](Tweenova&) {});
    Image out;
    const double ms = millisecondsOf([&] { out = node.render(); });
    const int passes = node.announcedPasses(), panel = node.panelPatchCount();
    table.judge(kUhdRow,
                std::to_string(passes) + " patches (panel " + std::to_string(panel) + "), " + duration(ms) +
                  ", from " + set.name,
                passes == panel && passes > 1 && allFinite(out));
  });
}

void timeHd(const FrameSet& set, SummaryTable& table)
{
  const std::shared_ptr<const Image> first = shared(resized(set.first, kHdWidth, kHdHeight));
  const std::shared_ptr<const Image> second = shared(resized(set.second, kHdWidth, kHdHeight));
  RetimeNode node("hd-gpu", first, second);
  for (Precision p : kPrecisions) {
    runCheck(table, nodeRow(p), [&] {
      node.apply(RenderSettings{true, p});
      std::vector<double> times;
      for (int i = 0; i < kNodeWarmup + kNodeRuns; ++i) {
        const double ms = millisecondsOf([&] { node.render(); });
        if (i >= kNodeWarmup)
          times.push_back(ms);
      }
      table.add(nodeRow(p),
                duration(median(times)) + " (median of " + std::to_string(kNodeRuns) + ")" +
                  targetText(p, median(times), kNodeTargetMs),
                Verdict::Info);
    });
    runCheck(table, forwardRow(p), [&] {
      double ms = 0.0;
      node.withOpenOperator(
        [&](Tweenova& op) { ms = medianForwardMs(op, *first, *second, p, kForwardWarmup, kForwardRuns); });
      table.add(forwardRow(p),
                duration(ms) + " (median of " + std::to_string(kForwardRuns) + ")" +
                  targetText(p, ms, kForwardTargetMs),
                Verdict::Info);
    });
  }
}

} // namespace

void runGpuChecks(const std::vector<FrameSet>& sets, const CpuRenders& cpu, SummaryTable& table)
{
  checkDevice(sets.front(), table);
  for (size_t i = 0; i < sets.size(); ++i)
    compareWithCpu(sets[i], cpu[i], table);
  checkHeldPixels(largestSet(sets), table);
  tiledUhd(largestSet(sets), table);
  timeHd(largestSet(sets), table);
  checkSideBySide(largestSet(sets), table);
}

void skipGpuChecks(const std::vector<FrameSet>& sets, const std::string& why, SummaryTable& table)
{
  table.skip(kDeviceRow, why);
  for (const FrameSet& set : sets)
    for (Precision p : kPrecisions)
      table.skip(compareRow(set, p), why);
  table.skip(kUhdRow, why);
  for (Precision p : kPrecisions) {
    table.skip(nodeRow(p), why);
    table.skip(forwardRow(p), why);
  }
  skipWorkloadChecks(why, table);
}

} // namespace devicecheck
