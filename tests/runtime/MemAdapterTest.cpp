#include "runtime/MemAdapter.h"

#include <gtest/gtest.h>

#include <vector>

TEST(MemAdapter, ReadsWithinTheBytesOnly)
{
  const unsigned char bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const MemAdapter adapter(bytes, sizeof bytes);
  EXPECT_EQ(adapter.size(), 10u);

  std::vector<unsigned char> buf(16, 0xEE);
  EXPECT_EQ(adapter.read(2, buf.data(), 4, "record"), 4u);
  EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 5), (std::vector<unsigned char>{2, 3, 4, 5, 0xEE}));

  // Past the end: only what remains.
  buf.assign(16, 0xEE);
  EXPECT_EQ(adapter.read(7, buf.data(), 16), 3u);
  EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + 4), (std::vector<unsigned char>{7, 8, 9, 0xEE}));

  buf.assign(16, 0xEE);
  EXPECT_EQ(adapter.read(10, buf.data(), 4), 0u);
  EXPECT_EQ(adapter.read(1ull << 40, buf.data(), 4), 0u);
  EXPECT_EQ(buf[0], 0xEE);
}
