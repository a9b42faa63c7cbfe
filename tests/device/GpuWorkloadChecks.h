#pragma once

#include "device/FrameFile.h"
#include "device/SummaryTable.h"

namespace devicecheck {

// Mixed precision leaves held pixels alone: a held frame (a pair of one
// image) renders in fp16 and bf16 exactly as in fp32, and where half the
// frame holds still the fp16 and bf16 renders keep that half's fp32 values
// to within the flows' own difference.
void checkHeldPixels(const FrameSet& set, SummaryTable& table);

// The node as tweenova-render --gpu drives it: 24 output frames at 1080p in
// fp16 on 16 render threads side by side through one node, against one
// thread: frames per second, and the GPU memory at its peak, which must stay
// that of one network and one pass.
void checkSideBySide(const FrameSet& set, SummaryTable& table);

// The same rows, each marked `why`.
void skipWorkloadChecks(const std::string& why, SummaryTable& table);

} // namespace devicecheck
