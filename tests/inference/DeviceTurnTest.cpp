#include "inference/Autocast.h"
#include "inference/DeviceTurn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

TEST(DeviceTurn, PassesOnOneDeviceTakeTurnsAndOtherDevicesDoNotWait)
{
  std::atomic<bool> secondHasTurn{false}, otherDeviceHasTurn{false};
  std::thread second, other;
  {
    DeviceTurn first(0);
    second = std::thread([&] {
      DeviceTurn turn(0);
      secondHasTurn = true;
    });
    other = std::thread([&] {
      DeviceTurn turn(1);
      otherDeviceHasTurn = true;
    });
    other.join();
    EXPECT_TRUE(otherDeviceHasTurn);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(secondHasTurn);
  }
  second.join();
  EXPECT_TRUE(secondHasTurn);
}

TEST(Autocast, TheThreadsStateComesBackOnEveryExit)
{
  at::autocast::set_autocast_enabled(at::kCUDA, false);
  at::autocast::set_autocast_dtype(at::kCUDA, at::kHalf);
  try {
    Autocast on(at::kCUDA, true, at::kBFloat16);
    EXPECT_TRUE(at::autocast::is_autocast_enabled(at::kCUDA));
    EXPECT_EQ(at::autocast::get_autocast_dtype(at::kCUDA), at::kBFloat16);
    throw std::runtime_error("a pass that fails");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCUDA));
  EXPECT_EQ(at::autocast::get_autocast_dtype(at::kCUDA), at::kHalf);

  // A caller's own autocast is what comes back, not "off".
  at::autocast::set_autocast_enabled(at::kCUDA, true);
  at::autocast::set_autocast_dtype(at::kCUDA, at::kBFloat16);
  { Autocast off(at::kCUDA, false, at::kHalf); EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCUDA)); }
  EXPECT_TRUE(at::autocast::is_autocast_enabled(at::kCUDA));
  EXPECT_EQ(at::autocast::get_autocast_dtype(at::kCUDA), at::kBFloat16);
  at::autocast::set_autocast_enabled(at::kCUDA, false);
  at::autocast::set_autocast_dtype(at::kCUDA, at::kHalf);
}
