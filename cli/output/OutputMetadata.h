#pragma once

#include "HostLayer/ExrFile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace cli {

using HostLayer::ExrChannelType;

// The frame rate and start timecode of a source: an EXR's first part's, or
// a movie's (its first frame's). The timecode is packed as SMPTE time and
// flags (advanceTimecode).
struct SourceClock {
  std::optional<std::pair<int, int>> framesPerSecond;
  std::optional<uint32_t> timecode;
};

// What a movie gives the frames made from it. Nothing when `input` is not a movie file.
std::optional<SourceClock> movieClock(const std::string& input);

// The timecode of the output frame `framesAfterSource` frames after the
// source's (at its frame rate, 24 where it has none); nothing when the
// source has no timecode.
std::optional<uint32_t> outputTimecode(const SourceClock& source, long long framesAfterSource);

// Whether `name` is an EXR compression: none, rle, zips, zip, piz, pxr24,
// b44, b44a, dwaa, dwab, the zip and dwa ones with an optional ":LEVEL".
bool validExrCompression(const std::string& name);

} // namespace cli
