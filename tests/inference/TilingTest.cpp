#include "inference/InferencePass.h"
#include "inference/Tiling.h"
#include "networks/TestNetworks.h"

#include <gtest/gtest.h>
#include <torch/script.h>

#include <string>
#include <vector>

namespace {

std::vector<int> starts(const std::vector<TileSpan>& spans)
{
  std::vector<int> s;
  for (const TileSpan& t : spans)
    s.push_back(t.begin);
  return s;
}

} // namespace

TEST(TilePlan, UltraHighDefinitionWithSmallTiles)
{
  TilePlan p = planTiles(3840, 2160, 1024, 512, 64);
  EXPECT_FALSE(p.singleCall);
  EXPECT_EQ(p.countX, 7);
  EXPECT_EQ(p.countY, 4);
  EXPECT_EQ(p.sideX, 958);
  EXPECT_EQ(p.sideY, 949);
  EXPECT_EQ(p.overlapX, 409);  // 40 % of 1024, truncated
  EXPECT_EQ(p.overlapY, 409);
  EXPECT_EQ(p.paddingX, 64);

  const std::vector<TileSpan> columns = tileSpans(3840, p.sideX, p.overlapX, p.countX);
  EXPECT_EQ(starts(columns), (std::vector<int>{0, 549, 1098, 1647, 2196, 2745, 3294}));
  EXPECT_EQ(columns[0].end, 958);
  EXPECT_EQ(columns.back().end, 3840);
  const std::vector<TileSpan> rows = tileSpans(2160, p.sideY, p.overlapY, p.countY);
  EXPECT_EQ(starts(rows), (std::vector<int>{0, 540, 1080, 1620}));
  EXPECT_EQ(rows.back().end, 2160);

  // Padding is at most half the overlap.
  p = planTiles(3840, 2160, 1024, 64, 64);
  EXPECT_EQ(p.countX, 4);
  EXPECT_EQ(p.countY, 3);
  EXPECT_EQ(p.sideX, 1024);
  EXPECT_EQ(p.sideY, 784);
  EXPECT_EQ(p.overlapX, 64);
  EXPECT_EQ(p.paddingX, 32);
  EXPECT_EQ(planTiles(3840, 2160, 1024, 512, -5).paddingX, 0);
}

TEST(TilePlan, OneDirectionAndShortRows)
{
  TilePlan p = planTiles(5000, 100, 4500, 512, 64);
  EXPECT_FALSE(p.singleCall);
  EXPECT_EQ(p.countX, 2);
  EXPECT_EQ(p.countY, 1);
  EXPECT_EQ(p.sideX, 3012);
  EXPECT_EQ(p.sideY, 100);
  EXPECT_EQ(p.overlapY, 0);
  EXPECT_EQ(p.paddingY, 0);
  const std::vector<TileSpan> columns = tileSpans(5000, p.sideX, p.overlapX, p.countX);
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0].end, 3012);
  EXPECT_EQ(columns[1].begin, 2500);
  EXPECT_EQ(columns[1].end, 5000);
  ASSERT_EQ(tileSpans(100, p.sideY, p.overlapY, p.countY).size(), 1u);

  // Three tiles planned, but the second already reaches the edge.
  p = planTiles(1204, 500, 1000, 512, 64);
  EXPECT_EQ(p.countX, 3);
  EXPECT_EQ(p.sideX, 802);
  const std::vector<TileSpan> row = tileSpans(1204, p.sideX, p.overlapX, p.countX);
  ASSERT_EQ(row.size(), 2u);
  EXPECT_EQ(row[1].begin, 402);
  EXPECT_EQ(row[1].end, 1204);
}

TEST(TilePlan, SingleCallCases)
{
  EXPECT_TRUE(planTiles(4096, 2160, 4500, 512, 64).singleCall);  // the defaults
  EXPECT_TRUE(planTiles(8000, 8000, 4500, 0, 64).singleCall);     // no overlap
  EXPECT_TRUE(planTiles(8000, 8000, 2, 512, 64).singleCall);      // 2 / 2.5 truncates to 0
  EXPECT_TRUE(planTiles(8000, 8000, 0, 512, 64).singleCall);
  EXPECT_TRUE(planTiles(8000, 8000, 4500, -10, 64).singleCall);
}

TEST(TileWeights, FadesOfAMiddleTile)
{
  const TilePlan p = planTiles(4096, 2160, 2048, 512, 64);
  EXPECT_EQ(p.countX, 3);
  EXPECT_EQ(p.countY, 2);
  EXPECT_EQ(p.sideX, 1878);
  EXPECT_EQ(p.sideY, 1592);
  const std::vector<TileSpan> columns = tileSpans(4096, p.sideX, p.overlapX, p.countX);
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns[1].begin, 1366);
  EXPECT_EQ(columns[1].end, 3244);

  const EdgeFade middle{p.overlapX, p.paddingX, false, false};
  const int n = 1878;
  for (int t = 0; t < n; ++t) {
    float expected;
    if (t < 64)
      expected = 0.0f;
    else if (t < 448)
      expected = float(t - 64) / 384.0f;
    else if (t <= 1814)
      expected = 1.0f;
    else if (t <= 1845)
      expected = 1.0f - float(t - 1814) / 31.0f;
    else
      expected = 0.0f;
    ASSERT_EQ(edgeWeight(t, n, middle), expected) << "t " << t;
  }
  // The first tile does not fade in, the last does not fade out.
  EXPECT_EQ(edgeWeight(0, n, EdgeFade{512, 64, true, false}), 1.0f);
  EXPECT_EQ(edgeWeight(n - 1, n, EdgeFade{512, 64, false, true}), 1.0f);
}

TEST(TileWeights, SmallPaddingsAndTheMask)
{
  // Padding 1: a tile before the last keeps full weight to its last line; padding 2 drops that line only.
  EXPECT_EQ(edgeWeight(99, 100, EdgeFade{10, 1, true, false}), 1.0f);
  EXPECT_EQ(edgeWeight(98, 100, EdgeFade{10, 2, true, false}), 1.0f);
  EXPECT_EQ(edgeWeight(99, 100, EdgeFade{10, 2, true, false}), 0.0f);
  // No ramp when the overlap is twice the padding: the weight jumps to 1.
  EXPECT_EQ(edgeWeight(31, 1024, EdgeFade{64, 32, false, true}), 0.0f);
  EXPECT_EQ(edgeWeight(32, 1024, EdgeFade{64, 32, false, true}), 1.0f);

  const EdgeFade rows{20, 4, false, false}, columns{16, 3, false, true};
  const torch::Tensor mask = tileWeightMask(60, 50, rows, columns);
  ASSERT_EQ(mask.sizes(), (std::vector<int64_t>{1, 1, 60, 50}));
  EXPECT_EQ(mask.scalar_type(), torch::kFloat32);
  for (int r = 0; r < 60; ++r)
    for (int c = 0; c < 50; ++c)
      ASSERT_NEAR(mask[0][0][r][c].item<float>(), edgeWeight(r, 60, rows) * edgeWeight(c, 50, columns), 1e-7)
          << r << "," << c;
}

namespace {

class TiledInferenceTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    settings.colorspaceConvert = false;
    settings.nodeName = "Retime1";
    progress.message = [this](const std::string& m) { messages.push_back(m); };
    progress.aborted = [this] { return abortRequested; };
    network = torch::jit::load(testnetworks::networkPath("blend"));
  }

  InferenceContext context(int total)
  {
    return InferenceContext{total, 0, settings, network, progress, torch::Device(torch::kCPU, -1), false, 1.4f, 0.4f,
                            1.0f};
  }

  RenderSettings settings;
  RenderProgress progress;
  torch::jit::Module network;
  bool abortRequested = false;
  std::vector<std::string> messages;
};

torch::Tensor texture(int h, int w, int seed)
{
  torch::manual_seed(seed);
  return torch::rand({1, 3, h, w}, torch::kFloat32);
}

} // namespace

TEST_F(TiledInferenceTest, TiledResultMatchesOneCall)
{
  const torch::Tensor a = texture(150, 200, 1), b = texture(150, 200, 2);
  InferenceContext whole = context(1);
  const torch::Tensor expected = tiledInference(whole, a, b);
  EXPECT_EQ(whole.progressDone, 1);

  settings.maxSize = 64;
  settings.overlap = 32;
  settings.padding = 6;
  settings.debug = true;
  const TilePlan plan = planTiles(200, 150, 64, 32, 6);
  const int passes = plan.countX * plan.countY;
  InferenceContext tiled = context(passes);
  testing::internal::CaptureStdout();
  const torch::Tensor result = tiledInference(tiled, a, b);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(result.sizes(), a.sizes());
  EXPECT_TRUE(torch::allclose(result, expected, 1e-5, 1e-5)) << (result - expected).abs().max();
  EXPECT_EQ(tiled.progressDone, passes);
  EXPECT_EQ(messages.size(), size_t(passes));
  EXPECT_EQ(messages.back(), "Interpolating (pass " + std::to_string(passes) + "/" + std::to_string(passes) + ")");
  const std::string line = "Retime1: tiling 200x150 into " + std::to_string(plan.countX) + "x" +
                           std::to_string(plan.countY) + " patches (side " + std::to_string(plan.sideX) + "x" +
                           std::to_string(plan.sideY) + ", overlap 25, padding 6)\n";
  EXPECT_NE(out.find(line), std::string::npos) << out;
}

TEST_F(TiledInferenceTest, NoOverlapMeansOneCallWithoutLogLine)
{
  const torch::Tensor a = texture(150, 200, 3), b = texture(150, 200, 4);
  settings.maxSize = 64;
  settings.overlap = 0;
  settings.debug = true;
  InferenceContext ctx = context(1);
  testing::internal::CaptureStdout();
  const torch::Tensor result = tiledInference(ctx, a, b);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ctx.progressDone, 1);
  EXPECT_EQ(out.find("tiling"), std::string::npos);
  EXPECT_TRUE(torch::allclose(result, a * 0.6f + b * 0.4f, 1e-6, 1e-6));
}

TEST_F(TiledInferenceTest, AbortAfterTheFirstTileKeepsOnlyThatTile)
{
  network = torch::jit::load(testnetworks::networkPath("constant"));
  settings.maxSize = 64;
  settings.overlap = 32;
  settings.padding = 6;
  const torch::Tensor a = texture(150, 200, 5);
  const TilePlan plan = planTiles(200, 150, 64, 32, 6);
  InferenceContext ctx = context(plan.countX * plan.countY);

  abortRequested = true;
  const torch::Tensor result = tiledInference(ctx, a, a);
  EXPECT_EQ(ctx.progressDone, 1);

  const int th = plan.sideY, tw = plan.sideX;
  const torch::Tensor mask =
      tileWeightMask(th, tw, EdgeFade{plan.overlapY, plan.paddingY, true, false},
                     EdgeFade{plan.overlapX, plan.paddingX, true, false});
  const torch::Tensor first = result.slice(2, 0, th).slice(3, 0, tw);
  EXPECT_TRUE(torch::allclose(first, (mask * 0.5f).expand({1, 3, th, tw}), 0, 1e-7));
  EXPECT_GT(first.max().item<float>(), 0.49f);
  torch::Tensor rest = result.clone();
  rest.slice(2, 0, th).slice(3, 0, tw).zero_();
  EXPECT_EQ(rest.abs().max().item<float>(), 0.0f);
}
