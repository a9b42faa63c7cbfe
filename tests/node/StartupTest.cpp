// What a node prints and records when it is created and destroyed.
#include "runtime/Logging.h"
#include "runtime/Startup.h"
#include "support/RetimeRig.h"
#include "support/ScopedCuda.h"

#include <gtest/gtest.h>

using testsupport::RetimeRig;
using testsupport::ScopedCuda;
using testsupport::ScopedEnv;

namespace {

const std::string kCapabilityLine = "Tweenova: This plugin build natively supports up to compute capability sm_86. "
                                    "Since your current GPU is sm_89, you will rely on JIT-compiled kernels.\n";
const std::string kNotSet = "Tweenova: WARNING, the CUDA_CACHE_MAXSIZE environment variable is not set. Please "
                            "check the manual on how to set it for the JIT-compilation to be able to succeed.\n";
const std::string kMeets =
  "Tweenova: The CUDA_CACHE_MAXSIZE environment variable is set and meets the minimum requirement.\n";
const std::string kTooLow = "Tweenova: WARNING, the CUDA_CACHE_MAXSIZE environment variable is set too low. It "
                            "should be set to at least 4000000000. Please check the manual on how to set it for the "
                            "JIT-compilation to be able to succeed.\n";

std::string startUpOutput()
{
  testing::internal::CaptureStdout();
  { RetimeRig rig; }
  return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Startup, KernelWarningsFollowTheEnvironment)
{
  ScopedCuda cuda;
  struct Case {
    std::optional<std::string> suppress, cache;
    std::string expected;
  };
  const Case cases[] = {
    {std::nullopt, std::nullopt, kCapabilityLine + kNotSet},
    {std::string("1"), std::nullopt, ""},
    {std::string("true"), std::nullopt, kCapabilityLine + kNotSet},
    {std::string("11"), std::string("4000000000"), kCapabilityLine + kMeets},
    {std::nullopt, std::string("3999999999"), kCapabilityLine + kTooLow},
    {std::nullopt, std::string("4GB"), kCapabilityLine + kTooLow},
  };
  for (const Case& c : cases) {
    ScopedEnv suppress("QUOLMARINE_SUPPRESS_KERNEL_WARNINGS", c.suppress);
    ScopedEnv cache("CUDA_CACHE_MAXSIZE", c.cache);
    EXPECT_EQ(startUpOutput(), c.expected) << c.suppress.value_or("unset") << " " << c.cache.value_or("unset");
  }
}

TEST(Startup, NothingPrintedForANativeGpuOrWithoutCuda)
{
  {
    tweenova::SimulatedCudaEnvironment env = tweenova::SimulatedCudaEnvironment::standard();
    env.config = tweenova::simulatedBuildConfig("sm_90");
    ScopedCuda cuda(env);
    EXPECT_EQ(startUpOutput(), "");
  }
  ScopedCuda noGpu(tweenova::SimulatedCudaEnvironment{});
  EXPECT_EQ(startUpOutput(), "");
  RetimeRig rig;
  EXPECT_EQ(rig.panelOp().gpuComputeCapability, "");
  EXPECT_FALSE(rig.panelOp().bf16Capable);
}

TEST(Startup, PluginPathIsTheFolderOfTheLoadedCode)
{
  const std::string dir = getPluginPath();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_EQ(dir.find("/tests"), dir.size() - 6) << dir;  // the test program's folder
}

TEST(Startup, DestructorMovesALoadedNetworkOffTheDeviceAndNeverThrows)
{
  auto destroyed = [](bool loaded) {
    auto rig = std::make_unique<RetimeRig>();
    Tweenova& op = rig->panelOp();
    op.model = torch::jit::Module("net");
    op.model.register_parameter("w", torch::ones({2}), false);
    op.modelLoaded = loaded;
    tweenova::applyLogLevel(true);
    testing::internal::CaptureStdout();
    rig.reset();
    std::string out = testing::internal::GetCapturedStdout();
    tweenova::applyLogLevel(false);
    return out;
  };
  const std::string loaded = destroyed(true);
  EXPECT_NE(loaded.find("Tweenova destructor: Moving model to CPU before cleanup"), std::string::npos) << loaded;
  EXPECT_NE(loaded.find("Tweenova destructor: Cleanup completed successfully"), std::string::npos);
  const std::string empty = destroyed(false);
  EXPECT_EQ(empty.find("Moving model to CPU"), std::string::npos);
  EXPECT_NE(empty.find("Tweenova destructor: Cleanup completed successfully"), std::string::npos);
}

TEST(Startup, ADriverThatCannotRunTheBuildIsSaidOncePerReason)
{
  tweenova::SimulatedCudaEnvironment env;
  env.reason = "driver too old for this build's CUDA (it needs R580 or newer)";
  {
    ScopedCuda tooOld(env);
    EXPECT_EQ(startUpOutput(), "Tweenova: the GPU is not usable (driver too old for this build's CUDA (it needs R580 "
                               "or newer)); the node renders on the CPU.\n");
    EXPECT_EQ(startUpOutput(), "");  // every further node of the script says nothing more
  }
  env.reason = "no device";
  ScopedCuda noDevice(env);
  EXPECT_EQ(startUpOutput(), "Tweenova: the GPU is not usable (no device); the node renders on the CPU.\n");
}
