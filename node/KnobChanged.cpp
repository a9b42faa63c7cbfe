// The panel's reactions to knob changes and the image patches text.
#include "node/DeviceQuery.h"
#include "node/Tweenova.h"
#include "runtime/CudaEnvironment.h"

#include <spdlog/spdlog.h>

#include <cmath>
#include <string>

using namespace DD::Image;

namespace {

void setText(Op& op, const char* name, const std::string& text)
{
  Knob* k = op.knob(name);
  if (!k)
    return;
  if (Text_KnobI* t = k->textKnob())
    t->setValue(text.c_str());
}

void showModeKnobs(Op& op, int mode)
{
  if (Knob* k = op.knob("speed"))
    k->visible(mode == 0);
  if (Knob* k = op.knob("output_frame"))
    k->visible(mode != 0);
}

void enableGpuOptions(Op& op, bool on)
{
  for (const char* name : {"mixed_precision", "gpu_render_override"})
    if (Knob* k = op.knob(name))
      k->enable(on);
}

} // namespace

void Tweenova::updateImagePatchesText()
{
  Knob* k = knob("image_patches");
  if (!k || !k->textKnob())
    return;
  Iop* in = input(0);
  if (!in) {
    k->textKnob()->setValue("Image patches: -");
    return;
  }
  in->validate(true);
  const int W = in->info().w();
  const int H = in->info().h();
  const double S = max_size;
  const double m = std::min(S / 2.5, double(overlap));
  const int o = m < 0 ? 0 : int(m);
  const long long colStep = W > max_size ? (long long)max_size - o : W;
  const long long rowStep = H > max_size ? (long long)max_size - o : H;
  const long long C = colStep < 1 ? 1 : (long long)std::ceil(double(W) / double(colStep));
  const long long R = rowStep < 1 ? 1 : (long long)std::ceil(double(H) / double(rowStep));
  const std::string text = "Image patches: " + std::to_string(C * R) + " (" + std::to_string(C) + " x " +
                           std::to_string(R) + ")";
  k->textKnob()->setValue(text.c_str());
}

int Tweenova::knob_changed(Knob* k)
{
  spdlog::debug("Tweenova::knob_changed called");
  if (spdlog::should_log(spdlog::level::debug))
    spdlog::debug("[Tweenova::knob_changed] knob_changed called on: {}", k ? k->name() : std::string());
  if (!k)
    return 1;

  if (k == &Knob::showPanel) {
    fillUnsetInputRange();
    updateImagePatchesText();
    showModeKnobs(*this, mode);
    enableGpuOptions(*this, use_gpu);
    return 1;
  }

  const std::string& name = k->name();
  if (name == "mode") {
    showModeKnobs(*this, mode);
    invalidate();
  } else if (name == "cuda_deviceid") {
    const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
    if (cuda.isAvailable() && queryDevice(*this)) {
      bool gpuCompatible = false;
      try {
        (void)std::stoi(gpuComputeCapability);
        (void)std::stoi(buildComputeCapability);
        setText(*this, "kernelInfo", kernelInfoText(*this));
        gpuCompatible = capabilityCompatible(gpuComputeCapability);
      } catch (const std::exception&) {
        gpuCompatible = false;
      }
      if (!gpuCompatible)
        use_gpu = false;
      setText(*this, "gpuName", gpuNameText);
      setText(*this, "gpuMemory", gpuMemoryText(*this, gpuCompatible));
    } else {
      setText(*this, "gpuName", gpuNameText);
    }
  } else if (name == "use_gpu") {
    const bool on = k->get_value() != 0.0;
    enableGpuOptions(*this, on);
    modelLoaded = false;
    invalidate();
  } else if (name == "mixed_precision") {
    modelLoaded = false;
    invalidate();
  } else if (name == "max_size" || name == "overlap") {
    updateImagePatchesText();
    invalidate();
  } else if (name == "speed" || name == "frame_range_start" || name == "frame_range_end") {
    invalidate();
  }
  return 1;
}
