#include "HostLayer/Read.h"

#include "HeaderCache.h"

#include "DDImage/Iop.h"
#include "HostLayer/ColorSpaces.h"
#include "HostLayer/DecodeLimits.h"
#include "HostLayer/ImageFile.h"
#include "HostLayer/MovieDecoder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

using namespace DD::Image;

namespace HostLayer {

namespace {

bool fileExists(const std::string& path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Why `path` cannot be read as an image file, or "" when it is a regular
// file or missing (the caller says "missing" in its own words).
std::string pathProblem(const std::string& path)
{
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return "";
    if (errno == ENAMETOOLONG)
      return "the path is longer than the system allows (" + std::to_string(path.size()) +
             " characters, or a name of more than 255)";
    return std::strerror(errno);
  }
  if (S_ISREG(st.st_mode))
    return "";
  const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                  : "not a file";
  return std::string("not a regular file (") + kind + ")";
}

// A pattern no file matches: its folder may be the reason.
std::string noMatchReason(const std::string& pattern, const SequencePattern& p)
{
  const std::string dir = sequenceFolder(p);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 && errno == ENAMETOOLONG)
    return "cannot read " + pattern + ": " + pathProblem(dir);
  return "no file matches " + pattern;
}

// Copies a box and channels of image data (host layout, its bottom-left
// pixel at `data`'s) into a plane; zeros outside the data.
void fillPlane(ImagePlane& plane, const std::vector<Channel>& chans, const float* pixels, const Box& data)
{
  plane.makeWritable();
  const int w = data.w(), h = data.h();
  // The plane's bounds in the image's own coordinates.
  const Box b(plane.bounds().x() - data.x(), plane.bounds().y() - data.y(), plane.bounds().r() - data.x(),
              plane.bounds().t() - data.y());
  const int x0 = std::max(b.x(), 0), x1 = std::min(b.r(), w);
  const int y0 = std::max(b.y(), 0), y1 = std::min(b.t(), h);
  // Zeros for what the image does not cover, and for channels it lacks.
  bool covered = x0 == b.x() && x1 == b.r() && y0 == b.y() && y1 == b.t();
  int present = 0, listed = 0;
  for (Channel c : plane.channels()) {
    if (listed++ >= plane.nComps())
      break;
    present += std::find(chans.begin(), chans.end(), c) != chans.end();
  }
  covered = covered && present == plane.nComps();
  if (!covered)
    std::fill(plane.writable(), plane.writable() + plane.bufferSize(), 0.0f);
  int z = 0;
  for (Channel c : plane.channels()) {
    if (z >= plane.nComps())
      break;
    auto it = std::find(chans.begin(), chans.end(), c);
    if (it != chans.end() && x0 < x1 && y0 < y1) {
      const float* src = pixels + size_t(it - chans.begin()) * size_t(w) * h;
      for (int y = y0; y < y1; ++y) {
        float* dst = plane.writable() + (y - b.y()) * plane.rowStride() + z * plane.chanStride();
        if (plane.colStride() == 1) {
          std::memcpy(dst + (x0 - b.x()), src + size_t(y) * w + x0, size_t(x1 - x0) * sizeof(float));
          continue;
        }
        for (int x = x0; x < x1; ++x)
          dst[(x - b.x()) * plane.colStride()] = src[size_t(y) * w + x];
      }
    }
    ++z;
  }
}

struct ReadSource {
  SequencePattern pattern;
  std::shared_ptr<MovieDecoder> movie;  // movies only
  std::string colorSpace;               // of the files' pixels; empty: each file's default
  int first = 1;
  int last = 1;
  std::vector<int> frames;
  mutable HeaderCache headers;  // of the sequence's files
};

class ReadOp : public Iop, public SourceFrameReader {
public:
  ReadOp(Node* node, std::shared_ptr<const ReadSource> source) : Iop(node), source_(std::move(source)) {}
  const char* Class() const override { return "Read"; }
  const char* node_help() const override { return "Reads an image sequence or a movie."; }
  int minimum_inputs() const override { return 0; }
  int maximum_inputs() const override { return 0; }

  void _validate(bool) override
  {
    const ReadSource& s = *source_;
    int f = int(std::lround(outputContext().frame()));
    f = std::clamp(f, s.first, s.last);
    frame_ = f;
    // The sequence's range holds even where this frame cannot be read: the
    // frames after it map as they would.
    info_.first_frame(s.first);
    info_.last_frame(s.last);
    if (s.pattern.movie) {
      path_ = s.pattern.text;
      subimage_ = f - 1;
    } else {
      path_ = frameFileName(s.pattern, f);
      subimage_ = 0;
      const std::string problem = pathProblem(path_);
      if (!problem.empty()) {
        error("Read: frame %d: cannot read %s: %s", f, path_.c_str(), problem.c_str());
        return;
      }
      if (!std::binary_search(s.frames.begin(), s.frames.end(), f) || !fileExists(path_)) {
        error("Read: missing frame %d: %s", f, path_.c_str());
        return;
      }
    }
    ImageHeader h;
    Box data;
    try {
      DecodeScope decoding(path_);
      h = s.movie ? s.movie->header() : s.headers.header(path_, subimage_);
    } catch (const std::exception& e) {
      error("Read: %s", e.what());
      return;
    }
    try {
      data = dataBox(h);
    } catch (const std::exception& e) {
      error("Read: %s: %s", path_.c_str(), e.what());
      return;
    }
    exr_ = h.exr;
    info_.set(data);
    info_.format(displayFormat(h));
    ChannelSet cs;
    for (Channel c : h.channels)
      cs += c;
    info_.channels(cs);
  }

  void fetchPlane(ImagePlane& plane) override
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!loaded_) {
      try {
        DecodeScope decoding(path_);
        image_ = source_->movie ? source_->movie->frame(subimage_) : readImageFile(path_, subimage_, source_->colorSpace);
      } catch (const std::exception& e) {
        error("Read: %s", e.what());
        throw std::runtime_error(std::string("Read: ") + e.what());
      }
      if (!sameWindow(image_.header)) {
        error("Read: %s changed size while reading", path_.c_str());
        throw std::runtime_error("Read: " + path_ + " changed size while reading");
      }
      loaded_ = true;
      bytes_ = image_.pixels.size() * sizeof(float);
    }
    fillPlane(plane, image_.header.channels, image_.pixels.data(), info_.box());
  }

  // Reads the pixels ahead of their use. A failure is left to fetchPlane,
  // which meets it again and reports it.
  void preload()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_ || source_->movie || path_.empty())
      return;
    try {
      DecodeScope decoding(path_);
      ImageData image = readImageFile(path_, subimage_, source_->colorSpace);
      if (sameWindow(image.header)) {
        image_ = std::move(image);
        loaded_ = true;
        bytes_ = image_.pixels.size() * sizeof(float);
      }
    } catch (const std::exception&) {
    }
  }

  // Whether a decoded image has the windows the validation saw.
  bool sameWindow(const ImageHeader& h) const
  {
    try {
      const Box b = dataBox(h);
      return b.x() == info_.x() && b.y() == info_.y() && b.r() == info_.r() && b.t() == info_.t();
    } catch (const std::exception&) {
      return false;
    }
  }

  const std::string& path() const { return path_; }
  std::optional<SourceFrame> sourceFrame() const override
  {
    if (path_.empty())
      return std::nullopt;
    return SourceFrame{path_, frame_, subimage_, source_->pattern.movie, exr_};
  }

  // The decoded pixels held, 0 until the image is read.
  size_t bytes() const { return bytes_; }

private:
  std::shared_ptr<const ReadSource> source_;
  std::string path_;
  int frame_ = 0;
  int subimage_ = 0;
  std::shared_ptr<const ExrLayout> exr_;  // of the header validated
  std::mutex mutex_;
  bool loaded_ = false;
  ImageData image_;
  std::atomic<size_t> bytes_{0};
};

} // namespace

bool parseSequencePattern(const std::string& text, SequencePattern& out, std::string& why)
{
  SequencePattern p;
  p.text = text;
  size_t slash = text.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t hash = text.find('#', nameStart);
  size_t pct = text.find('%', nameStart);
  if (hash != std::string::npos && pct != std::string::npos) {
    why = "the pattern has both '#' and '%' frame placeholders";
    return false;
  }
  if (hash != std::string::npos) {
    size_t end = text.find_first_not_of('#', hash);
    if (end == std::string::npos)
      end = text.size();
    if (text.find('#', end) != std::string::npos) {
      why = "the pattern has more than one frame placeholder";
      return false;
    }
    p.prefix = text.substr(0, hash);
    p.suffix = text.substr(end);
    p.padding = int(end - hash);
  } else if (pct != std::string::npos) {
    // %d, %4d or %04d
    size_t i = pct + 1;
    std::string width;
    while (i < text.size() && isdigit((unsigned char)text[i]))
      width += text[i++];
    if (i >= text.size() || text[i] != 'd' || width.size() > 2) {
      why = "the frame placeholder must read %d or %0Nd";
      return false;
    }
    if (text.find('%', i + 1) != std::string::npos) {
      why = "the pattern has more than one frame placeholder";
      return false;
    }
    p.prefix = text.substr(0, pct);
    p.suffix = text.substr(i + 1);
    p.padding = width.empty() ? 0 : std::stoi(width);
  } else {
    why = "no frame number placeholder ('####' or '%04d') in the name";
    return false;
  }
  if (p.padding > 9) {
    why = "frame number padding wider than 9 digits";
    return false;
  }
  out = p;
  return true;
}

std::string frameFileName(const SequencePattern& p, int frame)
{
  if (p.movie)
    return p.text;
  // Padding is at most 9 (the parser refuses more); frames are printed as 64-bit values.
  const int pad = std::clamp(p.padding, 0, 9);
  char digits[32];
  if (frame < 0)
    std::snprintf(digits, sizeof digits, "-%0*lld", std::max(0, pad - 1), -static_cast<long long>(frame));
  else
    std::snprintf(digits, sizeof digits, "%0*lld", pad, static_cast<long long>(frame));
  return p.prefix + digits + p.suffix;
}

std::string sequenceFolder(const SequencePattern& p)
{
  const size_t slash = p.prefix.rfind('/');
  return slash == std::string::npos ? "." : p.prefix.substr(0, slash == 0 ? 1 : slash);
}

std::string sequenceStem(const SequencePattern& p) { return p.prefix.substr(p.prefix.rfind('/') + 1); }

std::vector<int> findFrames(const SequencePattern& p)
{
  std::vector<int> frames;
  const size_t slash = p.prefix.rfind('/');
  const std::string namePrefix = sequenceStem(p);
  DIR* d = opendir(sequenceFolder(p).c_str());
  if (!d)
    return frames;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() <= namePrefix.size() + p.suffix.size() || n.compare(0, namePrefix.size(), namePrefix) != 0 ||
        n.compare(n.size() - p.suffix.size(), p.suffix.size(), p.suffix) != 0)
      continue;
    std::string digits = n.substr(namePrefix.size(), n.size() - namePrefix.size() - p.suffix.size());
    bool negative = !digits.empty() && digits[0] == '-';
    std::string body = negative ? digits.substr(1) : digits;
    if (body.empty() || body.size() > 9 || body.find_first_not_of("0123456789") != std::string::npos)
      continue;
    int frame = std::stoi(body) * (negative ? -1 : 1);
    // Only names printed with this padding belong to the sequence.
    if (frameFileName(p, frame) != (slash == std::string::npos ? n : p.prefix.substr(0, slash + 1) + n))
      continue;
    frames.push_back(frame);
  }
  closedir(d);
  std::sort(frames.begin(), frames.end());
  return frames;
}

std::unique_ptr<HostNode> createReadNode(const std::string& pattern, const std::string& name,
                                     const std::string& colorSpace)
{
  auto source = std::make_shared<ReadSource>();
  source->colorSpace = colorSpace.empty() ? colorSpace : checkedColorSpace(colorSpace);
  std::string why;
  if (parseSequencePattern(pattern, source->pattern, why)) {
    source->frames = findFrames(source->pattern);
    if (source->frames.empty())
      throw std::runtime_error(noMatchReason(pattern, source->pattern));
    source->first = source->frames.front();
    source->last = source->frames.back();
  } else if (const std::string problem = pathProblem(pattern); !problem.empty()) {
    throw std::runtime_error("cannot read " + pattern + ": " + problem);
  } else if (fileExists(pattern)) {
    // A movie, or a single image held for every frame.
    ImageHeader h = readImageHeader(pattern);
    source->pattern = SequencePattern{pattern, "", "", 0, true};
    source->first = 1;
    source->last = h.movie ? h.subimages : 1;
    if (h.movie)
      source->movie = std::make_shared<MovieDecoder>(pattern, colorSpace);
  } else {
    throw std::runtime_error(why + ": " + pattern);
  }
  std::shared_ptr<const ReadSource> shared = source;
  auto node = std::make_unique<HostNode>(name, [shared](Node* n) { return new ReadOp(n, shared); });
  node->setCacheMeasure([](const Op* op) { return static_cast<const ReadOp*>(op)->bytes(); });
  // Image sequences are read one frame ahead; a movie decodes in order anyway.
  if (!shared->movie && !shared->frames.empty())
    node->setReadAhead(
      [shared](double frame) {
        const double f = std::round(frame);
        return f == frame && std::binary_search(shared->frames.begin(), shared->frames.end(), int(f));
      },
      [](Op* op) { static_cast<ReadOp*>(op)->preload(); });
  return node;
}

} // namespace HostLayer
