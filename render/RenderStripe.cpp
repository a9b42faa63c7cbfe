// One render call: from the host's plane request to the written output plane.
#include "render/RenderStripe.h"

#include "DDImage/Application.h"
#include "inference/InferenceContext.h"
#include "inference/InferencePass.h"
#include "inference/Tiling.h"
#include "node/Tweenova.h"
#include "render/ErrorReporting.h"
#include "render/PlaneConversion.h"
#include "render/SceneCut.h"
#include "runtime/DeviceRule.h"
#include "runtime/Logging.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace DD::Image;

namespace {

using Clock = std::chrono::system_clock;

const std::string kRule48(48, '=');
const std::string kRule76(76, '=');

// What a render that interpolates works on, decided at its start.
struct Stripe {
  Iop* source0 = nullptr;
  Iop* source1 = nullptr;
  Box box;                                // the union of both source frames' boxes
  int W = 0, H = 0;
  int64_t area = 0;
  ChannelSet requested;                   // the plane's channels
  std::vector<Channel> selectedChannels;  // those interpolated, in the set's order
  FrameInfo frameInfo;

  int nSel() const { return int(selectedChannels.size()); }
  int nModel() const { return std::min(nSel(), 3); }  // channels of the first group
};

// The first min(nSel, 4) selected channels of both source frames over the
// box, as [n, H, W] float32 tensors: the network's inputs are views of them.
struct SourceBuffers {
  torch::Tensor b0, b1;
};

// The network's results: the first three selected channels ([1, 3, H, W]),
// and the fourth (as three copies of itself) when there is one.
struct Interpolation {
  torch::Tensor R;
  std::optional<torch::Tensor> R4;
};

// Copies source frame 0 (`first`) or 1 of the stripe as the output, unprocessed, and says why when the node debugs.
void holdSourceFrame(ImagePlane& plane, const Stripe& s, bool first, const char* why, const RenderSettings& settings)
{
  copyPlane(plane, first ? s.source0 : s.source1, s.box);
  if (settings.debug)
    std::cout << settings.nodeName << ": renderStripe for layer '" << s.requested << "' (" << why
              << ": source frame " << (first ? s.frameInfo.frame0 : s.frameInfo.frame1)
              << " returned unprocessed, timestep " << double(s.frameInfo.timestep) << ")." << std::endl;
}

// Source frames of two formats (a frame rendered at another resolution)
// do not show the same picture at the same pixels: an in-between frame would
// blend the larger one with the black around the smaller one.
void requireOneFormat(const Iop& source0, const Iop& source1, const FrameInfo& frameInfo)
{
  const Format& f0 = source0.format();
  const Format& f1 = source1.format();
  if (f0.width == f1.width && f0.height == f1.height)
    return;
  throw std::runtime_error("source frames " + std::to_string(frameInfo.frame0) + " and " +
                           std::to_string(frameInfo.frame1) + " differ in format (" + std::to_string(f0.width) + "x" +
                           std::to_string(f0.height) + " and " + std::to_string(f1.width) + "x" +
                           std::to_string(f1.height) + "): an in-between frame needs source frames of one size");
}

// The sources, their union box and the plane's channels; nothing, leaving the
// plane alone, when the input does not validate, the box is empty or the
// plane is not the packed plane over the box that the node declares.
std::optional<Stripe> stripeOf(Tweenova& node, const ImagePlane& plane)
{
  Stripe s;
  s.source0 = node.input(0);
  if (!s.source0 || !s.source0->tryValidate(true)) {
    spdlog::debug("Input validation failed.");
    return std::nullopt;
  }
  s.source1 = node.input(1);
  s.box = s.source0->info().box();
  if (s.source1)
    s.box.merge(s.source1->info().box());
  if (s.box.is_empty()) {
    spdlog::debug("Union box [{},{},{},{}] is empty, nothing to render.", s.box.x(), s.box.y(), s.box.r(),
                  s.box.t());
    return std::nullopt;
  }
  s.W = s.box.w();
  s.H = s.box.h();
  s.area = int64_t(s.W) * int64_t(s.H);
  s.requested = plane.channels();
  // Any other plane is refused rather than written out of bounds.
  if (const std::string why = packedPlaneMismatch(plane, s.box, int(s.requested.size())); !why.empty()) {
    std::cerr << node.node_name() << ": Error in renderStripe: " << why << std::endl;
    node.error("%s", why.c_str());
    return std::nullopt;
  }
  return s;
}

// Decides what the call does: returns the stripe to interpolate, or nothing
// when there is nothing to render or a source frame was copied to the plane
// (no wanted channel is interpolated, or the timestep is within the
// threshold of a source frame).
std::optional<Stripe> decide(Tweenova& node, ImagePlane& plane, const RenderSettings& settings)
{
  std::optional<Stripe> s = stripeOf(node, plane);
  if (!s)
    return std::nullopt;
  ChannelSet selected = s->requested;
  selected &= node.input_channels;
  if (selected.empty()) {
    copyPlane(plane, s->source0, s->box);
    if (settings.debug)
      std::cout << settings.nodeName << ": renderStripe for layer '" << s->requested
                << "' (copy straight through, not in channels)." << std::endl;
    return std::nullopt;
  }

  s->frameInfo = node.calculateFrameInfo(float(node.outputContext().frame()));
  const float t = s->frameInfo.timestep;
  if (t <= settings.threshold || t >= 1.0f - settings.threshold) {
    holdSourceFrame(plane, *s, t <= settings.threshold, "threshold fast-path", settings);
    return std::nullopt;
  }
  for (Channel z : selected)
    s->selectedChannels.push_back(z);
  return s;
}

// The device of this render, named on the terminal when there is no GUI (batch and terminal renders).
DeviceChoice chooseRenderDevice(const Tweenova& node, const ChannelSet& requested)
{
  const DeviceChoice device = chooseDevice(node.deviceRequest(), DeviceRuleCaller::Render);
  if (!Application::IsGUIActive()) {
    std::cout << node.node_name() << ": Running inference for layer '" << requested;
    if (device.useCuda)
      std::cout << "' on GPU (" << device.name << ")";
    else
      std::cout << "' on CPU";
    std::cout << std::endl;
  }
  return device;
}

// Both source frames over the box, zero where a frame does not reach.
SourceBuffers fetchSources(const Stripe& s)
{
  const int nFetch = std::min(s.nSel(), 4);
  ChannelSet fetchChannels;
  for (int i = 0; i < nFetch; ++i)
    fetchChannels += s.selectedChannels[size_t(i)];
  SourceBuffers b{fetchPlanes(s.source0, s.box, fetchChannels, nFetch),
                  fetchPlanes(s.source1, s.box, fetchChannels, nFetch)};
  spdlog::debug("Fetched {} channel(s) from both source frames into union box [{},{},{},{}]", nFetch, s.box.x(),
                s.box.y(), s.box.r(), s.box.t());
  return b;
}

// Two shots, or a flash: an in-between frame would be a ghost of both, so
// the nearer source frame is held. True when it was.
bool holdAtSceneCut(Tweenova& node, ImagePlane& plane, const Stripe& s, const SourceBuffers& b,
                    const RenderSettings& settings)
{
  const double unmatched =
    unmatchedBlockShare(b.b0.data_ptr<float>(), b.b1.data_ptr<float>(), s.W, s.H, std::min(s.nSel(), 4));
  if (settings.debug)
    std::cout << settings.nodeName << ": scene check: " << unmatched * 100.0
              << "% of the blocks unmatched (a cut above " << kSceneCutShare * 100.0 << "%)" << std::endl;
  if (unmatched <= kSceneCutShare)
    return false;
  holdSourceFrame(plane, s, s.frameInfo.timestep <= 0.5f, "scene cut", settings);
  node.progressFraction(1.0);
  node.progressDismiss();
  return true;
}

// The host's progress display and abort flag, for the inference engine.
RenderProgress hostProgress(Op& node)
{
  return {[&node](const std::string& text) { node.progressMessage("%s", text.c_str()); },
          [&node](double fraction) { node.progressFraction(fraction); }, [&node] { return node.aborted(); }};
}

// One channel group through the network: planes a, b, c of both buffers.
torch::Tensor inferGroup(InferenceContext& ctx, const Stripe& s, const SourceBuffers& b, const int (&planes)[3])
{
  const int channels = ctx.settings.modelChannels;
  const torch::Tensor t1 = makeModelInput(channels, b.b1, planes[0], planes[1], planes[2]);
  const torch::Tensor t0 = makeModelInput(channels, b.b0, planes[0], planes[1], planes[2]);
  return tiledInference(ctx, t0, t1);
}

// The channel groups: the first three selected channels (one or two of them
// repeated to make three), then the fourth alone, as three copies of itself.
Interpolation inferChannelGroups(InferenceContext& ctx, const Stripe& s, const SourceBuffers& b)
{
  static const int kPlanes[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 1, 2}};
  static const int kFourth[3] = {3, 3, 3};
  Interpolation r;
  r.R = inferGroup(ctx, s, b, kPlanes[s.nModel() - 1]);
  if (s.nSel() >= 4)
    r.R4 = inferGroup(ctx, s, b, kFourth);
  spdlog::debug("Interpolation pass(es) complete | Shape: {}", shapeString(r.R));
  return r;
}

// Writes the network's planes over the first source frame's into the plane.
void merge(const Stripe& s, ImagePlane& plane, const Interpolation& r)
{
  const torch::Tensor R = r.R.squeeze(0).contiguous();
  spdlog::debug("Interpolation result without batch dimension | Shape: {}", shapeString(R));
  mergeOutput(plane, s.source0, s.box, s.requested, s.selectedChannels, s.nModel(), R, r.R4);
  spdlog::debug("outputPlane written (packed) | {} x {}, {} channels", plane.bounds().w(), plane.bounds().h(),
                int(s.requested.size()));
}

// The end of a render that interpolated: progress, the closing log line and, when debugging, the time it took.
void reportCompletion(Tweenova& node, bool debug, Clock::time_point start)
{
  node.progressMessage("%s", "Processing complete");
  node.progressFraction(1.0);
  node.progressDismiss();
  spdlog::debug("");
  spdlog::debug("========== Tweenova::renderStripe completed successfully ==========");
  if (debug) {
    const long long ms = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000000;
    std::cout << "\n===================================\nTotal time renderStripe: " << ms << "ms" << std::endl;
  }
}

// The interpolation path: fetch both source frames, run the network on each
// channel group, merge the result into the plane.
void interpolate(Tweenova& node, ImagePlane& plane, Stripe& s, const RenderSettings& settings,
                 const DeviceChoice& device, Clock::time_point start)
{
  if (s.source1)
    requireOneFormat(*s.source0, *s.source1, s.frameInfo);
  const SourceBuffers sources = fetchSources(s);
  s.frameInfo = node.calculateFrameInfo(float(node.outputContext().frame()));
  if (holdAtSceneCut(node, plane, s, sources, settings))
    return;
  spdlog::debug(kRule48);
  spdlog::debug("Tweenova::renderStripe outputContext.frame: {}", node.outputContext().frame());
  spdlog::debug("Tweenova::renderStripe timestep: {}", s.frameInfo.timestep);
  spdlog::debug(kRule48);

  const RenderProgress progress = hostProgress(node);
  InferenceContext ctx{progressTotalFor(s.W, s.H, settings.maxSize, settings.overlap, s.nSel()),
                       0,
                       settings,
                       node.model,
                       progress,
                       device.device,
                       device.useCuda,
                       s.frameInfo.requestedFramePosition,
                       s.frameInfo.timestep,
                       frameWarpDownscale(node.model, settings.warpDownscale, s.W, s.H),
                       device.bf16Capable};
  merge(s, plane, inferChannelGroups(ctx, s, sources));
  reportCompletion(node, settings.debug, start);
}

} // namespace

RenderSettings renderSettings(const Tweenova& node)
{
  RenderSettings s;
  s.maxSize = node.max_size;
  s.overlap = node.overlap;
  s.padding = node.padding;
  s.steps = node.steps;
  s.flowMagnitude = node.flow_magnitude;
  s.threshold = node.threshold;
  s.warpDownscale = node.downscale == 1 ? 0.5f : node.downscale == 2 ? 0.25f : 1.0f;
  s.colorspaceConvert = node.colorspace_convert;
  s.mixedPrecision = node.mixed_precision;
  s.useBfloat16 = node.use_bfloat16;
  s.nanErrorThreshold = node.nan_error_threshold;
  s.modelChannels = node.modelChannels;
  s.debug = node.debug;
  s.nodeName = node.node_name();
  return s;
}

int progressTotalFor(int W, int H, int maxSize, int overlap, int nSel)
{
  const TilePlan plan = planTiles(W, H, maxSize, overlap, 0);  // the padding changes no count
  int64_t passes = plan.singleCall ? 1 : int64_t(plan.countX) * int64_t(plan.countY);
  if (nSel >= 4)
    passes *= 2;
  return int(std::clamp<int64_t>(passes, 1, INT_MAX));
}

void Tweenova::renderStripe(ImagePlane& outputPlane)
{
  spdlog::debug("");
  spdlog::debug("========== Tweenova::renderStripe started ==========");
  tweenova::applyLogLevel(debug);
  const Clock::time_point start = Clock::now();

  if (aborted() || cancelled()) {
    spdlog::debug("========== renderStripe aborted or cancelled. Exiting... ===================");
    spdlog::debug(kRule76);
    return;
  }

  // Nothing below may throw into the host: failures before the interpolation
  // guard (plane fetches of the copy paths, device queries) are reported here.
  runRenderGuarded(*this, true, [&] {
    const RenderSettings settings = renderSettings(*this);
    std::optional<Stripe> stripe = decide(*this, outputPlane, settings);
    if (!stripe)
      return;
    const DeviceChoice device = chooseRenderDevice(*this, stripe->requested);
    progressMessage("%s", "Starting processing...");
    progressFraction(0.0);
    runRenderGuarded(*this, false, [&] { interpolate(*this, outputPlane, *stripe, settings, device, start); });
  });
}
