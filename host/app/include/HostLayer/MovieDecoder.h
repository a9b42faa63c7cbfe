#pragma once

#include "HostLayer/ImageFile.h"
#include "HostLayer/ChildProcess.h"
#include "HostLayer/MovieProbe.h"

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace HostLayer {

// Decodes the frames of a movie file through Debian's ffmpeg, at 16 bits per
// channel, turned as its rotation metadata says: one decoder process streams
// frames forward, and a request for an earlier or a much later frame starts
// a new one, seeking to it (from the key frame before it) when the movie has
// a constant frame rate. Frames are numbered from 0 here; reading them one
// after another (as a retime does) decodes each frame once. Thread-safe.
class MovieDecoder {
public:
  // Frames are converted from `colorSpace` (empty: Rec709, see
  // defaultColorSpace) to scene linear. Throws std::runtime_error when the
  // movie cannot be probed or the colour space is unknown.
  explicit MovieDecoder(const std::string& path, const std::string& colorSpace = "");
  ~MovieDecoder();
  MovieDecoder(const MovieDecoder&) = delete;
  MovieDecoder& operator=(const MovieDecoder&) = delete;

  const ImageHeader& header() const { return header_; }
  const MovieInfo& info() const { return info_; }
  // Frame `index` as rgb in the host's layout, in scene linear.
  // Throws std::runtime_error naming the movie when it cannot be decoded.
  ImageData frame(int index);

private:
  void start(int index);
  void stop();

  std::string path_;
  MovieInfo info_;
  std::string colorSpace_;
  ImageHeader header_;
  std::mutex mutex_;
  ChildProcess decoder_;
  int next_ = 0;                   // index of the frame the pipe delivers next
  int decodable_ = -1;             // frames before this index decode; -1 until decoding ended early
  std::map<int, ImageData> recent_;  // a few recently decoded frames
};

} // namespace HostLayer
