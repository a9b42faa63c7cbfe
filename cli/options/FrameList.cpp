#include "cli/options/FrameList.h"

#include "HostLayer/TextPattern.h"

#include <algorithm>

namespace cli {

namespace {

void append(std::vector<int>& frames, long long first, long long last, long long step, const std::string& text)
{
  const long long count = (last - first) / step + 1;
  if (count + (long long)frames.size() > kMaxFrames)
    throw UsageError{"-F " + text, "more than " + std::to_string(kMaxFrames) + " frames"};
  for (long long f = first; f <= last; f += step)
    frames.push_back(int(f));
}

} // namespace

std::vector<int> parseFrameList(const std::string& text)
{
  static const HostLayer::TextPattern item("^\\s*(-?[0-9]{1,10})\\s*(?:-\\s*(-?[0-9]{1,10})\\s*(?:x\\s*([0-9]{1,10})\\s*)?)?$");
  std::vector<int> frames;
  size_t start = 0;
  do {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? std::string::npos : comma + 1;
    const auto m = item.match(part);
    if (!m)
      throw UsageError{"-F " + text, "expected frames like 1-100, 1-100x5 or 1,5,10-20"};
    const long long first = std::stoll(*(*m)[1]);
    const long long last = (*m)[2] ? std::stoll(*(*m)[2]) : first;
    const long long step = (*m)[3] ? std::stoll(*(*m)[3]) : 1;
    if (first < -2147483647LL || last > 2147483647LL || last < -2147483647LL || first > 2147483647LL)
      throw UsageError{"-F " + text, "a frame is out of range"};
    if (last < first)
      throw UsageError{"-F " + text, "the last frame comes before the first in '" + part + "'"};
    if (step < 1)
      throw UsageError{"-F " + text, "the step must be at least 1 in '" + part + "'"};
    append(frames, first, last, step, text);
  } while (start != std::string::npos);
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  return frames;
}

std::string formatFrameList(const std::vector<int>& frames)
{
  std::string text;
  for (size_t i = 0; i < frames.size();) {
    size_t j = i;
    while (j + 1 < frames.size() && (long long)frames[j + 1] == (long long)frames[j] + 1)
      ++j;
    text += (text.empty() ? "" : ",") + std::to_string(frames[i]);
    if (j > i)
      text += "-" + std::to_string(frames[j]);
    i = j + 1;
  }
  return text;
}

std::vector<int> framesOf(const FrameRange& range)
{
  const long long count = (long long)range.last - range.first + 1;
  if (count > kMaxFrames)
    throw UsageError{"output range " + std::to_string(range.first) + "-" + std::to_string(range.last),
                     std::to_string(count) + " frames is more than " + std::to_string(kMaxFrames) +
                       " (check speed, or render a part with -F)"};
  std::vector<int> frames;
  append(frames, range.first, range.last, 1, "");
  return frames;
}

} // namespace cli
