// Writing behind the render: every frame reported once, in the order given, failures included.
#include "cli/output/FrameWriter.h"

#include "DDImage/ChannelSet.h"
#include "support/TempDir.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

ImagePlane filledPlane(float value)
{
  ImagePlane plane(Box(0, 0, 16, 8), true, Mask_RGB, 3);
  plane.makeWritable();
  std::fill(plane.writable(), plane.writable() + plane.bufferSize(), value);
  return plane;
}

} // namespace

TEST(FrameWriter, WritesEveryFrameInTurnAndReportsFailures)
{
  const testsupport::TempDir folder("tweenova-writer");
  const fs::path& dir = folder.path;
  struct Report {
    int frame;
    std::string path, error;
  };
  std::mutex mutex;
  std::vector<Report> reports;
  {
    cli::FrameWriter writer(cli::WriteSettings{}, 1, [&](int frame, const std::string& path, double seconds,
                                                         const std::string& error) {
      EXPECT_GE(seconds, 0.0);
      std::lock_guard<std::mutex> lock(mutex);
      reports.push_back({frame, path, error});
    });
    const auto now = cli::FrameWriter::Clock::now();
    for (int f = 1; f <= 5; ++f) {
      const fs::path path = f == 3 ? dir / "gone" / "out.0003.exr" : dir / ("out.000" + std::to_string(f) + ".exr");
      writer.submit(f, path.string(), filledPlane(0.1f * float(f)), now);
    }
    writer.finish();
  }
  ASSERT_EQ(reports.size(), 5u);
  for (int f = 1; f <= 5; ++f) {
    const Report& r = reports[size_t(f - 1)];
    EXPECT_EQ(r.frame, f);
    if (f == 3) {
      EXPECT_NE(r.error.find("cannot write " + r.path), std::string::npos) << r.error;
      continue;
    }
    EXPECT_TRUE(r.error.empty()) << r.error;
    auto in = OIIO::ImageInput::open(r.path);
    ASSERT_TRUE(in) << r.path;
    float px[3] = {};
    ASSERT_TRUE(in->read_scanline(0, 0, OIIO::TypeDesc::FLOAT, px));
    EXPECT_NEAR(px[1], 0.1f * float(f), 1e-3f);
  }
}
