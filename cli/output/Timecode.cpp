#include "cli/output/Timecode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr uint32_t kDropFrame = 1u << 6;
// Every bit that is not a digit: drop frame, colour frame, field phase and the binary group flags.
constexpr uint32_t kFlags = (1u << 6) | (1u << 7) | (1u << 15) | (1u << 23) | (1u << 30) | (1u << 31);

int bcd(uint32_t packed, int shift, int tensBits)
{
  return int((packed >> shift) & 0xf) + 10 * int((packed >> (shift + 4)) & ((1u << tensBits) - 1));
}

uint32_t toBcd(int value, int shift) { return uint32_t((value % 10) | ((value / 10) << 4)) << shift; }

} // namespace

uint32_t advanceTimecode(uint32_t packed, long long frames, double fps)
{
  long long nominal = std::max(1LL, std::llround(fps > 0 ? fps : 24.0));
  // Above 30 frames a second the digits count pairs of frames.
  if (nominal > 30) {
    nominal /= 2;
    frames /= 2;
  }
  // Drop-frame counting skips 2 frame numbers a minute at 30 (4 at 60), except every tenth minute.
  const bool drop = (packed & kDropFrame) && nominal % 30 == 0;
  const long long skip = drop ? nominal / 15 : 0;
  const long long h = bcd(packed, 24, 2), m = bcd(packed, 16, 3), s = bcd(packed, 8, 3), f = bcd(packed, 0, 2);
  const long long minutes = 60 * h + m;
  const long long day = 24 * 3600 * nominal - skip * (24 * 60 - 24 * 6);
  long long count = ((3600 * h + 60 * m + s) * nominal + f - skip * (minutes - minutes / 10)) + frames;
  count = ((count % day) + day) % day;
  if (drop) {
    // Back from the count to frame numbers: add the numbers skipped before it.
    const long long perTen = 10 * 60 * nominal - 9 * skip, perMinute = 60 * nominal - skip;
    const long long tens = count / perTen, rest = count % perTen;
    count += 9 * skip * tens + (rest > skip ? skip * ((rest - skip) / perMinute) : 0);
  }
  const int ff = int(count % nominal), ss = int(count / nominal % 60), mm = int(count / nominal / 60 % 60),
            hh = int(count / nominal / 3600 % 24);
  return (packed & kFlags) | toBcd(hh, 24) | toBcd(mm, 16) | toBcd(ss, 8) | toBcd(ff, 0);
}

std::optional<uint32_t> parseTimecode(const std::string& text)
{
  int h = 0, m = 0, s = 0, f = 0;
  char c1 = 0, c2 = 0, c3 = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%2d%c%2d%c%2d%c%2d%n", &h, &c1, &m, &c2, &s, &c3, &f, &used) != 7 ||
      size_t(used) != text.size() || c1 != ':' || c2 != ':' || (c3 != ':' && c3 != ';' && c3 != '.'))
    return std::nullopt;
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || f < 0 || f > 39)
    return std::nullopt;
  return (c3 == ':' ? 0u : kDropFrame) | toBcd(h, 24) | toBcd(m, 16) | toBcd(s, 8) | toBcd(f, 0);
}

std::string timecodeText(uint32_t packed, double fps)
{
  const int pairs = std::llround(fps > 0 ? fps : 24.0) > 30 ? 2 : 1;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", bcd(packed, 24, 2), bcd(packed, 16, 3), bcd(packed, 8, 3),
                (packed & kDropFrame) ? ';' : ':', bcd(packed, 0, 2) * pairs);
  return text;
}

} // namespace cli
