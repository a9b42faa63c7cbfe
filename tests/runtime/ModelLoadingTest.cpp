#include "inference/InferencePass.h"
#include "networks/TestNetworks.h"
#include "render/RenderStripe.h"
#include "runtime/ModelLibrary.h"
#include "runtime/SharedNetworks.h"
#include "runtime/Startup.h"
#include "support/RetimeRig.h"
#include "support/ScopedCuda.h"

#include <dlfcn.h>
#include <torch/csrc/jit/python/update_graph_executor_opt.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using testnetworks::libraryPath;
using testnetworks::ServeNetwork;
using testsupport::RetimeRig;

namespace {

const std::string kLoadError = "Error loading the frame interpolation neural network model";

class ModelLoadingTest : public ::testing::Test {
protected:
  void SetUp() override { op = &rig.acquire(1); }
  void TearDown() override { rig.release(*op); }

  // Runs the open step as the host does after a change, returning what it printed.
  std::string open()
  {
    op->invalidate();
    op->validate(true);
    testing::internal::CaptureStdout();
    op->open();
    return testing::internal::GetCapturedStdout();
  }

  RetimeRig rig;
  Tweenova* op = nullptr;
};

} // namespace

TEST_F(ModelLoadingTest, EveryLoadFailureIsReportedAndRetried)
{
  ServeNetwork serve("blend");
  const std::string missing = "/nonexistent/TweenovaModels.so";
  const std::pair<std::string, std::string> failures[] = {
      {missing, "cannot load model library " + missing + ": "},
      {libraryPath("TestModelsNoSymbol"), "model library " + libraryPath("TestModelsNoSymbol") + " has no qm_get_model_A"},
      {libraryPath("TestModelsNull"), "model library returned no data"},
      {libraryPath("TestModelsZeroCount"), "model library returned no data"},
  };
  for (const auto& [library, why] : failures) {
    serve.useLibrary(library);
    const std::string out = open();
    EXPECT_EQ(out.rfind(kLoadError + "\n" + why, 0), 0u) << out;
    EXPECT_TRUE(op->hasError());
    EXPECT_EQ(op->errorMessage(), kLoadError);
    EXPECT_EQ(rig.node->error(), kLoadError);
    EXPECT_FALSE(op->modelLoaded);
  }

  // Bytes that are no archive fail in the deserialiser.
  serve.useLibrary(libraryPath("TestModelsFile"));
  serve.serve("garbage");
  std::string out = open();
  EXPECT_EQ(out.rfind(kLoadError + "\n", 0), 0u) << out;
  EXPECT_GT(out.size(), kLoadError.size() + 2);  // the loader's own text follows
  EXPECT_EQ(op->errorMessage(), kLoadError);
  EXPECT_FALSE(op->modelLoaded);

  // The next open step tries again.
  serve.serve("blend");
  out = open();
  EXPECT_EQ(out, "");
  EXPECT_FALSE(op->hasError());
  EXPECT_TRUE(op->opened());
  EXPECT_TRUE(op->modelLoaded);
  EXPECT_TRUE(op->model.find_method("forward").has_value());

  // A failed reload keeps the network that was loaded.
  op->modelLoaded = false;
  serve.serve("garbage");
  open();
  EXPECT_FALSE(op->modelLoaded);
  EXPECT_TRUE(op->model.find_method("forward").has_value());
}

TEST_F(ModelLoadingTest, EveryOpenStepSetsTheJitOptions)
{
  ServeNetwork serve("blend");
  for (const char* step : {"load", "placement only", "failed load"}) {
    if (std::string(step) == "failed load") {
      op->modelLoaded = false;
      serve.serve("garbage");
    }
    torch::jit::setGraphExecutorOptimize(true);
    torch::jit::FusionStrategy dynamic{{torch::jit::FusionBehavior::DYNAMIC, 3}};
    torch::jit::setFusionStrategy(dynamic);
    open();
    EXPECT_FALSE(torch::jit::getGraphExecutorOptimize()) << step;
    const torch::jit::FusionStrategy strategy = torch::jit::getFusionStrategy();
    ASSERT_EQ(strategy.size(), 1u) << step;
    EXPECT_EQ(strategy[0].first, torch::jit::FusionBehavior::STATIC) << step;
    EXPECT_EQ(strategy[0].second, 0u) << step;
  }
}

TEST_F(ModelLoadingTest, ANetworkWithoutForwardLoadsAndFailsWhenCalled)
{
  ServeNetwork serve("noforward");
  open();
  ASSERT_TRUE(op->modelLoaded);
  EXPECT_FALSE(op->hasError());
  const RenderSettings settings = renderSettings(*op);
  const RenderProgress progress;
  InferenceContext ctx{1, 0, settings, op->model, progress, torch::Device(torch::kCPU, -1), false, 1.5f, 0.5f, 1.0f};
  const torch::Tensor tile = torch::zeros({1, 3, 32, 32});
  EXPECT_THROW(inferencePass(ctx, tile, tile), c10::Error);
}

TEST_F(ModelLoadingTest, CpuPreparationSwitchesFlagsOffAndConvertsToFloat32)
{
  ServeNetwork serve("flags");
  op->debug = true;
  const std::string line =
      op->node_name() +
      ": CPU device - running the model in FP32 (half-casting flags off) to avoid the slow FP16-on-CPU path.\n";

  std::string out = open();
  ASSERT_TRUE(op->modelLoaded);
  EXPECT_NE(out.find(line), std::string::npos) << out;
  torch::jit::Module inner = op->model.attr("inner").toModule();
  EXPECT_FALSE(op->model.attr("cast_half").toBool());
  EXPECT_FALSE(op->model.attr("synth_fp32").toBool());
  EXPECT_FALSE(inner.attr("cast_half").toBool());
  EXPECT_EQ(op->model.attr("offset").toTensor().scalar_type(), torch::kFloat32);
  EXPECT_EQ(inner.attr("scale").toTensor().scalar_type(), torch::kFloat32);

  // Later open steps keep the network and prepare it again.
  serve.serve("noflags");
  op->model.setattr("cast_half", true);
  out = open();
  EXPECT_TRUE(op->model.hasattr("cast_half"));
  EXPECT_FALSE(op->model.attr("cast_half").toBool());
  EXPECT_NE(out.find(line), std::string::npos) << out;

  op->debug = false;
  EXPECT_EQ(open(), "");
}

TEST_F(ModelLoadingTest, NetworkWithoutFlagsIsLeftAsLoaded)
{
  ServeNetwork serve("noflags");
  op->debug = true;
  const std::string out = open();
  ASSERT_TRUE(op->modelLoaded);
  EXPECT_EQ(out.find("CPU device"), std::string::npos) << out;
  EXPECT_EQ(op->model.attr("offset").toTensor().scalar_type(), torch::kFloat64);
}

TEST_F(ModelLoadingTest, PlacementFailureIsReportedOnTheNode)
{
  ServeNetwork serve("flags");
  open();
  ASSERT_TRUE(op->modelLoaded);

  // Two simulated devices: the panel's index 5 means device 1, which this
  // build cannot move the network to.
  testsupport::ScopedCuda cuda;
  testsupport::ScopedEnv gpuIndex("QUOLMARINE_NUKE_GPU_INDEX", std::nullopt);
  op->use_gpu = true;
  op->cuda_deviceid = 5;
  std::string out;
  EXPECT_NO_THROW(out = open());
  EXPECT_TRUE(op->hasError());
  EXPECT_EQ(op->errorMessage(), "Error placing the frame interpolation neural network model on cuda:1");
  EXPECT_EQ(out.rfind("Error placing the frame interpolation neural network model on cuda:1\n", 0), 0u) << out;
  EXPECT_TRUE(op->modelLoaded);
}

TEST(ModelLibrary, EmbedsTheExportedArchive)
{
  const std::string path = testnetworks::realModelLibrary();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using GetModel = const unsigned char* (*)(uint64_t*);
  auto getModel = reinterpret_cast<GetModel>(dlsym(handle, "qm_get_model_A"));
  ASSERT_NE(getModel, nullptr);
  uint64_t size = 0;
  const unsigned char* data = getModel(&size);

  std::ifstream in(testnetworks::buildDir() + "/models/tweenova.pt", std::ios::binary);
  const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(file.empty());
  ASSERT_EQ(size, file.size());
  EXPECT_TRUE(std::equal(file.begin(), file.end(), data));
  dlclose(handle);
}

TEST(ModelLibrary, DefaultIsBesideThePlugin)
{
  tweenova::setModelLibraryPath("/somewhere/else.so");
  EXPECT_EQ(tweenova::modelLibraryPath(), "/somewhere/else.so");
  tweenova::setModelLibraryPath("");
  EXPECT_EQ(tweenova::modelLibraryPath(), getPluginPath() + "/TweenovaModels.so");
}

TEST_F(ModelLoadingTest, RealNetworkLoadsAndInterpolatesOnTheCpu)
{
  tweenova::setModelLibraryPath(testnetworks::realModelLibrary());
  const std::string out = open();
  tweenova::setModelLibraryPath("");
  ASSERT_TRUE(op->modelLoaded) << out;
  EXPECT_FALSE(op->hasError());

  torch::manual_seed(7);
  const torch::Tensor a = torch::rand({1, 3, 64, 64}) * 2.0f;
  const torch::Tensor b = torch::roll(a, {3}, {3});
  const RenderSettings settings = renderSettings(*op);
  const RenderProgress progress;
  InferenceContext ctx{1, 0, settings, op->model, progress, torch::Device(torch::kCPU, -1), false, 1.5f, 0.5f, 1.0f};
  const torch::Tensor r = inferencePass(ctx, a, b);
  EXPECT_EQ(r.sizes(), a.sizes());
  EXPECT_EQ(r.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::isfinite(r).all().item<bool>());
  EXPECT_EQ(ctx.progressDone, 1);
}

TEST(SharedNetworks, OperatorsAndNodesHoldOneNetworkPerArchiveAndDevice)
{
  ServeNetwork serve("blend");
  RetimeRig rig, other;
  // Operators the host makes to render frames side by side, and another node.
  Tweenova* ops[] = {&rig.acquire(1), &rig.acquire(2), &other.acquire(1)};
  for (Tweenova* op : ops) {
    op->validate(true);
    op->open();
    ASSERT_TRUE(op->modelLoaded) << op->errorMessage();
  }
  EXPECT_EQ(ops[0]->model._ivalue().get(), ops[1]->model._ivalue().get());
  EXPECT_EQ(ops[0]->model._ivalue().get(), ops[2]->model._ivalue().get());
  EXPECT_EQ(tweenova::sharedNetworkCount(), 1u);
  EXPECT_EQ(tweenova::networkDevice(ops[0]->model), torch::Device(torch::kCPU, -1));

  // Other bytes from the library are another network.
  serve.serve("noflags");
  ops[2]->modelLoaded = false;
  ops[2]->invalidate();
  ops[2]->validate(true);
  ops[2]->open();
  EXPECT_NE(ops[0]->model._ivalue().get(), ops[2]->model._ivalue().get());
  EXPECT_EQ(tweenova::sharedNetworkCount(), 2u);

  // The last holder lets go of a network entirely; the others keep theirs.
  tweenova::releaseNetwork(ops[2]->model);
  EXPECT_EQ(tweenova::sharedNetworkCount(), 1u);
  tweenova::releaseNetwork(ops[0]->model);
  EXPECT_TRUE(ops[1]->model.find_method("forward").has_value());
  EXPECT_EQ(tweenova::sharedNetworkCount(), 1u);
  rig.release(*ops[0]);
  rig.release(*ops[1]);
  other.release(*ops[2]);
}
