#include "cli/output/Timecode.h"

#include <OpenEXR/ImfTimeCode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

// OpenEXR's packing: BCD digits with the drop-frame, colour-frame, field
// phase and binary-group flags; user bits travel apart.
constexpr Imf::TimeCode::Packing kPacking = Imf::TimeCode::TV60_PACKING;

uint32_t packed(const Imf::TimeCode& tc) { return tc.timeAndFlags(kPacking); }

} // namespace

uint32_t advanceTimecode(uint32_t timeAndFlags, long long frames, double fps)
{
  long long nominal = std::max(1LL, std::llround(fps > 0 ? fps : 24.0));
  // Above 30 frames a second the digits count pairs of frames.
  if (nominal > 30) {
    nominal /= 2;
    frames /= 2;
  }
  // Drop-frame counting skips 2 frame numbers a minute at 30 (4 at 60), except every tenth minute.
  Imf::TimeCode tc(timeAndFlags, 0, kPacking);
  const bool drop = tc.dropFrame() && nominal % 30 == 0;
  const long long skip = drop ? nominal / 15 : 0;
  const long long h = tc.hours(), m = tc.minutes(), s = tc.seconds(), f = tc.frame();
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
  tc.setFrame(int(count % nominal));
  tc.setSeconds(int(count / nominal % 60));
  tc.setMinutes(int(count / nominal / 60 % 60));
  tc.setHours(int(count / nominal / 3600 % 24));
  return packed(tc);
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
  return packed(Imf::TimeCode(h, m, s, f, c3 != ':'));
}

std::string timecodeText(uint32_t timeAndFlags, double fps)
{
  const Imf::TimeCode tc(timeAndFlags, 0, kPacking);
  const int pairs = std::llround(fps > 0 ? fps : 24.0) > 30 ? 2 : 1;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", tc.hours(), tc.minutes(), tc.seconds(),
                tc.dropFrame() ? ';' : ':', tc.frame() * pairs);
  return text;
}

} // namespace cli
