// The threads around the render: a reader node reading ahead while render
// threads fetch from it, and one writer taking frames from several threads.
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "cli/FrameWriter.h"
#include "networks/TestNetworks.h"
#include "support/RetimeRig.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace DD::Image;
using testsupport::RetimeRig;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("tweenova-sequence-io-" + std::to_string(::getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
};

float moving(Channel z, int x, int y, double frame)
{
  const double u = (x - 3.0 * frame) * 0.3, v = y * 0.21;
  return float(0.5 + 0.4 * std::sin(u + int(z)) * std::cos(v));
}

// Frames 1 ... n of the pattern as 16-bit RGBA TIFFs.
std::string writeSequence(const fs::path& dir, int w, int h, int n)
{
  for (int f = 1; f <= n; ++f) {
    std::vector<float> px(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c)
          px[(size_t(y) * w + x) * 4 + c] = moving(Channel(c + 1), x, y, f);
    const std::string path = (dir / ("src.000" + std::to_string(f) + ".tif")).string();
    auto out = OIIO::ImageOutput::create(path);
    EXPECT_TRUE(out && out->open(path, OIIO::ImageSpec(w, h, 4, OIIO::TypeDesc::UINT16)));
    EXPECT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px.data()));
    out->close();
  }
  return (dir / "src.####.tif").string();
}

std::vector<float> pixels(const HostLayer::RenderResult& r)
{
  const float* p = r.plane.readable();
  return std::vector<float>(p, p + r.plane.bufferSize());
}

} // namespace

TEST(SequenceIo, FramesReadAheadWhileThreadsRenderEqualFramesReadInTurn)
{
  testnetworks::ServeNetwork serve("blend");
  TempDir dir;
  const std::string pattern = writeSequence(dir.path, 40, 24, 9);
  // Readers outlive the rig, whose operators hold theirs.
  auto inTurn = HostLayer::createReadNode(pattern);
  auto ahead = HostLayer::createReadNode(pattern);
  RetimeRig rig(40, 24, 1, 9, Mask_RGBA, moving);
  rig.set("speed", 0.5);

  rig.node->setInput(0, inTurn.get());
  const int frames = 16;
  std::vector<std::vector<float>> expected(frames + 1);
  for (int f = 1; f <= frames; ++f) {
    HostLayer::RenderResult r = HostLayer::renderFrame(*rig.node, f, Mask_RGBA);
    ASSERT_TRUE(r.ok) << "frame " << f << ": " << r.error;
    expected[size_t(f)] = pixels(r);
  }

  // A fresh reader, so that the frames are read ahead while three threads render.
  rig.node->setInput(0, ahead.get());
  std::vector<std::vector<float>> got(frames + 1);
  std::vector<std::string> errors(frames + 1);
  std::vector<std::thread> pool;
  for (int t = 0; t < 3; ++t)
    pool.emplace_back([&, t] {
      for (int f = 1 + t; f <= frames; f += 3) {
        HostLayer::RenderResult r = HostLayer::renderFrame(*rig.node, f, Mask_RGBA);
        if (r.ok)
          got[size_t(f)] = pixels(r);
        else
          errors[size_t(f)] = r.error;
      }
    });
  for (std::thread& t : pool)
    t.join();
  ahead->waitForReadAhead();
  for (int f = 1; f <= frames; ++f) {
    ASSERT_TRUE(errors[size_t(f)].empty()) << "frame " << f << ": " << errors[size_t(f)];
    ASSERT_EQ(got[size_t(f)].size(), expected[size_t(f)].size());
    EXPECT_EQ(std::memcmp(got[size_t(f)].data(), expected[size_t(f)].data(), expected[size_t(f)].size() * 4), 0)
      << "frame " << f << " differs";
  }
}

TEST(SequenceIo, OneWriterTakesFramesFromSeveralThreads)
{
  TempDir dir;
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
