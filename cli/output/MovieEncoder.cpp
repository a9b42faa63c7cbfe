#include "cli/output/MovieEncoder.h"

#include <stdexcept>

namespace cli {

MovieEncoder::MovieEncoder(const MovieSettings& settings, const std::string& timecode)
    : what_("cannot write the movie"), file_(settings.path)
{
  ffmpeg_ = HostLayer::startFedChild(ffmpegArguments(settings, timecode, "/dev/fd/3"), what_, file_.descriptor());
}

MovieEncoder::~MovieEncoder() { HostLayer::endFedChild(ffmpeg_); }

bool MovieEncoder::write(const void* data, size_t size) { return HostLayer::feedChild(ffmpeg_, data, size); }

void MovieEncoder::finish()
{
  HostLayer::finishFedChild(ffmpeg_, what_);
  try {
    file_.commit();
  } catch (const std::exception& e) {
    throw std::runtime_error(what_ + ": " + e.what());
  }
}

std::string MovieEncoder::failure()
{
  try {
    HostLayer::finishFedChild(ffmpeg_, what_);
  } catch (const std::exception& e) {
    file_.discard();
    return e.what();
  }
  file_.discard();
  return what_ + ": ffmpeg stopped taking frames";
}

void MovieEncoder::stop() { HostLayer::stopFeeding(ffmpeg_); }

} // namespace cli
