#include "cli/output/Timecode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// "HH:MM:SS:FF" (";" before the frames when drop frame) as OpenEXR packs it, and back.
uint32_t pack(int h, int m, int s, int f, bool drop = false)
{
  auto bcd = [](int v) { return uint32_t((v % 10) | ((v / 10) << 4)); };
  return (bcd(h) << 24) | (bcd(m) << 16) | (bcd(s) << 8) | bcd(f) | (drop ? 1u << 6 : 0u);
}

std::string text(uint32_t p)
{
  auto digits = [p](int shift, int tens) { return int((p >> shift) & 0xf) + 10 * int((p >> (shift + 4)) & tens); };
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%02d", digits(24, 3), digits(16, 7), digits(8, 7),
                (p & (1u << 6)) ? ';' : ':', digits(0, 3));
  return buf;
}

} // namespace

TEST(Timecode, AdvancesAtTheNominalRateAndWrapsAtADay)
{
  EXPECT_EQ(text(cli::advanceTimecode(pack(1, 0, 0, 23), 1, 24.0)), "01:00:01:00");
  EXPECT_EQ(text(cli::advanceTimecode(pack(1, 0, 0, 23), 1, 23.976)), "01:00:01:00");
  EXPECT_EQ(text(cli::advanceTimecode(pack(10, 59, 59, 24), 1, 25.0)), "11:00:00:00");
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 0, 0, 0), -1, 24.0)), "23:59:59:23");
  EXPECT_EQ(text(cli::advanceTimecode(pack(23, 59, 59, 23), 2, 24.0)), "00:00:00:01");
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 0, 10, 5), -5 - 24 * 10, 24.0)), "00:00:00:00");
  // User bits and flags other than the digits stay.
  const uint32_t flags = (1u << 7) | (1u << 31);
  EXPECT_EQ(cli::advanceTimecode(pack(1, 2, 3, 4) | flags, 1, 24.0) & flags, flags);
}

TEST(Timecode, DropFrameSkipsTheNumbersItSkips)
{
  // Frames 00 and 01 do not exist at the start of a minute, except every tenth.
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 0, 59, 29, true), 1, 29.97)), "00:01:00;02");
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 1, 0, 2, true), -1, 29.97)), "00:00:59;29");
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 9, 59, 29, true), 1, 29.97)), "00:10:00;00");
  // An hour of drop-frame timecode is 107892 frames.
  EXPECT_EQ(text(cli::advanceTimecode(pack(1, 0, 0, 0, true), 107892, 29.97)), "02:00:00;00");
  // At 59.94 the digits count pairs of frames.
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 0, 0, 0, true), 4, 59.94)), "00:00:00;02");
  EXPECT_EQ(text(cli::advanceTimecode(pack(0, 0, 59, 29, true), 2, 59.94)), "00:01:00;02");
}

TEST(Timecode, ReadsTheTimecodesMoviesCarry)
{
  EXPECT_EQ(cli::parseTimecode("01:00:10:05"), pack(1, 0, 10, 5));
  EXPECT_EQ(cli::parseTimecode("00:01:00;02"), pack(0, 1, 0, 2, true));
  EXPECT_EQ(cli::parseTimecode("23:59:59.29"), pack(23, 59, 59, 29, true));
  for (const char* bad : {"", "1:00", "24:00:00:00", "01:60:00:00", "01:00:00:00x", "01-00-00-00", "aa:bb:cc:dd"})
    EXPECT_FALSE(cli::parseTimecode(bad)) << bad;
}

TEST(Timecode, WritesTheTextMoviesCarry)
{
  EXPECT_EQ(cli::timecodeText(pack(1, 0, 10, 5), 24.0), "01:00:10:05");
  EXPECT_EQ(cli::timecodeText(pack(0, 1, 0, 2, true), 29.97), "00:01:00;02");
  // Above 30 frames a second the packed digits count pairs; movies count frames.
  EXPECT_EQ(cli::timecodeText(pack(10, 0, 0, 12), 50.0), "10:00:00:24");
  // What a movie's tag reads back as, it writes again.
  EXPECT_EQ(cli::timecodeText(*cli::parseTimecode("23:59:59:23"), 24.0), "23:59:59:23");
}
