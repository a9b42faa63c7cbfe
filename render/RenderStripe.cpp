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
#include <cmath>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace DD::Image;

namespace {

const std::string kRule48(48, '=');
const std::string kRule76(76, '=');

// Copies a source frame as the output, unprocessed, and says why when the node debugs.
void holdSourceFrame(Tweenova& node, ImagePlane& plane, Iop* source, const Box& box, const ChannelSet& requested,
                     const char* why, int frame, float timestep)
{
  copyPlane(plane, source, box);
  if (node.debug)
    std::cout << node.node_name() << ": renderStripe for layer '" << requested << "' (" << why << ": source frame "
              << frame << " returned unprocessed, timestep " << double(timestep) << ")." << std::endl;
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
  double ovl = std::min(maxSize / 2.5, double(overlap));
  ovl = ovl >= 0.0 ? std::trunc(ovl) : 0.0;
  int64_t passes = 1;
  if (ovl != 0.0 && (W > maxSize || H > maxSize)) {
    // ovl <= maxSize / 2.5, so a non-zero ovl leaves a positive step.
    const double step = maxSize - ovl;
    const int64_t nx = W <= maxSize ? 1 : int64_t(std::ceil(W / step));
    const int64_t ny = H <= maxSize ? 1 : int64_t(std::ceil(H / step));
    passes = nx * ny;
  }
  if (nSel >= 4)
    passes *= 2;
  return int(std::clamp<int64_t>(passes, 1, INT_MAX));
}

void Tweenova::renderStripe(ImagePlane& outputPlane)
{
  spdlog::debug("");
  spdlog::debug("========== Tweenova::renderStripe started ==========");
  tweenova::applyLogLevel(debug);
  const auto start = std::chrono::system_clock::now();

  if (aborted() || cancelled()) {
    spdlog::debug("========== renderStripe aborted or cancelled. Exiting... ===================");
    spdlog::debug(kRule76);
    return;
  }

  // Nothing below may throw into the host: failures before the interpolation
  // guard (plane fetches of the copy paths, device queries) are reported here.
  runRenderGuarded(*this, true, [&] {
    Iop* source0 = input(0);
    if (!source0 || !source0->tryValidate(true)) {
      spdlog::debug("Input validation failed.");
      return;
    }
    Iop* source1 = input(1);

    Box unionBox = source0->info().box();
    if (source1)
      unionBox.merge(source1->info().box());
    if (unionBox.is_empty()) {
      spdlog::debug("Union box [{},{},{},{}] is empty, nothing to render.", unionBox.x(), unionBox.y(), unionBox.r(),
                    unionBox.t());
      return;
    }
    const int W = unionBox.w(), H = unionBox.h();
    const int64_t area = int64_t(W) * int64_t(H);
    const ChannelSet requested = outputPlane.channels();
    const int nOut = int(requested.size());
    ChannelSet selected = requested;
    selected &= input_channels;

    // The node declares whole-plane packed rendering over the union box; any
    // other plane is refused rather than written out of bounds.
    if (const std::string why = packedPlaneMismatch(outputPlane, unionBox, nOut); !why.empty()) {
      std::cerr << node_name() << ": Error in renderStripe: " << why << std::endl;
      error("%s", why.c_str());
      return;
    }

    if (selected.empty()) {
      copyPlane(outputPlane, source0, unionBox);
      if (debug)
        std::cout << node_name() << ": renderStripe for layer '" << requested
                  << "' (copy straight through, not in channels)." << std::endl;
      return;
    }

    FrameInfo frameInfo = calculateFrameInfo(float(outputContext().frame()));
    const float t = frameInfo.timestep;
    if (t <= threshold || t >= 1.0f - threshold) {
      const bool first = t <= threshold;
      holdSourceFrame(*this, outputPlane, first ? source0 : source1, unionBox, requested, "threshold fast-path",
                      first ? frameInfo.frame0 : frameInfo.frame1, t);
      return;
    }

    std::vector<Channel> selectedChannels;
    for (Channel z : selected)
      selectedChannels.push_back(z);
    const int nSel = int(selectedChannels.size());
    const int nModel = std::min(nSel, 3);
    const int nFetch = std::min(nSel, 4);

    const DeviceChoice device = chooseDevice(deviceRequest(), DeviceRuleCaller::Render);
    if (!Application::IsGUIActive()) {
      std::cout << node_name() << ": Running inference for layer '" << requested;
      if (device.useCuda)
        std::cout << "' on GPU (" << device.name << ")";
      else
        std::cout << "' on CPU";
      std::cout << std::endl;
    }

    progressMessage("%s", "Starting processing...");
    progressFraction(0.0);

    runRenderGuarded(*this, false, [&] {
      if (source1)
        requireOneFormat(*source0, *source1, frameInfo);
      ChannelSet fetchChannels;
      for (int i = 0; i < nFetch; ++i)
        fetchChannels += selectedChannels[size_t(i)];
      std::vector<float> b0(size_t(nFetch) * size_t(area), 0.0f);
      std::vector<float> b1(size_t(nFetch) * size_t(area), 0.0f);
      fetchPlanar(source0, unionBox, fetchChannels, nFetch, b0.data());
      fetchPlanar(source1, unionBox, fetchChannels, nFetch, b1.data());
      spdlog::debug("Fetched {} channel(s) from both source frames into union box [{},{},{},{}]", nFetch,
                    unionBox.x(), unionBox.y(), unionBox.r(), unionBox.t());

      frameInfo = calculateFrameInfo(float(outputContext().frame()));
      const double unmatched = unmatchedBlockShare(b0.data(), b1.data(), W, H, nFetch);
      if (debug)
        std::cout << node_name() << ": scene check: " << unmatched * 100.0 << "% of the blocks unmatched (a cut above "
                  << kSceneCutShare * 100.0 << "%)" << std::endl;
      if (unmatched > kSceneCutShare) {
        // Two shots, or a flash: an in-between frame would be a ghost of both.
        const bool first = frameInfo.timestep <= 0.5f;
        holdSourceFrame(*this, outputPlane, first ? source0 : source1, unionBox, requested, "scene cut",
                        first ? frameInfo.frame0 : frameInfo.frame1, frameInfo.timestep);
        progressFraction(1.0);
        progressDismiss();
        return;
      }
      spdlog::debug(kRule48);
      spdlog::debug("Tweenova::renderStripe outputContext.frame: {}", outputContext().frame());
      spdlog::debug("Tweenova::renderStripe timestep: {}", frameInfo.timestep);
      spdlog::debug(kRule48);

      const RenderSettings settings = renderSettings(*this);
      const RenderProgress progress{[this](const std::string& text) { progressMessage("%s", text.c_str()); },
                                    [this](double fraction) { progressFraction(fraction); },
                                    [this] { return aborted(); }};
      InferenceContext ctx{progressTotalFor(W, H, max_size, overlap, nSel),
                           0,
                           settings,
                           model,
                           progress,
                           device.device,
                           device.useCuda,
                           frameInfo.requestedFramePosition,
                           frameInfo.timestep,
                           frameWarpDownscale(model, settings.warpDownscale, W, H),
                           device.bf16Capable};

      static const int kPlanes[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 1, 2}};
      const int* planes = kPlanes[nModel - 1];
      torch::Tensor t1 = makeModelInput(modelChannels, W, H, area, b1, planes[0], planes[1], planes[2]);
      torch::Tensor t0 = makeModelInput(modelChannels, W, H, area, b0, planes[0], planes[1], planes[2]);
      torch::Tensor R = tiledInference(ctx, t0, t1);

      std::optional<torch::Tensor> R4;
      if (nSel >= 4) {
        torch::Tensor t1Fourth = makeModelInput(modelChannels, W, H, area, b1, 3, 3, 3);
        torch::Tensor t0Fourth = makeModelInput(modelChannels, W, H, area, b0, 3, 3, 3);
        R4 = tiledInference(ctx, t0Fourth, t1Fourth);
      }
      spdlog::debug("Interpolation pass(es) complete | Shape: {}", shapeString(R));

      R = R.squeeze(0).contiguous();
      spdlog::debug("Interpolation result without batch dimension | Shape: {}", shapeString(R));

      mergeOutput(outputPlane, source0, unionBox, requested, selectedChannels, nModel, R, R4);
      spdlog::debug("outputPlane written (packed) | {} x {}, {} channels", outputPlane.bounds().w(),
                    outputPlane.bounds().h(), nOut);

      progressMessage("%s", "Processing complete");
      progressFraction(1.0);
      progressDismiss();

      spdlog::debug("");
      spdlog::debug("========== Tweenova::renderStripe completed successfully ==========");
      if (debug) {
        const auto elapsed = std::chrono::system_clock::now() - start;
        const long long ms = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000;
        std::cout << "\n===================================\nTotal time renderStripe: " << ms << "ms" << std::endl;
      }
    });
  });
}
