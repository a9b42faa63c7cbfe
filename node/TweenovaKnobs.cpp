// The node's panel.
#include "node/DeviceQuery.h"
#include "node/Tweenova.h"
#include "runtime/CudaEnvironment.h"

#include <spdlog/spdlog.h>

using namespace DD::Image;

namespace {

const char* const kModeItems[] = {"Output Speed", "Frame", nullptr};
const char* const kFlowMagnitudeItems[] = {"low", "medium", "high", nullptr};
const char* const kDownscaleItems[] = {"1.0", "0.5", "0.25", nullptr};

const char* const kResetInputRangeScript =
  "try:\n"
  "\tnode = nuke.thisNode()\n"
  "\tnode.knob('frame_range_start').setValue(int(node.input(0).frameRange().first()))\n"
  "\tnode.knob('frame_range_end').setValue(int(node.input(0).frameRange().last()))\n"
  "except:\n"
  "\tpass";

const char* const kNanTooltip =
  "Corrupt-output guard. If more than this percentage of the values in a forward-pass result are NaN, the node "
  "errors with \"Too many nan values returned, frame corrupt\" instead of writing a corrupt frame. Catches faulty "
  "hardware (e.g. a bad GPU) silently producing NaN output. Set to 100 to disable.";

} // namespace

void Tweenova::knobs(Knob_Callback f)
{
  spdlog::debug("Tweenova::knobs called");

  // Device information for the GPU lines; an incompatible (or absent) GPU turns use_gpu off.
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  const bool cudaAvailable = cuda.isAvailable();
  gpuNameText = "Not available";
  if (!cudaAvailable)
    if (const std::string why = cuda.unavailableReason(); !why.empty())
      gpuNameText += ": " + why;
  if (cudaAvailable)
    queryDevice(*this);
  const bool gpuCompatible = checkCompatibility(*this);
  const bool gpuUsable = cudaAvailable && gpuCompatible;
  // Texts matter only when the panel is built, not when values are stored for a render.
  const bool making = f.makeKnobs();
  auto enableGpuKnob = [&](Knob* k) {
    if (k && making)
      k->enable(gpuUsable);
  };

  Tab_knob(f, "Tweenova");

  Text_knob(f, "Local GPU: ", "");
  Named_Text_knob(f, "gpuName", "", gpuNameText.c_str());
  Text_knob(f, " ", "");
  if (cudaAvailable) {
    Text_knob(f, "GPU memory: ", "");
    Named_Text_knob(f, "gpuMemory", "", making ? gpuMemoryText(*this, gpuCompatible).c_str() : "");
    Text_knob(f, " ", "");
  }

  BeginClosedGroup(f, "GPU settings");
  enableGpuKnob(Int_knob(f, &cuda_deviceid, "cuda_deviceid", "CUDA device ID"));
  Tooltip(f, "This sets what CUDA device to use for GPU processing. The default is 0, meaning the 'cuda:0' device "
             "will be used. To check your available CUDA devices, please run 'nvidia-smi' in a terminal.");
  enableGpuKnob(Bool_knob(f, &use_gpu, "use_gpu", "Use GPU if available"));
  Tooltip(f, "When this is on, the processing will happen using the GPU instead of the CPU which is generally A LOT "
             "faster.");
  enableGpuKnob(Bool_knob(f, &gpu_render_override, "gpu_render_override", "Use --gpu device override"));
  SetFlags(f, Knob::STARTLINE);
  Tooltip(f, "When this is on, the node will look at the Nuke command line --gpu argument when rendering in batch "
             "render mode, and use that CUDA device for processing instead of the saved device ID above on the "
             "cuda_deviceid knob.");
  EndGroup(f);

  Divider(f, "");

  Int_knob(f, &frame_range_start, "frame_range_start", "input range");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "First frame of input to use.");
  Int_knob(f, &frame_range_end, "frame_range_end", "");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "Last frame of input to use.");
  PyScript_knob(f, kResetInputRangeScript, "reset_input_range", " reset ");
  Tooltip(f, "Reset the input range from the current input.");

  Input_ChannelMask_knob(f, &input_channels, 0, "input_channels", "channels");
  SetFlags(f, Knob::STARTLINE);
  Tooltip(f, "Channels to run the interpolation on. Defaults to RGB. Pick 'all' to process every channel of the "
             "input. The model takes 3 channels at a time: for layers with fewer channels (e.g. depth) the channel "
             "is replicated; for layers with more channels (e.g. RGBA) the model runs on the first 3 and any extra "
             "channels pass through unchanged.");

  Enumeration_knob(f, &mode, kModeItems, "mode", "timing");
  SetFlags(f, Knob::EARLY_STORE | Knob::STARTLINE | Knob::ALWAYS_SAVE);
  Tooltip(f, "How to map source frames to output frames for retiming.");
  Float_knob(f, &speed, "speed", "speed");
  SetFlags(f, Knob::STARTLINE | Knob::EARLY_STORE);
  Tooltip(f, "Controls the speed of the retime based on the output range.\nValues below 1 slow down the clip. "
             "Values above 1 speed up movement.");
  Float_knob(f, &output_frame, "output_frame", "frame");
  SetFlags(f, Knob::STARTLINE | Knob::EARLY_STORE);
  Tooltip(f, "Use this to specify the source frame at the current frame in the timeline.");

  Divider(f, "");

  Int_knob(f, &steps, "steps", "steps");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "Sub-steps per frame (valid values are 1-6). This can provide better quality with a linear increase "
             "in computation time.");
  Enumeration_knob(f, &flow_magnitude, kFlowMagnitudeItems, "flow_magnitude", "flow magnitude");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "Higher settings catches higher motion magnitudes, but can lead to less local detail. Recommended to "
             "be set only as high as necessary. Slightly increases computation time.");
  Float_knob(f, &threshold, "threshold", "threshold");
  SetFlags(f, Knob::EARLY_STORE | Knob::HIDDEN);
  Tooltip(f, "If the current timestep is smaller than this value, no interpolation is performed and the input "
             "frame is used instead.");
  Enumeration_knob(f, &downscale, kDownscaleItems, "downscale", "warp downscale");
  SetFlags(f, Knob::STARTLINE | Knob::EARLY_STORE | Knob::HIDDEN);
  Tooltip(f, "Scaling factor for initial processing resolution. Values less than 1.0 reduce computation by "
             "processing at lower resolution first.\nFinal warp and refinement is always performed at full "
             "resolution.");
  Bool_knob(f, &colorspace_convert, "colorspace_convert", "colorspace conversion");
  SetFlags(f, Knob::STARTLINE | Knob::EARLY_STORE | Knob::HIDDEN);
  Tooltip(f, "Apply the linear<->PU21 colorspace conversions the model expects (encode the inputs before "
             "inference, decode the result after). Both are toggled together.\nLeave this ON for correct results; "
             "turn it OFF only to compare against feeding raw linear values straight to the model.");
  Bool_knob(f, &mixed_precision, "mixed_precision", "mixed precision");
  SetFlags(f, Knob::EARLY_STORE | Knob::STARTLINE | Knob::HIDDEN);
  Tooltip(f, "Enable mixed precision for faster inference and lower memory usage.\nOnly supported on GPU.");
  Bool_knob(f, &use_bfloat16, "use_bfloat16", "use BFloat16");
  SetFlags(f, Knob::EARLY_STORE | Knob::HIDDEN);
  ClearFlags(f, Knob::STARTLINE);
  Tooltip(f, "When activated, the mixed precision will process using the datatype BFloat16 (if supported) instead "
             "of half floats (Float16). This is generally a better datatype to process neural nets in when using "
             "16-bit, but is only available from Ampere GPUs and later (sm_80+).");
  Bool_knob(f, &debug, "debug", "debug info");
  SetFlags(f, Knob::EARLY_STORE | Knob::STARTLINE | Knob::HIDDEN);
  Tooltip(f, "When activated, prints a lot of verbose info about internal process state to the terminal");
  Int_knob(f, &nan_error_threshold, "nan_error_threshold", "nan error threshold");
  SetFlags(f, Knob::EARLY_STORE | Knob::STARTLINE | Knob::HIDDEN);
  Tooltip(f, kNanTooltip);

  Divider(f, "");

  BeginClosedGroup(f, "tiling_group", "Tiling");
  Named_Text_knob(f, "image_patches", "", "Image patches: -");
  SetFlags(f, Knob::STARTLINE);
  Tooltip(f, "How many tiles (patches) the current input is split into for processing, given the max size / "
             "overlap below. Updates live; a single patch means the whole frame is processed in one pass.");
  Int_knob(f, &max_size, "max_size", "max size");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "Controls the size of image tiles/patches in pixels. Lower values will create more tiles and lead to "
             "lower GPU memory usage (see the 'Image patches' calculation above)");
  Text_knob(f, "px");
  ClearFlags(f, Knob::STARTLINE);
  Int_knob(f, &overlap, "overlap", "overlap");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "overlap sets the amount of overlap between the image patches, measured in pixels.");
  Text_knob(f, "px");
  ClearFlags(f, Knob::STARTLINE);
  Int_knob(f, &padding, "padding", "padding");
  SetFlags(f, Knob::EARLY_STORE);
  Tooltip(f, "padding reduces the cross fading area from using the full overlap area, so the resulting image "
             "doesn't contain any pixels from the patches' edges. This is also measured in pixels.");
  Text_knob(f, "px");
  ClearFlags(f, Knob::STARTLINE);
  EndGroup(f);

  Tab_knob(f, "About");
  Divider(f);
  Text_knob(f, making ? buildVersionText().c_str() : "");
  SetFlags(f, Knob::STARTLINE);
  // Also fills an unknown build capability from the runtime version, which the kernel note reads.
  const std::string capabilityText = buildCapabilityText(*this);
  Text_knob(f, capabilityText.c_str());
  SetFlags(f, Knob::STARTLINE);
  if (!gpuComputeCapability.empty()) {
    Named_Text_knob(f, "kernelInfo", "", making ? kernelInfoText(*this).c_str() : "");
    SetFlags(f, Knob::STARTLINE);
  }
  Text_knob(f, " ");
  SetFlags(f, Knob::STARTLINE);
  Text_knob(f, making ? versionMatchText().c_str() : "");
  SetFlags(f, Knob::STARTLINE);
  Divider(f);
  Text_knob(f, "Tweenova v1.0.0");
  SetFlags(f, Knob::STARTLINE);
}
