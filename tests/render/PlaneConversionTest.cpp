#include "render/PlaneConversion.h"

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"
#include "render/RenderTestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace DD::Image;
using rendertest::sourceValue;

namespace {

// A validated scripted source operator at frame 2.
class PlaneConversionTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    script->box = Box(0, 0, 4, 3);
    source = testsupport::createMemorySource(script);
    iop = static_cast<Iop*>(source->acquire(OutputContext(2)));
    iop->validate(true);
  }
  void TearDown() override { source->release(iop); }

  std::shared_ptr<testsupport::SourceScript> script = rendertest::sourceScript();
  std::unique_ptr<HostLayer::HostNode> source;
  Iop* iop = nullptr;
};

} // namespace

TEST_F(PlaneConversionTest, FetchPlanarClipsToTheSourceAndZeroFillsTheRest)
{
  // Box [-1, 1, 5, 5): 6 x 4; the source covers x 0..3, y 1..2 of it.
  const Box box(-1, 1, 5, 5);
  const int W = 6, H = 4;
  std::vector<float> buf(2 * W * H, -7.0f);
  fetchPlanar(iop, box, ChannelSet{Chan_Green, Chan_Alpha}, 2, buf.data());
  EXPECT_EQ(script->fetches, 1);
  const Channel chans[2] = {Chan_Green, Chan_Alpha};
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < H; ++j)
      for (int i = 0; i < W; ++i) {
        const int x = box.x() + i, y = box.y() + j;
        const bool inside = x >= 0 && x < 4 && y >= 0 && y < 3;
        EXPECT_FLOAT_EQ(buf[size_t(k * W * H + j * W + i)], inside ? sourceValue(chans[k], x, y, 2) : 0.0f)
          << "k " << k << " x " << x << " y " << y;
      }

  // Entirely outside: zeros and no fetch. Absent source: zeros.
  std::fill(buf.begin(), buf.end(), -7.0f);
  fetchPlanar(iop, Box(10, 10, 16, 14), Mask_Red, 1, buf.data());
  EXPECT_EQ(script->fetches, 1);
  fetchPlanar(nullptr, box, Mask_Blue, 1, buf.data() + W * H);
  for (float v : buf)
    EXPECT_EQ(v, 0.0f);
}

TEST_F(PlaneConversionTest, FetchPlanesGivesTheSameValuesWhetherTheSourceCoversTheBoxOrNot)
{
  // Covered: the source's own plane becomes the tensor, which outlives it here.
  // Not covered: zeros around the source.
  const Channel chans[2] = {Chan_Green, Chan_Alpha};
  for (const Box& box : {Box(1, 0, 3, 2), Box(-1, 1, 5, 5)}) {
    const torch::Tensor t = fetchPlanes(iop, box, ChannelSet{Chan_Green, Chan_Alpha}, 2);
    ASSERT_EQ(t.sizes(), (std::vector<int64_t>{2, box.h(), box.w()}));
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < box.h(); ++j)
        for (int i = 0; i < box.w(); ++i) {
          const int x = box.x() + i, y = box.y() + j;
          const bool inside = x >= 0 && x < 4 && y >= 0 && y < 3;
          EXPECT_FLOAT_EQ(t[k][j][i].item<float>(), inside ? sourceValue(chans[k], x, y, 2) : 0.0f)
            << "k " << k << " x " << x << " y " << y;
        }
  }
  EXPECT_EQ(script->fetches, 2);
}

TEST_F(PlaneConversionTest, ModelInputTakesThreePlanesOfTheBuffer)
{
  const int W = 3, H = 2, area = 6;
  const torch::Tensor buf = torch::arange(4 * area, torch::kFloat32).reshape({4, H, W});

  torch::Tensor same = makeModelInput(3, buf, 0, 0, 0);
  EXPECT_EQ(same.sizes(), (std::vector<int64_t>{1, 3, H, W}));
  EXPECT_EQ(same.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(same.is_contiguous());
  EXPECT_TRUE(torch::equal(same[0][0], same[0][1]));
  EXPECT_TRUE(torch::equal(same[0][0], same[0][2]));
  // Row j, column i of plane p is buffer[p * area + j * W + i]: rows stay in the host's order.
  EXPECT_EQ(same[0][0][1][2].item<float>(), 5.0f);

  torch::Tensor mixed = makeModelInput(3, buf, 3, 1, 2);
  EXPECT_EQ(mixed[0][0][0][0].item<float>(), 18.0f);
  EXPECT_EQ(mixed[0][1][0][0].item<float>(), 6.0f);
  EXPECT_EQ(mixed[0][2][1][1].item<float>(), 16.0f);

  // The first three planes in order are not copied.
  torch::Tensor inOrder = makeModelInput(3, buf, 0, 1, 2);
  EXPECT_EQ(inOrder.sizes(), (std::vector<int64_t>{1, 3, H, W}));
  EXPECT_EQ(inOrder.data_ptr<float>(), buf.data_ptr<float>());
  EXPECT_TRUE(inOrder.is_contiguous());

  EXPECT_THROW(makeModelInput(3, buf, 0, 4, 0), std::out_of_range);
  EXPECT_THROW(makeModelInput(3, buf, -1, 0, 0), std::out_of_range);
}

TEST_F(PlaneConversionTest, MergeReplacesSelectedChannelsOfTheFirstFrame)
{
  const Box box = iop->info().box();
  const int H = box.h(), W = box.w();
  ImagePlane plane(box, true, Mask_RGBA, 4);
  // Alpha alone selected: plane 0 of the result goes to alpha (plane 3 of the base).
  torch::Tensor R = torch::stack({torch::full({H, W}, 100.0), torch::full({H, W}, 200.0), torch::full({H, W}, 300.0)});
  mergeOutput(plane, iop, box, Mask_RGBA, {Chan_Alpha}, 1, R.to(torch::kFloat64), std::nullopt);
  for (Channel z : Mask_RGB)
    EXPECT_FLOAT_EQ(plane.at(1, 2, z), sourceValue(z, 1, 2, 2)) << getName(z);
  EXPECT_FLOAT_EQ(plane.at(1, 2, Chan_Alpha), 100.0f);

  // Four selected: red, green, blue from planes 0..2, alpha from plane 1 of the fourth-channel result.
  ImagePlane four(box, true, Mask_RGBA, 4);
  torch::Tensor R4 = (R + 1000.0).unsqueeze(0);
  mergeOutput(four, iop, box, Mask_RGBA, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}, 3, R, R4);
  EXPECT_FLOAT_EQ(four.at(0, 0, Chan_Red), 100.0f);
  EXPECT_FLOAT_EQ(four.at(0, 0, Chan_Green), 200.0f);
  EXPECT_FLOAT_EQ(four.at(0, 0, Chan_Blue), 300.0f);
  EXPECT_FLOAT_EQ(four.at(3, 2, Chan_Alpha), 1200.0f);

  // A result of another size, or with too few planes, is an error, not a broadcast.
  ImagePlane other(box, true, Mask_RGBA, 4);
  EXPECT_THROW(mergeOutput(other, iop, box, Mask_RGBA, {Chan_Red}, 1, torch::zeros({3, 1, 1}), std::nullopt),
               c10::Error);
  EXPECT_THROW(mergeOutput(other, iop, box, Mask_RGBA, {Chan_Red, Chan_Green}, 2, torch::zeros({1, H, W}),
                           std::nullopt),
               c10::Error);
  EXPECT_FALSE(other.memory().isAllocated());
}

TEST(WritePackedPlane, InterleavesChannelsAndStaysWithinThePlane)
{
  const Box box(10, 20, 13, 22);  // 3 x 2
  ImagePlane plane(box, true, ChannelSet{Chan_Red, Chan_Blue}, 2);
  torch::Tensor T = torch::arange(12, torch::kFloat32).reshape({2, 2, 3});
  writePackedPlane(plane, T, 2, 6);
  ASSERT_TRUE(plane.memory().isAllocated());
  // (j * W + i) * n + k
  EXPECT_EQ(plane.readable()[(1 * 3 + 2) * 2 + 0], 5.0f);
  EXPECT_EQ(plane.readable()[(1 * 3 + 2) * 2 + 1], 11.0f);
  EXPECT_EQ(plane.at(11, 20, Chan_Blue), 7.0f);

  // Concurrent writers share one allocation.
  ImagePlane shared(box, true, ChannelSet{Chan_Red, Chan_Blue}, 2);
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i)
    writers.emplace_back([&] { writePackedPlane(shared, T, 2, 6); });
  for (auto& w : writers)
    w.join();
  EXPECT_EQ(shared.memory().size(), 12u);
  EXPECT_EQ(shared.at(12, 21, Chan_Red), 5.0f);

  // Mismatches are refused before anything is written.
  ImagePlane unpacked(box, false, ChannelSet{Chan_Red, Chan_Blue}, 2);
  EXPECT_THROW(writePackedPlane(unpacked, T, 2, 6), std::runtime_error);
  EXPECT_FALSE(unpacked.memory().isAllocated());
  ImagePlane oneComp(box, true, Mask_Red, 1);
  EXPECT_THROW(writePackedPlane(oneComp, T, 2, 6), std::runtime_error);
  ImagePlane shorter(Box(10, 20, 12, 22), true, ChannelSet{Chan_Red, Chan_Blue}, 2);
  EXPECT_THROW(writePackedPlane(shorter, T, 2, 6), std::runtime_error);
  EXPECT_FALSE(shorter.memory().isAllocated());
  ImagePlane tiny(box, true, ChannelSet{Chan_Red, Chan_Blue}, 2);
  tiny.memory().allocate(4);
  EXPECT_THROW(writePackedPlane(tiny, T, 2, 6), std::runtime_error);
  EXPECT_THROW(writePackedPlane(plane, T, 3, 6), std::runtime_error);
}

TEST(ShapeString, ListsTheSizes)
{
  EXPECT_EQ(shapeString(torch::zeros({1, 3, 4, 5})), "[1, 3, 4, 5]");
  EXPECT_EQ(shapeString(torch::zeros({1, 3, 1080, 1920}, torch::TensorOptions().dtype(torch::kUInt8))),
            "[1, 3, 1080, 1920]");
  EXPECT_EQ(shapeString(torch::tensor(1.0f)), "[]");
}
