#pragma once

#include "cli/options/Options.h"

#include <string>
#include <vector>

namespace cli {

// Most frames one run renders or lists.
constexpr long long kMaxFrames = 1000000;

// A frame list as farm managers hand them out: comma-separated items, each
// a frame ("7"), a range ("1-100", "-5--1") or a range with a step
// ("1-100x5": 1, 6, ..., 96). Returns the frames ascending, each once.
// Throws UsageError for an empty or malformed list, a step below 1, a range
// that ends before it starts, or more than kMaxFrames frames.
std::vector<int> parseFrameList(const std::string& text);

// Ascending frames written back as a list parseFrameList reads: runs of
// consecutive frames as ranges ("1-3,7,9-10").
std::string formatFrameList(const std::vector<int>& frames);

// Every frame of `range`. Throws UsageError when it holds more than kMaxFrames.
std::vector<int> framesOf(const FrameRange& range);

} // namespace cli
