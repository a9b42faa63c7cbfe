// Which source frames, at which fraction, make each output frame; the output
// range; what the node asks of its input. All arithmetic in single precision.
#include "node/RetimeMapping.h"
#include "node/Tweenova.h"
#include "runtime/DeviceRule.h"
#include "runtime/Logging.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <set>

using namespace DD::Image;

FrameInfo Tweenova::calculateFrameInfo(float currentFrame) const
{
  spdlog::debug("Tweenova::calculateFrameInfo called with currentFrame: {}", currentFrame);
  spdlog::debug(mode != 0 ? "Tweenova::calculateFrameInfo mode: frame" : "Tweenova::calculateFrameInfo mode: speed");
  const RetimeSettings settings{mode, speed, output_frame, frame_range_start, outputFirstFrame, outputLastFrame};
  const FrameInfo info = mapOutputFrame(settings, currentFrame);
  spdlog::debug(tweenova::kLogTableRow, "frame0", "frame1", "timestep", "requestedFramePosition");
  spdlog::debug(tweenova::kLogTableRow, info.frame0, info.frame1, info.timestep, info.requestedFramePosition);
  return info;
}

std::pair<int, int> Tweenova::getKeyframeRange() const
{
  spdlog::debug("Tweenova::getKeyframeRange called");
  Knob* k = knob("output_frame");
  if (!k) {
    spdlog::warn("Could not find output_frame knob");
    return {-1, -1};
  }
  if (!k->isAnimated()) {
    spdlog::debug("output_frame knob is not animated (no keyframes)");
    return {-1, -1};
  }
  std::set<int> keys;
  const int reported = k->getKeyList(keys);
  if (reported <= 0 || keys.empty()) {
    spdlog::debug("output_frame knob has no keyframes");
    return {-1, -1};
  }
  spdlog::debug("output_frame knob has {} keyframes", reported);
  const int first = *keys.begin();
  const int last = *keys.rbegin();
  spdlog::debug("First keyframe at frame {}, last keyframe at frame {}", first, last);
  return {first, last};
}

void Tweenova::fillUnsetInputRange()
{
  if (frame_range_start != kUnsetFrame && frame_range_end != kUnsetFrame)
    return;
  Iop* in = input(0);
  if (!in)
    return;
  in->validate(true);
  if (frame_range_start == kUnsetFrame) {
    frame_range_start = in->first_frame();
    if (Knob* k = knob("frame_range_start"))
      k->set_value(frame_range_start);
  }
  if (frame_range_end == kUnsetFrame) {
    frame_range_end = in->last_frame();
    if (Knob* k = knob("frame_range_end"))
      k->set_value(frame_range_end);
  }
}

void Tweenova::_validate(bool for_real)
{
  spdlog::debug("Tweenova::_validate called");
  tweenova::applyLogLevel(debug);

  copy_info();
  if (frame_range_start == kUnsetFrame || frame_range_end == kUnsetFrame)
    fillUnsetInputRange();

  if (mode == 0) {
    outputFirstFrame = frame_range_start;
    int64_t count;
    if (speed > 0.0f) {
      outputLastFrame = lastSpeedModeFrame(frame_range_start, frame_range_end, speed);
      count = int64_t(outputLastFrame) - frame_range_start + 1;
    } else {
      outputLastFrame = frame_range_start;
      count = 1;
    }
    spdlog::debug("Input range: {} to {} ({} frames)", frame_range_start, frame_range_end,
                  int64_t(frame_range_end) - frame_range_start + 1);
    spdlog::debug("Speed: {}, Output range: {} to {} ({} frames)", speed, outputFirstFrame, outputLastFrame, count);
  } else {
    const auto [first, last] = getKeyframeRange();
    if (first == -1 || last == -1) {
      outputFirstFrame = frame_range_start;
      outputLastFrame = frame_range_end;
      spdlog::debug("Frame mode: No keyframes found, using input range {} to {}", outputFirstFrame, outputLastFrame);
    } else {
      outputFirstFrame = first;
      outputLastFrame = last;
      spdlog::debug("Frame mode: Using keyframe range {} to {}", outputFirstFrame, outputLastFrame);
    }
  }

  info_.first_frame(outputFirstFrame);
  info_.last_frame(outputLastFrame);
  if (Iop* in0 = input(0))
    set_out_channels(in0->channels());
  if (Iop* in1 = input(1)) {
    in1->validate(for_real);
    info_.merge(in1->info());
  }
}

int Tweenova::split_input(int n) const
{
  spdlog::debug("Tweenova::split_input called");
  return n == 0 ? 2 : 1;
}

const OutputContext& Tweenova::inputContext(int n, int offset, OutputContext& out) const
{
  spdlog::debug("Tweenova::inputContext called");
  out = outputContext();
  const FrameInfo fi = calculateFrameInfo(float(outputContext().frame()));
  spdlog::debug("Tweenova::inputContext currentFrame: {}", outputContext().frame());
  spdlog::debug("Tweenova::inputContext frame0: {}", fi.frame0);
  spdlog::debug("Tweenova::inputContext frame1: {}", fi.frame1);
  if (n != 0)
    return out;
  if (offset == 0)
    out.setFrame(fi.frame0);
  else if (offset == 1)
    out.setFrame(fi.frame1);
  return out;
}

void Tweenova::getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& reqData) const
{
  spdlog::debug("Tweenova::getRequests called");
  ChannelSet wanted = channels;
  wanted += input_channels;
  for (int i = 0; i < 2; ++i)
    if (Iop* in = input(i))
      reqData.request(in, in->info().box(), wanted, count);
}

void Tweenova::append(Hash& hash)
{
  PlanarIop::append(hash);
  const FrameInfo fi = calculateFrameInfo(float(outputContext().frame()));
  hash.append(fi.frame0);
  hash.append(fi.frame1);
  hash.append(fi.timestep);
  hash.append(mode);
  hash.append(speed);
  hash.append(output_frame);
  hash.append(mixed_precision);
  hash.append(use_bfloat16);
  hash.append(bf16Capable);
  hash.append(use_gpu);
  // The device a render uses, so that a changed one opens the node again and
  // moves its network there: the batch render's variable counts where it rules.
  hash.append(cuda_deviceid);
  hash.append(gpu_render_override);
  const std::optional<long> batch = batchRenderDeviceIndex(gpu_render_override);
  hash.append(batch.has_value());
  hash.append(int(std::clamp<long>(batch.value_or(0), INT_MIN, INT_MAX)));
  hash.append(steps);
  hash.append(flow_magnitude);
  hash.append(threshold);
  hash.append(downscale);
  hash.append(colorspace_convert);
  hash.append(max_size);
  hash.append(overlap);
  hash.append(padding);
  hash.append(nan_error_threshold);
}
