#include "cli/output/MovieWriter.h"

#include "cli/output/OutputMetadata.h"
#include "cli/output/Timecode.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

using namespace DD::Image;

namespace cli {

namespace {

// The frame as 16-bit samples of red, green, blue (and alpha), encoded in
// the movie's colour space, clipped to 0-1, top row first.
std::vector<uint16_t> videoSamples(const ImagePlane& plane, const Format& format, const MovieSettings& settings)
{
  if (format.width != settings.width || format.height != settings.height)
    throw std::runtime_error("the frame is " + std::to_string(format.width) + "x" + std::to_string(format.height) +
                             ", the movie's frames are " + std::to_string(settings.width) + "x" +
                             std::to_string(settings.height));
  std::vector<Channel> chans = {Chan_Red, Chan_Green, Chan_Blue};
  if (settings.alpha)
    chans.push_back(Chan_Alpha);
  std::vector<float> pixels = interleaved(plane, chans, Box(0, 0, settings.width, settings.height));
  encodeColor(pixels, chans, settings.colorSpace, true);
  std::vector<uint16_t> samples(pixels.size());
  std::transform(pixels.begin(), pixels.end(), samples.begin(),
                 [](float v) { return uint16_t(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); });
  return samples;
}

// The timecode of the movie's first frame: that of the source its frame
// comes from, moved on to the frame; empty when the source has none.
std::string startTimecode(const FrameContext& context)
{
  const std::optional<uint32_t> tc = outputTimecode(context.clock, context.framesAfterSource);
  if (!tc)
    return {};
  const std::optional<FrameRate> rate = frameRateOf(context.clock);
  return timecodeText(*tc, rate ? rate->value() : 24.0);
}

} // namespace

MovieWriter::MovieWriter(const MovieSettings& settings, size_t frames, size_t capacity, Done done)
    : settings_(settings), frames_(frames), done_(std::move(done)), waiting_(capacity), thread_([this] { run(); })
{
}

MovieWriter::~MovieWriter()
{
  if (thread_.joinable() || encoder_)
    abandon();
}

void MovieWriter::submit(size_t index, int frame, ImagePlane plane, Clock::time_point started, FrameContext context)
{
  waiting_.put(index, Job{frame, std::move(plane), started, std::move(context)});
}

void MovieWriter::fail(int frame) { breakOff("frame " + std::to_string(frame) + " could not be rendered"); }

bool MovieWriter::intact() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_.empty();
}

void MovieWriter::breakOff(const std::string& why)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty())
      failure_ = why;
    if (encoder_)
      encoder_->stop();
  }
  waiting_.close();
}

std::string MovieWriter::finish()
{
  if (thread_.joinable())
    thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (encoderStopped_) {
    failure_ = encoder_->failure();
    encoderStopped_ = false;
  } else if (failure_.empty() && (encoded_ < frames_ || !encoder_)) {
    failure_ = "only " + std::to_string(encoded_) + " of its " + std::to_string(frames_) + " frames were encoded";
  } else if (failure_.empty()) {
    try {
      encoder_->finish();
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
  }
  encoder_.reset();
  return failure_;
}

void MovieWriter::abandon()
{
  breakOff("the movie was abandoned");
  finish();
}

void MovieWriter::run()
{
  for (size_t i = 0; i < frames_; ++i) {
    std::optional<Job> job = waiting_.take();
    if (!job)
      return;
    std::string error;
    bool given = true;
    try {
      given = encode(*job);
    } catch (const std::exception& e) {
      error = e.what();
    }
    // A frame the movie was given up under is not one that failed.
    if (!given)
      return;
    job->plane = ImagePlane();
    done_(job->frame, settings_.path, std::chrono::duration<double>(Clock::now() - job->started).count(), error);
    if (!error.empty()) {
      breakOff("frame " + std::to_string(job->frame) + " could not be encoded: " + error);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++encoded_;
  }
}

bool MovieWriter::encode(const Job& job)
{
  const std::vector<uint16_t> samples = videoSamples(job.plane, job.context.format, settings_);
  if (!encoder_) {
    auto encoder = std::make_unique<MovieEncoder>(settings_, startTimecode(job.context));
    std::lock_guard<std::mutex> lock(mutex_);
    encoder_ = std::move(encoder);
    if (!failure_.empty())
      return false;
  }
  if (encoder_->write(samples.data(), samples.size() * sizeof(uint16_t)))
    return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failure_.empty())
    return false;
  encoderStopped_ = true;
  throw std::runtime_error("ffmpeg took no more frames");
}

} // namespace cli
