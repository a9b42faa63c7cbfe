#pragma once

#include "DDImage/Knobs.h"
#include "DDImage/PlanarIop.h"
#include "node/FrameInfo.h"

#include <torch/script.h>

#include <string>
#include <utility>

struct DeviceRequest;

// Unset marker of the input range and the output range.
constexpr int kUnsetFrame = -999999;

// The retime node: maps every output frame to a fractional source position
// and synthesises the in-between image with a frame-interpolation network.
class Tweenova : public DD::Image::PlanarIop {
public:
  explicit Tweenova(DD::Image::Node* node);
  ~Tweenova() override;

  static const DD::Image::Op::Description d;

  // --- Host operations --------------------------------------------------
  const char* Class() const override;
  const char* node_help() const override;
  void knobs(DD::Image::Knob_Callback f) override;
  int knob_changed(DD::Image::Knob* k) override;

  int minimum_inputs() const override { return 1; }
  int maximum_inputs() const override { return 1; }
  bool useStripes() const override { return false; }
  size_t stripeHeight() const override { return 256; }
  PackedPreference packedPreference() const override { return ePackedPreferencePacked; }

  int split_input(int n) const override;
  const DD::Image::OutputContext& inputContext(int n, int offset, DD::Image::OutputContext& out) const override;
  void getRequests(const DD::Image::Box& box, const DD::Image::ChannelSet& channels, int count,
                   DD::Image::RequestOutput& reqData) const override;
  void append(DD::Image::Hash& hash) override;
  void renderStripe(DD::Image::ImagePlane& outputPlane) override;

  // --- Frame mapping ----------------------------------------------------
  FrameInfo calculateFrameInfo(float currentFrame) const;
  std::pair<int, int> getKeyframeRange() const;
  void fillUnsetInputRange();

  // --- Panel texts ------------------------------------------------------
  void updateImagePatchesText();

  // --- Device -----------------------------------------------------------
  // What the device rule reads of the node (runtime/DeviceRule.h).
  DeviceRequest deviceRequest() const;

  // --- Knob members, in panel-independent declaration order ------------
  bool debug = false;
  bool use_gpu = true;
  int cuda_deviceid = 0;
  bool gpu_render_override = true;
  bool bf16Capable = false;
  bool use_bfloat16 = true;
  int max_size = 4500;
  int overlap = 512;
  int padding = 64;
  int nan_error_threshold = 10;
  int mode = 0;
  float speed = 0.5f;
  float output_frame = 1.0f;
  int steps = 2;
  int flow_magnitude = 0;
  float threshold = 0.001f;
  int downscale = 0;
  bool colorspace_convert = true;
  int frame_range_start = kUnsetFrame;
  int frame_range_end = kUnsetFrame;
  bool mixed_precision = false;
  DD::Image::ChannelSet input_channels = DD::Image::Mask_All;

  // --- Other members ----------------------------------------------------
  int modelChannels = 3;
  int outputFirstFrame = kUnsetFrame;
  int outputLastFrame = kUnsetFrame;
  torch::jit::Module model;
  bool modelLoaded = false;
  std::string gpuNameText;
  std::string gpuComputeCapability;
  std::string buildComputeCapability;

protected:
  void _validate(bool for_real) override;
  void _open() override;
  void _close() override;
};
