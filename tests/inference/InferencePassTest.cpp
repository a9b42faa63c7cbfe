#include "inference/InferencePass.h"
#include "inference/PU21.h"
#include "networks/TestNetworks.h"

#include <ATen/autocast_mode.h>
#include <gtest/gtest.h>
#include <torch/script.h>

#include <limits>
#include <string>
#include <vector>

using testnetworks::networkPath;

namespace {

// The settings of a new node with one of the test networks, and the progress a pass reports.
class InferencePassTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    settings.colorspaceConvert = false;
    progress.message = [this](const std::string& m) { messages.push_back(m); };
    progress.fraction = [this](double f) { fractions.push_back(f); };
  }

  void useNetwork(const std::string& name) { network = torch::jit::load(networkPath(name)); }

  InferenceContext context(int total = 1, int done = 0, float timestep = 0.25f, float downscale = 1.0f)
  {
    return InferenceContext{total,    done,  settings, network, progress, torch::Device(torch::kCPU, -1),
                            false,    1.25f, timestep, downscale};
  }

  // The value the recorder network wrote into its row `row`, read back from a result of h rows.
  static float recorded(const torch::Tensor& result, int row)
  {
    return result[0][0][result.size(2) - 1 - row][0].item<float>();
  }

  RenderSettings settings;
  RenderProgress progress;
  torch::jit::Module network;
  std::vector<std::string> messages;
  std::vector<double> fractions;
};

torch::Tensor frame(int h, int w, float base)
{
  return (torch::arange(3 * h * w, torch::kFloat32).reshape({1, 3, h, w}) * 1e-4f + base).contiguous();
}

} // namespace

TEST_F(InferencePassTest, ProgressOfASinglePassAndOfOneAmongMany)
{
  useNetwork("blend");
  const torch::Tensor a = frame(32, 32, 0.1f), b = frame(32, 32, 0.3f);

  InferenceContext single = context(1, 0);
  inferencePass(single, a, b);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(single.progressDone, 1);
  ASSERT_EQ(fractions.size(), 1u);
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);

  InferenceContext many = context(12, 4);
  inferencePass(many, a, b);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.back(), "Interpolating (pass 5/12)");
  EXPECT_EQ(many.progressDone, 5);
  EXPECT_DOUBLE_EQ(fractions.back(), 5.0 / 12.0);
}

TEST_F(InferencePassTest, BlendsInLinearValuesAndLeavesTheTilesAlone)
{
  useNetwork("blend");
  // A strided view, as the tiling hands over.
  const torch::Tensor big0 = frame(40, 70, 0.2f), big1 = frame(40, 70, 0.6f);
  const torch::Tensor a = big0.slice(2, 3, 36).slice(3, 2, 67), b = big1.slice(2, 3, 36).slice(3, 2, 67);
  const torch::Tensor a0 = a.clone(), b0 = b.clone();
  InferenceContext ctx = context(1, 0, 0.25f);

  const torch::Tensor result = inferencePass(ctx, a, b);
  EXPECT_EQ(result.sizes(), a.sizes());
  EXPECT_EQ(result.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(result.device().is_cpu());
  EXPECT_TRUE(result.is_contiguous());
  EXPECT_TRUE(torch::allclose(result, a * 0.75f + b * 0.25f, 1e-6, 1e-6));
  EXPECT_TRUE(torch::equal(a, a0));
  EXPECT_TRUE(torch::equal(b, b0));

  // Through the perceptual encoding, equal frames come back as they went in.
  settings.colorspaceConvert = true;
  const torch::Tensor same = inferencePass(ctx, a, a);
  EXPECT_TRUE(torch::allclose(same, a, 1e-4, 1e-5));
}

TEST_F(InferencePassTest, PadsToMultiplesOf32WithEdgeValuesAndCropsBack)
{
  useNetwork("recorder");
  torch::Tensor a = frame(33, 65, 0.1f), b = frame(33, 65, 0.5f);
  InferenceContext ctx = context();

  torch::Tensor result = inferencePass(ctx, a, b);
  ASSERT_EQ(result.sizes(), (std::vector<int64_t>{1, 3, 33, 65}));
  EXPECT_EQ(recorded(result, 5), 64.0f);  // rows sent
  EXPECT_EQ(recorded(result, 6), 96.0f);  // columns sent
  // The network sees rows top-down: its last (padded) row repeats the host's row 0,
  // its last (padded) column the tile's last column; its first row is the host's top row.
  EXPECT_EQ(recorded(result, 8), a[0][0][0][64].item<float>());
  EXPECT_EQ(recorded(result, 9), b[0][0][0][64].item<float>());
  EXPECT_EQ(recorded(result, 10), a[0][0][32][0].item<float>());

  a = frame(64, 64, 0.1f);
  b = frame(64, 64, 0.5f);
  result = inferencePass(ctx, a, b);
  EXPECT_EQ(recorded(result, 5), 64.0f);
  EXPECT_EQ(recorded(result, 6), 64.0f);
  EXPECT_EQ(recorded(result, 8), a[0][0][0][63].item<float>());
}

TEST_F(InferencePassTest, SendsTheNodesArguments)
{
  useNetwork("recorder");
  const torch::Tensor a = frame(32, 32, 0.1f);

  const std::pair<int, float> steps[] = {{1, 0.0f}, {2, 1.0f}, {6, 5.0f}, {9, 5.0f}, {0, 0.0f}, {-3, 0.0f}};
  for (auto [value, index] : steps) {
    settings.steps = value;
    InferenceContext ctx = context();
    EXPECT_EQ(recorded(inferencePass(ctx, a, a), 1), index) << "steps " << value;
  }

  settings.steps = 2;
  settings.threshold = 0.004f;
  for (int flow = 0; flow < 3; ++flow) {
    settings.flowMagnitude = flow;
    InferenceContext ctx = context(1, 0, 0.375f, 0.5f);
    const torch::Tensor r = inferencePass(ctx, a, a);
    EXPECT_EQ(recorded(r, 2), float(flow + 1));
    EXPECT_EQ(recorded(r, 0), 0.375f);
    EXPECT_EQ(recorded(r, 3), 0.004f);
    EXPECT_EQ(recorded(r, 4), 0.5f);
  }

  // Reduced precision applies to CUDA only: on the CPU the network gets float32 and autocast stays off.
  settings.mixedPrecision = true;
  InferenceContext ctx = context();
  const torch::Tensor r = inferencePass(ctx, a, a);
  EXPECT_EQ(recorded(r, 7), 1.0f);
  EXPECT_EQ(r.scalar_type(), torch::kFloat32);
  EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCUDA));
}

TEST_F(InferencePassTest, OnACpuThatComputesBfloat16TheConvolutionsRunInIt)
{
  useNetwork("recorder");
  const torch::Tensor a = frame(32, 32, 0.1f);
  auto pass = [&](bool deviceBf16) {
    InferenceContext ctx = context();
    ctx.deviceBf16 = deviceBf16;
    return inferencePass(ctx, a, a);
  };
  // Native bfloat16 and use_bfloat16 on (its default): convolutions in
  // bfloat16, the inputs and the result float32, the thread's autocast as it was.
  ASSERT_TRUE(settings.useBfloat16);
  torch::Tensor r = pass(true);
  EXPECT_EQ(recorded(r, 11), 1.0f);
  EXPECT_EQ(recorded(r, 7), 1.0f);
  EXPECT_EQ(r.scalar_type(), torch::kFloat32);
  EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCPU));
  // A CPU without it, or use_bfloat16 off: float32 throughout.
  EXPECT_EQ(recorded(pass(false), 11), 0.0f);
  settings.useBfloat16 = false;
  EXPECT_EQ(recorded(pass(true), 11), 0.0f);
}

TEST_F(InferencePassTest, EncodesInputsAndDecodesResultsWhenConverting)
{
  useNetwork("recorder");
  settings.colorspaceConvert = true;
  torch::Tensor a = frame(32, 32, 0.18f);
  a[0][0][0][31] = -1.0f;  // the network's last row and column
  const torch::Tensor b = frame(32, 32, 1.0f);
  InferenceContext ctx = context();

  const torch::Tensor r = inferencePass(ctx, a, b);
  // The network echoes what it received, and its result is decoded: encoded inputs come back as they were.
  // Without the encoding, these values would decode to about a fifth of themselves.
  EXPECT_NEAR(recorded(r, 10), a[0][0][31][0].item<float>(), 1e-4);
  EXPECT_NEAR(recorded(r, 9), b[0][0][0][31].item<float>(), 1e-4);
  // A negative input reaches the network below the encoding of 0 and comes back as it was.
  EXPECT_NEAR(recorded(r, 8), -1.0f, 1e-5);
  // Rows 5 and 6 hold 32: far above the encoding of any value a float holds, they decode to infinity.
  EXPECT_EQ(recorded(r, 5), std::numeric_limits<float>::infinity());
  EXPECT_NEAR(recorded(r, 20), 0.0f, 1e-6);
}

TEST_F(InferencePassTest, NaNGuardThresholds)
{
  useNetwork("nans");
  const torch::Tensor a = frame(64, 64, 0.1f);  // 12288 result values
  auto run = [&](int threshold, int64_t nans) {
    settings.nanErrorThreshold = threshold;
    network.setattr("nan_count", nans);
    InferenceContext ctx = context(2, 0);
    const torch::Tensor r = inferencePass(ctx, a, a);
    EXPECT_EQ(ctx.progressDone, 1);
    return r;
  };

  EXPECT_TRUE(torch::isnan(run(100, 12288)).all().item<bool>());  // never counted
  EXPECT_NO_THROW(run(25, 3072));                                  // exactly 25 %
  EXPECT_NO_THROW(run(0, 0));
  try {
    run(25, 3073);
    ADD_FAILURE() << "3073 NaN values of 12288 passed a 25 % threshold";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Too many nan values returned, frame corrupt");
  }
  EXPECT_THROW(run(0, 1), std::runtime_error);
  EXPECT_THROW(run(-1, 0), std::runtime_error);  // a negative threshold fails every pass
}

TEST_F(InferencePassTest, DebugLinesReportTimeAndNaNShare)
{
  useNetwork("nans");
  settings.debug = true;
  settings.nanErrorThreshold = 50;
  const torch::Tensor a = frame(64, 64, 0.1f);

  network.setattr("nan_count", int64_t(3072));
  InferenceContext ctx = context();
  testing::internal::CaptureStdout();
  inferencePass(ctx, a, a);
  network.setattr("nan_count", int64_t(1));
  inferencePass(ctx, a, a);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_NE(out.find("    NaN check: 3072/12288 (25%)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    NaN check: 1/12288 (0.00813802%)\n"), std::string::npos) << out;
  EXPECT_TRUE(testing::internal::RE::PartialMatch(out, "    Inference time \\(forward\\): [0-9]+ms\n")) << out;

  settings.debug = false;
  testing::internal::CaptureStdout();
  inferencePass(ctx, a, a);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(InferencePassTest, NetworkFailuresReachTheCallerWithoutProgress)
{
  const torch::Tensor a = frame(32, 32, 0.1f);
  auto failure = [&](const std::string& network) -> std::string {
    useNetwork(network);
    InferenceContext ctx = context(3, 1);
    try {
      inferencePass(ctx, a, a);
    } catch (const std::exception& e) {
      EXPECT_EQ(ctx.progressDone, 1) << network;
      return e.what();
    }
    return "no failure";
  };

  EXPECT_NE(failure("throws").find("test network failed on purpose"), std::string::npos);
  EXPECT_NE(failure("noforward").find("Method 'forward' is not defined."), std::string::npos);
  EXPECT_NE(failure("notatensor").find("Expected Tensor"), std::string::npos);
  EXPECT_NE(failure("toosmall").find("The network returned a tensor of shape [1, 3, 8, 8], expected [1, 3, 32+, 32+]"),
            std::string::npos);
  EXPECT_TRUE(fractions.empty());
}

TEST_F(InferencePassTest, AFailingGpuPassLeavesAutocastAsItFoundIt)
{
  // A render that takes the GPU's route (its tensors stay on the CPU here) and fails inside the call.
  useNetwork("throws");
  settings.mixedPrecision = true;
  InferenceContext ctx = context();
  ctx.useCuda = true;
  const torch::Tensor a = frame(32, 32, 0.1f);
  EXPECT_ANY_THROW(inferencePass(ctx, a, a));
  EXPECT_FALSE(at::autocast::is_autocast_enabled(at::kCUDA));
  EXPECT_EQ(at::autocast::get_autocast_dtype(at::kCUDA), at::kHalf);
  EXPECT_EQ(ctx.progressDone, 0);
}

TEST_F(InferencePassTest, TheReducedTypeIsThatOfTheRenderDevice)
{
  // The panel's device may be another than the batch render's (the render tests check that the panel's does not count).
  settings.useBfloat16 = true;
  InferenceContext ctx = context();
  ctx.deviceBf16 = false;
  EXPECT_EQ(reducedType(ctx), at::kHalf);
  ctx.deviceBf16 = true;
  EXPECT_EQ(reducedType(ctx), at::kBFloat16);
  settings.useBfloat16 = false;
  EXPECT_EQ(reducedType(ctx), at::kHalf);
}

TEST_F(InferencePassTest, TheNaNGuardCountsOnlyWhatTheNetworkMade)
{
  // A plate with a NaN background of 31 %: the network carries it where the
  // pixels are, and that is not the network failing.
  useNetwork("blend");
  settings.nanErrorThreshold = 10;
  torch::Tensor a = frame(64, 64, 0.1f);
  a.slice(2, 0, 20).fill_(std::nanf(""));
  const torch::Tensor b = frame(64, 64, 0.3f);
  InferenceContext ctx = context();
  torch::Tensor r;
  ASSERT_NO_THROW(r = inferencePass(ctx, a, b));
  EXPECT_TRUE(torch::equal(torch::isnan(r), torch::isnan(a)));

  // NaN the network makes away from the sources' still counts.
  useNetwork("nans");
  network.setattr("nan_count", int64_t(2000));  // 16 % of the result
  const torch::Tensor clean = frame(64, 64, 0.1f);
  EXPECT_THROW(inferencePass(ctx, clean, clean), std::runtime_error);
}
