#pragma once

#include "device/CpuChecks.h"
#include "device/FrameFile.h"
#include "device/SummaryTable.h"

#include <string>
#include <vector>

namespace devicecheck {

// The GPU half: every set rendered on the GPU in fp32, fp16 and bf16, judged
// by PSNR against its CPU render; where the network sits; a tiled 4K render
// of the largest set, upscaled; and at 1080p, in each precision, the
// network's forward per in-between frame and the whole node per output frame.
void runGpuChecks(const std::vector<FrameSet>& sets, const CpuRenders& cpu, SummaryTable& table);

// The same rows, each marked `why` ("skipped: no GPU").
void skipGpuChecks(const std::vector<FrameSet>& sets, const std::string& why, SummaryTable& table);

} // namespace devicecheck
