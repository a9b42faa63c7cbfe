#pragma once

#include "device/FrameFile.h"
#include "device/SummaryTable.h"

#include <optional>
#include <vector>

namespace devicecheck {

// The node's CPU render of each set at t = 0.5, in the sets' order; empty where it failed.
using CpuRenders = std::vector<std::optional<Image>>;

// The CPU half, on any machine: every set rendered on the CPU and, where the
// true middle frame is known, judged against the frame average (shown, not
// judged, for a stand-in network); and a small tiled render of the smallest
// set against its untiled render.
CpuRenders runCpuChecks(const std::vector<FrameSet>& sets, bool standIn, SummaryTable& table);

} // namespace devicecheck
