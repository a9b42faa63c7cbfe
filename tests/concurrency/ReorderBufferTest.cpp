// Frames finished out of order by several threads, taken in order by one.
#include "cli/output/ReorderBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(ReorderBuffer, ItemsFromManyThreadsComeOutInOrderWithFewWaiting)
{
  constexpr size_t kItems = 2000, kCapacity = 4;
  cli::ReorderBuffer<size_t> buffer(kCapacity);
  std::atomic<size_t> next{0}, taken{0};
  std::atomic<size_t> furthestAhead{0};
  auto producer = [&](unsigned seed) {
    std::mt19937 jitter(seed);
    for (size_t i; (i = next++) < kItems;) {
      std::this_thread::sleep_for(std::chrono::microseconds(jitter() % 200));
      ASSERT_TRUE(buffer.put(i, i * 10));
      // Once kept, an item is less than kCapacity places ahead of the next one taken.
      const size_t ahead = i - std::min(i, taken.load());
      size_t seen = furthestAhead.load();
      while (ahead > seen && !furthestAhead.compare_exchange_weak(seen, ahead)) {
      }
    }
  };
  std::vector<std::thread> producers;
  for (unsigned t = 0; t < 6; ++t)
    producers.emplace_back(producer, t);
  for (size_t i = 0; i < kItems; ++i) {
    const std::optional<size_t> item = buffer.take();
    ASSERT_TRUE(item);
    ASSERT_EQ(*item, i * 10);
    taken = i + 1;
    // A slow moment of the taker lets the others run ahead, as far as they may.
    if (i % 100 == 0)
      std::this_thread::sleep_for(2ms);
  }
  for (std::thread& t : producers)
    t.join();
  EXPECT_LE(furthestAhead.load(), kCapacity);
}

TEST(ReorderBuffer, AnItemTooFarAheadWaitsAndClosingReleasesEveryone)
{
  cli::ReorderBuffer<int> buffer(2);
  auto farAhead = std::async(std::launch::async, [&] { return buffer.put(3, 3); });
  EXPECT_EQ(farAhead.wait_for(50ms), std::future_status::timeout);
  ASSERT_TRUE(buffer.put(0, 0));
  ASSERT_TRUE(buffer.put(1, 1));
  EXPECT_EQ(buffer.take(), 0);
  EXPECT_EQ(farAhead.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(buffer.take(), 1);
  EXPECT_TRUE(farAhead.get());

  // The item taken next is missing (its frame failed): closing wakes the
  // taker and drops what waits and what comes.
  auto waiting = std::async(std::launch::async, [&] { return buffer.take(); });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  buffer.close();
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(buffer.put(2, 2));
  EXPECT_FALSE(buffer.take());
}
