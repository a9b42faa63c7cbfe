#pragma once

#include <OpenImageIO/imageio.h>

#include <memory>
#include <string>

namespace cli {

// How EXR channels are stored: as in the source (half where it has no such
// channel or is not an EXR), or every channel half or float.
enum class ExrChannelType { AsSource, Half, Float };

// The type a channel named `name` (as the file names it) is written in.
OIIO::TypeDesc exrChannelType(const std::string& name, const OIIO::ImageSpec* source, ExrChannelType choice);

// Every attribute of an EXR source that describes the picture rather than
// the file's layout (frame rate, timecode, pixel aspect, chromaticities,
// owner, comments, custom attributes, the compression and its level unless
// `compression` overrides them) onto `out`, the timecode moved on by
// `framesAfterSource` frames at the source's frame rate, and the software
// attribute naming this tool.
void carryAttributes(OIIO::ImageSpec& out, const OIIO::ImageSpec& source, long long framesAfterSource,
                     const std::string& compression);

// What a movie gives the EXRs made from it, as attributes of its first
// frame: its frame rate (FramesPerSecond) and its start timecode
// (smpte:TimeCode). Nothing when `input` is not a movie file.
std::shared_ptr<const OIIO::ImageSpec> movieAttributes(const std::string& input);

// Whether `name` is an EXR compression OpenImageIO writes: none, rle, zips,
// zip, piz, pxr24, b44, b44a, dwaa, dwab, the zip and dwa ones with an
// optional ":LEVEL".
bool validExrCompression(const std::string& name);

} // namespace cli
