#pragma once

#include <spdlog/spdlog.h>

namespace tweenova {

// Switches spdlog's process-wide level: debug when the node's debug knob is on, off otherwise.
inline void applyLogLevel(bool debug) { spdlog::set_level(debug ? spdlog::level::debug : spdlog::level::off); }

// The format of the node's small log tables: four left-aligned columns.
constexpr const char* kLogTableRow = "| {:<10} | {:<10} | {:<10} | {:<10} |";

} // namespace tweenova
