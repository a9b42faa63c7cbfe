#include "HostLayer/MovieDecoder.h"

#include "DDImage/Channel.h"

#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

extern char** environ;

using namespace DD::Image;

namespace HostLayer {

namespace {
constexpr size_t kRecentFrames = 4;
}

MovieDecoder::MovieDecoder(const std::string& path) : path_(path)
{
  header_ = readImageHeader(path);
  header_.integer = true;
  header_.channels = {Chan_Red, Chan_Green, Chan_Blue};
}

MovieDecoder::~MovieDecoder() { stop(); }

void MovieDecoder::stop()
{
  if (pipe_) {
    std::fclose(pipe_);
    pipe_ = nullptr;
  }
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

void MovieDecoder::start(int index)
{
  stop();
  int fds[2];
  if (pipe(fds) != 0)
    throw std::runtime_error("cannot decode " + path_ + ": no pipe for the decoder");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // Stopping the decoder early makes it complain about the closed pipe: its messages are not ours to show.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string select = "select=gte(n\\," + std::to_string(index) + ")";
  std::vector<std::string> args = {"ffmpeg", "-v", "error", "-nostdin", "-i", path_, "-map", "0:v:0",
                                   "-vf", select, "-vsync", "0", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"};
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot decode " + path_ + ": ffmpeg could not be started");
  }
  pid_ = pid;
  pipe_ = fdopen(fds[0], "rb");
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
  if (!pipe_ || index < next_ || index > next_ + 48)
    start(index);

  const int w = header_.width, h = header_.height;
  const size_t area = size_t(w) * h;
  std::vector<uint8_t> raw(area * 3);
  while (next_ <= index) {
    if (std::fread(raw.data(), 1, raw.size(), pipe_) != raw.size()) {
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
      const uint8_t* src = raw.data() + size_t(h - 1 - row) * w * 3 + c;
      float* dst = img.pixels.data() + c * area + size_t(row) * w;
      for (int x = 0; x < w; ++x)
        dst[x] = srgbToLinear(float(src[size_t(x) * 3]) / 255.0f);
    }
  recent_[index] = img;
  while (recent_.size() > kRecentFrames)
    recent_.erase(recent_.begin());
  return img;
}

} // namespace HostLayer
