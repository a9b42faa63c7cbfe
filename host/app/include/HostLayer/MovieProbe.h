#pragma once

#include <string>

namespace HostLayer {

// What ffprobe says of a movie's first video stream.
struct MovieInfo {
  int width = 0;   // of the decoded frames: the stored size turned by `rotation`
  int height = 0;
  int rotation = 0;          // degrees of the display matrix, a multiple of 90 in [0, 360)
  int fpsNumerator = 0;      // the stream's frame rate; 0 when unknown
  int fpsDenominator = 1;
  bool constantRate = false; // the average rate is the stream's rate
  double startTime = 0.0;    // seconds: the file's start, which seeks count from
  // A constant rate, and the first frames at n / fps from the file's start:
  // frame n can be reached by seeking to its time. Set by findSeekable.
  bool seekable = false;
  std::string timecode;      // of the first frame ("01:00:10:05"), empty when none
};

// Runs ffprobe on `path`. Throws std::runtime_error naming the movie when
// ffprobe is missing or fails, or when a rotation is not a multiple of 90
// degrees (the frames would not be rectangles of the stored size).
MovieInfo probeMovie(const std::string& path);

// Sets info.seekable, decoding the first frames' times (ffprobe): only the
// decoder needs it, not a look at the movie's size, rate or timecode.
void findSeekable(const std::string& path, MovieInfo& info);

} // namespace HostLayer
