// The panel's reactions to knob changes and the image patches text.
#include "inference/Tiling.h"
#include "node/DeviceQuery.h"
#include "node/Tweenova.h"
#include "runtime/CudaEnvironment.h"

#include <spdlog/spdlog.h>

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
  const TilePlan plan = planTiles(in->info().w(), in->info().h(), max_size, overlap, padding);
  const std::string text = "Image patches: " + std::to_string(int64_t(plan.countX) * int64_t(plan.countY)) + " (" +
                           std::to_string(plan.countX) + " x " + std::to_string(plan.countY) + ")";
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
