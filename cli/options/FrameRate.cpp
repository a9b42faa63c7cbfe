#include "cli/options/FrameRate.h"

#include "HostLayer/TextPattern.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace cli {

namespace {

constexpr double kLowest = 1.0;
constexpr double kHighest = 1000.0;

std::optional<FrameRate> reduced(long long numerator, long long denominator)
{
  if (numerator <= 0 || denominator <= 0)
    return std::nullopt;
  const long long common = std::gcd(numerator, denominator);
  const FrameRate rate{int(numerator / common), int(denominator / common)};
  if (rate.value() < kLowest || rate.value() > kHighest)
    return std::nullopt;
  return rate;
}

// 23.976 and 23.98 are 24000/1001, as 29.97 is 30000/1001: a decimal within
// 0.005 of such a rate, and not a whole number itself, means it.
std::optional<FrameRate> ntscRate(double value)
{
  const long long nominal = std::llround(value * 1.001);
  if (std::fabs(value - std::round(value)) < 1e-9 || std::fabs(value - nominal / 1.001) > 0.005)
    return std::nullopt;
  return reduced(nominal * 1000, 1001);
}

} // namespace

std::string FrameRate::text() const
{
  return denominator == 1 ? std::to_string(numerator) : std::to_string(numerator) + "/" + std::to_string(denominator);
}

std::string FrameRate::decimal() const
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", value());
  std::string s = buf;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.')
    s.pop_back();
  return s;
}

std::optional<FrameRate> parseFrameRate(const std::string& text)
{
  static const HostLayer::TextPattern fraction("([0-9]{1,9})/([0-9]{1,9})");
  static const HostLayer::TextPattern decimal("([0-9]{1,4})(\\.([0-9]{1,6}))?");
  if (const auto m = fraction.match(text))
    return reduced(std::stoll(*(*m)[1]), std::stoll(*(*m)[2]));
  const auto m = decimal.match(text);
  if (!m)
    return std::nullopt;
  const std::string digits = (*m)[3].value_or("");
  long long scale = 1;
  for (size_t i = 0; i < digits.size(); ++i)
    scale *= 10;
  const long long numerator = std::stoll(*(*m)[1]) * scale + (digits.empty() ? 0 : std::stoll(digits));
  if (std::optional<FrameRate> ntsc = ntscRate(double(numerator) / double(scale)))
    return ntsc;
  return reduced(numerator, scale);
}

std::optional<FrameRate> frameRateOf(const OIIO::ImageSpec& desc)
{
  const OIIO::ParamValue* fps = desc.find_attribute("FramesPerSecond");
  if (!fps || fps->type() != OIIO::TypeRational)
    return std::nullopt;
  const int* r = static_cast<const int*>(fps->data());
  return reduced(r[0], r[1]);
}

std::optional<FrameRate> frameRateOf(const SourceClock& clock)
{
  if (!clock.framesPerSecond)
    return std::nullopt;
  return reduced(clock.framesPerSecond->first, clock.framesPerSecond->second);
}

} // namespace cli
