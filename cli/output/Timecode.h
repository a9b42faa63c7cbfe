#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

// A SMPTE timecode packed as OpenEXR stores it (BCD hours, minutes, seconds
// and frames, with the drop-frame flag and the binary groups), moved on by
// `frames` (negative: back) at `fps` frames a second (rounded to the nominal
// rate: 23.976 counts as 24; above 30 the digits count pairs of frames, and
// `frames` moves them on by whole pairs). Drop-frame timecodes skip the frame numbers
// drop-frame counting skips; the count wraps at 24 hours. Flags and user
// bits are kept.
uint32_t advanceTimecode(uint32_t packed, long long frames, double fps);

// "HH:MM:SS:FF" (or with ';' or '.' before the frames: drop frame), as
// movies carry it, packed as advanceTimecode takes it; nothing when the text
// is not a timecode.
std::optional<uint32_t> parseTimecode(const std::string& text);

// A packed timecode as movies carry it: "HH:MM:SS:FF", with ';' before the
// frames for drop frame. Above 30 frames a second (`fps`) the packed digits
// count pairs of frames and the text counts frames.
std::string timecodeText(uint32_t packed, double fps);

} // namespace cli
