#include "device/FrameFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace devicecheck {

namespace {

constexpr const char* kMagic = "tweenova-frames";
constexpr int kVersion = 1;
constexpr int kMaxSide = 16384;

struct Header {
  int width = 0, height = 0, count = 0;
};

// "tweenova-frames 1 WIDTH HEIGHT COUNT"; an empty string when valid, else why not.
std::string parseHeader(const std::string& line, Header& h)
{
  std::istringstream in(line);
  std::string magic;
  int version = 0;
  if (!(in >> magic >> version >> h.width >> h.height >> h.count) || magic != kMagic)
    return "not a frame file (its first line reads \"" + line.substr(0, 40) + "\")";
  if (version != kVersion)
    return "format version " + std::to_string(version) + ", this program reads " + std::to_string(kVersion);
  if (h.width < 1 || h.height < 1 || h.width > kMaxSide || h.height > kMaxSide)
    return "impossible size " + std::to_string(h.width) + "x" + std::to_string(h.height);
  if (h.count != 2 && h.count != 3)
    return "holds " + std::to_string(h.count) + " frames, expected 2 or 3";
  return {};
}

// "dir/name.frames" -> "name".
std::string stem(const std::string& path)
{
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.substr(0, name.find_last_of('.'));
}

long long pixels(const FrameSet& s) { return (long long)s.first.width * s.first.height; }

bool fewerPixels(const FrameSet& a, const FrameSet& b) { return pixels(a) < pixels(b); }

bool endsWith(const std::string& s, const std::string& tail)
{
  return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

FrameSet readFrameSet(const std::string& path)
{
  auto failure = [&](const std::string& why) { return std::runtime_error("cannot read " + path + ": " + why); };
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw failure("no such file or no permission");
  std::string line;
  std::getline(in, line);
  Header h;
  if (const std::string why = parseHeader(line, h); !why.empty())
    throw failure(why);

  std::vector<Image> images;
  for (int i = 0; i < h.count; ++i) {
    Image image(h.width, h.height);
    in.read(reinterpret_cast<char*>(image.planes.data()), std::streamsize(image.planes.size() * sizeof(float)));
    if (!in)
      throw failure("truncated in frame " + std::to_string(i + 1) + " of " + std::to_string(h.count));
    images.push_back(std::move(image));
  }
  if (in.peek() != std::ifstream::traits_type::eof())
    throw failure("data after the last frame");

  FrameSet set{stem(path), std::move(images[0]), std::move(images[1]), std::nullopt};
  if (h.count == 3)
    set.middle = std::move(images[2]);
  return set;
}

std::vector<FrameSet> readFrameSets(const std::string& folder)
{
  DIR* dir = opendir(folder.c_str());
  if (!dir)
    throw std::runtime_error("cannot list " + folder + ": " + std::strerror(errno));
  std::vector<std::string> paths;
  while (const dirent* entry = readdir(dir))
    if (endsWith(entry->d_name, ".frames"))
      paths.push_back(folder + "/" + entry->d_name);
  closedir(dir);
  if (paths.empty())
    throw std::runtime_error("no .frames file in " + folder);
  std::sort(paths.begin(), paths.end());
  std::vector<FrameSet> sets;
  for (const std::string& p : paths)
    sets.push_back(readFrameSet(p));
  return sets;
}

const FrameSet& largestSet(const std::vector<FrameSet>& sets)
{
  return *std::max_element(sets.begin(), sets.end(), fewerPixels);
}

const FrameSet& smallestSet(const std::vector<FrameSet>& sets)
{
  return *std::min_element(sets.begin(), sets.end(), fewerPixels);
}

} // namespace devicecheck
