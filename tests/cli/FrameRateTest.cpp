#include "cli/options/FrameRate.h"

#include <gtest/gtest.h>

namespace {

std::string parsed(const std::string& text)
{
  const std::optional<cli::FrameRate> rate = cli::parseFrameRate(text);
  return rate ? rate->text() : "refused";
}

} // namespace

TEST(FrameRate, ReadsWholeFractionalAndNtscRates)
{
  EXPECT_EQ(parsed("25"), "25");
  EXPECT_EQ(parsed("24000/1001"), "24000/1001");
  EXPECT_EQ(parsed("48/2"), "24");
  EXPECT_EQ(parsed("12.5"), "25/2");
  // The NTSC rates as people write them are the exact N*1000/1001.
  EXPECT_EQ(parsed("23.976"), "24000/1001");
  EXPECT_EQ(parsed("23.98"), "24000/1001");
  EXPECT_EQ(parsed("29.97"), "30000/1001");
  EXPECT_EQ(parsed("59.94"), "60000/1001");
  // Near one of them, but not it.
  EXPECT_EQ(parsed("24.5"), "49/2");
  EXPECT_EQ(parsed("24.0"), "24");
  for (const char* bad : {"", "0", "0/1", "24/0", "-24", "fast", "24fps", "1e3", "1001", "0.5", "24/1/1"})
    EXPECT_EQ(parsed(bad), "refused") << bad;
  EXPECT_EQ(cli::parseFrameRate("30000/1001")->decimal(), "29.97");
  EXPECT_EQ(cli::parseFrameRate("24000/1001")->decimal(), "23.976");
  EXPECT_EQ(cli::parseFrameRate("25")->decimal(), "25");
}
