// Frames rendered at the same time by separate operators of one node, as the
// host's render threads do, must equal the frames rendered one after another.
#include "HostLayer/Read.h"
#include "HostLayer/Render.h"
#include "networks/TestNetworks.h"
#include "runtime/ModelLibrary.h"
#include "support/ImageFiles.h"
#include "support/RetimeRig.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

using namespace DD::Image;
using testsupport::RetimeRig;
namespace fs = std::filesystem;

namespace {

// A pattern that moves two pixels to the right per frame.
float moving(Channel z, int x, int y, double frame)
{
  const double u = (x - 2.0 * frame) * 0.35, v = y * 0.27;
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
    EXPECT_TRUE(testsupport::writeImage(path, OIIO::ImageSpec(w, h, 4, OIIO::TypeDesc::UINT16), px));
  }
  return (dir / "src.####.tif").string();
}

std::vector<float> pixels(const HostLayer::RenderResult& r)
{
  const float* p = r.plane.readable();
  return std::vector<float>(p, p + r.plane.bufferSize());
}

// Frames 1 ... frames rendered by `threads` threads at once, frame f by thread f % threads.
std::vector<std::vector<float>> renderConcurrently(RetimeRig& rig, int frames, int threads)
{
  std::vector<std::vector<float>> concurrent(size_t(frames) + 1);
  std::vector<std::string> errors(size_t(frames) + 1);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int f = 1 + t; f <= frames; f += threads) {
        HostLayer::RenderResult r = HostLayer::renderFrame(*rig.node, f, Mask_RGBA);
        if (r.ok)
          concurrent[size_t(f)] = pixels(r);
        else
          errors[size_t(f)] = r.error;
      }
    });
  for (std::thread& t : pool)
    t.join();
  for (int f = 1; f <= frames; ++f)
    EXPECT_TRUE(errors[size_t(f)].empty()) << "frame " << f << ": " << errors[size_t(f)];
  return concurrent;
}

// `beforeThreads` runs between the two passes.
void expectThreadsMatchSequential(RetimeRig& rig, int frames, int threads,
                                  const std::function<void()>& beforeThreads = {})
{
  std::vector<std::vector<float>> sequential(size_t(frames) + 1);
  for (int f = 1; f <= frames; ++f) {
    HostLayer::RenderResult r = HostLayer::renderFrame(*rig.node, f, Mask_RGBA);
    ASSERT_TRUE(r.ok) << "frame " << f << ": " << r.error;
    sequential[size_t(f)] = pixels(r);
  }
  if (beforeThreads)
    beforeThreads();
  const std::vector<std::vector<float>> concurrent = renderConcurrently(rig, frames, threads);
  for (int f = 1; f <= frames; ++f) {
    ASSERT_EQ(concurrent[size_t(f)].size(), sequential[size_t(f)].size());
    EXPECT_EQ(std::memcmp(concurrent[size_t(f)].data(), sequential[size_t(f)].data(),
                          sequential[size_t(f)].size() * sizeof(float)),
              0)
      << "frame " << f << " differs";
  }
}

} // namespace

TEST(ConcurrentRender, TestNetworkFramesAreBitIdentical)
{
  testnetworks::ServeNetwork serve("blend");
  RetimeRig rig(40, 24, 1, 10, Mask_RGBA, moving);
  expectThreadsMatchSequential(rig, 8, 4);
}

TEST(ConcurrentRender, BuiltInNetworkFramesAreBitIdentical)
{
  tweenova::setModelLibraryPath(testnetworks::realModelLibrary());
  {
    RetimeRig rig(64, 40, 1, 6, Mask_RGBA, moving);
    rig.set("max_size", 48);  // tiled: two columns
    rig.set("overlap", 16);
    expectThreadsMatchSequential(rig, 4, 2);
  }
  tweenova::setModelLibraryPath("");
}

TEST(ConcurrentRender, SequenceFramesReadAheadWhileThreadsRenderAreBitIdentical)
{
  testnetworks::ServeNetwork serve("blend");
  const testsupport::TempDir dir("tweenova-read-ahead");
  const std::string pattern = writeSequence(dir.path, 40, 24, 9);
  {
    // Readers outlive the rig, whose operators hold theirs.
    auto inTurn = HostLayer::createReadNode(pattern);
    auto ahead = HostLayer::createReadNode(pattern);
    RetimeRig rig(40, 24, 1, 9, Mask_RGBA, moving);
    rig.set("speed", 0.5);
    rig.node->setInput(0, inTurn.get());
    // A fresh reader for the threads, so that frames are read ahead while they render.
    expectThreadsMatchSequential(rig, 16, 3, [&] { rig.node->setInput(0, ahead.get()); });
    ahead->waitForReadAhead();
  }
}

TEST(ConcurrentRender, ThreadsStartingTogetherOnAFreshNodeMatchARenderInTurn)
{
  // As a farm chunk (-F) starts: every thread's first validation of a fresh
  // node, whose frame range is still to be taken from its input, at once.
  testnetworks::ServeNetwork serve("blend");
  RetimeRig together(40, 24, 1, 9, Mask_RGBA, moving);
  together.set("speed", 0.5);
  const std::vector<std::vector<float>> concurrent = renderConcurrently(together, 12, 4);
  RetimeRig inTurn(40, 24, 1, 9, Mask_RGBA, moving);
  inTurn.set("speed", 0.5);
  for (int f = 1; f <= 12; ++f) {
    HostLayer::RenderResult r = HostLayer::renderFrame(*inTurn.node, f, Mask_RGBA);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(pixels(r), concurrent[size_t(f)]) << "frame " << f << " differs";
  }
}
