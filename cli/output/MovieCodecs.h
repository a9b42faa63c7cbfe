#pragma once

#include "cli/options/FrameRate.h"

#include <string>
#include <vector>

namespace cli {

// The movie files tweenova-render writes, by the output's extension.
enum class Container { None, Mov, Mp4, Mkv };

// .mov, .mp4 or .mkv (any case); None for anything else.
Container containerOf(const std::string& path);
inline bool isMovieOutput(const std::string& path) { return containerOf(path) != Container::None; }

// A codec a movie is written with, as ffmpeg encodes it.
struct MovieCodec {
  const char* name;         // --codec NAME
  const char* encoder;      // ffmpeg's encoder
  const char* pixelFormat;  // the samples it encodes
  const char* alphaFormat;  // the same with alpha; nullptr where the codec holds none
  std::vector<std::string> options;  // for the encoder
  std::vector<Container> containers; // that hold it
};

// The codecs by name, in the order --help lists them.
const std::vector<MovieCodec>& movieCodecs();
// The codec a container gets unless --codec names one: ProRes 422 HQ in
// .mov, H.264 in .mp4, H.265 in .mkv.
const MovieCodec& defaultCodec(Container container);
// The codec of that name; nullptr when there is none.
const MovieCodec* findCodec(const std::string& name);
bool holds(Container container, const MovieCodec& codec);
// "mov", "mp4", "mkv".
std::string containerName(Container container);

// Everything a movie's encoding is decided by.
struct MovieSettings {
  std::string path;  // the movie's final name
  Container container = Container::Mov;
  const MovieCodec* codec = nullptr;
  int width = 0;
  int height = 0;
  FrameRate rate;
  bool alpha = false;       // the frames carry alpha, and the codec keeps it
  std::string colorSpace;   // the colour space the frames are encoded in
};

// The raw frames ffmpeg takes on its standard input: 16-bit RGB, or RGBA
// with alpha, interleaved, top row first.
const char* rawPixelFormat(const MovieSettings& settings);

// ffmpeg's arguments, from "ffmpeg" on, to encode raw frames from its
// standard input into `destination` in the settings' container (with
// `timecode`, "HH:MM:SS:FF", as its start unless empty), or, with an empty
// destination, to encode them and write nothing (a trial of the settings).
std::vector<std::string> ffmpegArguments(const MovieSettings& settings, const std::string& timecode,
                                         const std::string& destination);

} // namespace cli
