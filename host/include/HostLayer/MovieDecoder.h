#pragma once

#include "HostLayer/ImageFile.h"

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace HostLayer {

// Decodes the frames of a movie file in order through Debian's ffmpeg: one
// decoder process streams frames forward, and a request for an earlier frame
// starts a new one. Frames are numbered from 0 here; reading them one after
// another (as a retime does) decodes each frame once. Thread-safe.
class MovieDecoder {
public:
  // Throws std::runtime_error when the movie's size cannot be read.
  explicit MovieDecoder(const std::string& path);
  ~MovieDecoder();
  MovieDecoder(const MovieDecoder&) = delete;
  MovieDecoder& operator=(const MovieDecoder&) = delete;

  const ImageHeader& header() const { return header_; }
  // Frame `index` as rgb in the host's layout, decoded from sRGB to linear.
  // Throws std::runtime_error naming the movie when it cannot be decoded.
  ImageData frame(int index);

private:
  void start(int index);
  void stop();

  std::string path_;
  ImageHeader header_;
  std::mutex mutex_;
  FILE* pipe_ = nullptr;
  pid_t pid_ = -1;
  int next_ = 0;                   // index of the frame the pipe delivers next
  int decodable_ = -1;             // frames before this index decode; -1 until decoding ended early
  std::map<int, ImageData> recent_;  // a few recently decoded frames
};

} // namespace HostLayer
