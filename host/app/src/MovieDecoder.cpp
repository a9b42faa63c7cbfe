#include "HostLayer/MovieDecoder.h"

#include "HostLayer/ColorSpaces.h"

#include "DDImage/Channel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

using namespace DD::Image;

namespace HostLayer {

namespace {

constexpr size_t kRecentFrames = 4;
// Frames further ahead than this are reached by seeking rather than by
// decoding every frame in between.
constexpr int kDecodeAheadLimit = 48;

// The time of the middle of the frame before `index`: seeking there decodes
// from the key frame before it and delivers `index` first, whatever the
// rounding of the frame times.
std::string seekTime(int index, const MovieInfo& info)
{
  char text[64];
  std::snprintf(text, sizeof text, "%.9f", (double(index) - 0.5) * info.fpsDenominator / info.fpsNumerator);
  return text;
}

} // namespace

MovieDecoder::MovieDecoder(const std::string& path, const std::string& colorSpace)
    : path_(path), info_(probeMovie(path)),
      colorSpace_(colorSpace.empty() ? defaultColorSpace(Encoding::Video) : checkedColorSpace(colorSpace))
{
  findSeekable(path, info_);
  header_ = readImageHeader(path);
  header_.width = info_.width;
  header_.height = info_.height;
  header_.fullWidth = header_.fullHeight = 0;
  header_.x = header_.y = header_.fullX = header_.fullY = 0;
  header_.colorSpace = colorSpace_;
  header_.channels = {Chan_Red, Chan_Green, Chan_Blue};
}

MovieDecoder::~MovieDecoder() { stop(); }

void MovieDecoder::stop() { stopChild(decoder_); }

void MovieDecoder::start(int index)
{
  stop();
  std::vector<std::string> args = {"ffmpeg", "-v", "error", "-nostdin"};
  const bool seek = info_.seekable && index > 0;
  if (seek)
    args.insert(args.end(), {"-ss", seekTime(index, info_)});
  args.insert(args.end(), {"-i", path_, "-map", "0:v:0"});
  if (!seek && index > 0)
    args.insert(args.end(), {"-vf", "select=gte(n\\," + std::to_string(index) + ")"});
  // ffmpeg turns the frames as the rotation metadata says (its default).
  args.insert(args.end(), {"-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb48le", "-"});
  decoder_ = startChild(args, "cannot decode " + path_);
  next_ = index;
}

ImageData MovieDecoder::frame(int index)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = recent_.find(index); it != recent_.end())
    return it->second;
  if (index < 0 || index >= header_.subimages)
    throw std::runtime_error("cannot decode frame " + std::to_string(index + 1) + " of " + path_ +
                             ": the movie has " + std::to_string(header_.subimages) + " frames");
  // A movie whose decoding ended early is not decoded again for every later frame.
  if (decodable_ >= 0 && index >= decodable_)
    throw std::runtime_error("cannot decode frame " + std::to_string(index + 1) + " of " + path_ +
                             ": the movie ends after frame " + std::to_string(decodable_) +
                             " (truncated or damaged)");
  if (!decoder_.out || index < next_ || index > next_ + kDecodeAheadLimit)
    start(index);

  const int w = header_.width, h = header_.height;
  const size_t area = size_t(w) * h;
  std::vector<uint16_t> raw(area * 3);
  while (next_ <= index) {
    if (std::fread(raw.data(), sizeof(uint16_t), raw.size(), decoder_.out) != raw.size()) {
      stop();
      decodable_ = decodable_ >= 0 ? std::min(decodable_, next_) : next_;
      throw std::runtime_error("cannot decode frame " + std::to_string(next_ + 1) + " of " + path_ +
                               ": the decoder ended early");
    }
    ++next_;
  }
  ImageData img;
  img.header = header_;
  img.pixels.resize(area * 3);
  for (int c = 0; c < 3; ++c)
    for (int row = 0; row < h; ++row) {
      // Movies store the top line first; the host's row 0 is the bottom line.
      const uint16_t* src = raw.data() + size_t(h - 1 - row) * w * 3 + c;
      float* dst = img.pixels.data() + c * area + size_t(row) * w;
      for (int x = 0; x < w; ++x)
        dst[x] = float(src[size_t(x) * 3]) / 65535.0f;
    }
  toSceneLinear(img, colorSpace_);
  recent_[index] = img;
  while (recent_.size() > kRecentFrames)
    recent_.erase(recent_.begin());
  return img;
}

} // namespace HostLayer
