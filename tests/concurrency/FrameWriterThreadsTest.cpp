// One writer taking frames from several render threads.
#include "cli/output/FrameWriter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

using namespace DD::Image;
namespace fs = std::filesystem;

TEST(FrameWriterThreads, OneWriterTakesFramesFromSeveralThreads)
{
  testsupport::TempDir dir("tweenova-writer-threads");
  std::mutex mutex;
  std::vector<int> written;
  {
    cli::FrameWriter writer(cli::WriteSettings{}, 2,
                            [&](int frame, const std::string&, double, const std::string& error) {
                              EXPECT_TRUE(error.empty()) << error;
                              std::lock_guard<std::mutex> lock(mutex);
                              written.push_back(frame);
                            });
    std::vector<std::thread> pool;
    for (int t = 0; t < 3; ++t)
      pool.emplace_back([&, t] {
        for (int f = 1 + t; f <= 12; f += 3) {
          ImagePlane plane(Box(0, 0, 32, 16), true, Mask_RGB, 3);
          plane.makeWritable();
          std::fill(plane.writable(), plane.writable() + plane.bufferSize(), 0.05f * float(f));
          writer.submit(f, (dir.path / ("out." + std::to_string(f) + ".exr")).string(), std::move(plane),
                        cli::FrameWriter::Clock::now());
        }
      });
    for (std::thread& t : pool)
      t.join();
  }
  std::sort(written.begin(), written.end());
  ASSERT_EQ(written.size(), 12u);
  for (int f = 1; f <= 12; ++f) {
    EXPECT_EQ(written[size_t(f - 1)], f);
    EXPECT_TRUE(fs::exists(dir.path / ("out." + std::to_string(f) + ".exr"))) << f;
  }
}
