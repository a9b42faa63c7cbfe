#include "runtime/CpuFeatures.h"
#include "runtime/DeviceRule.h"
#include "support/ScopedCuda.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using testsupport::ScopedCuda;
using testsupport::ScopedEnv;

namespace {

class DeviceRuleTest : public ::testing::Test {
protected:
  // The CUDA index the open step chooses, or -1 for the CPU.
  int openIndex()
  {
    const DeviceChoice c = chooseDevice(request, DeviceRuleCaller::Open);
    EXPECT_EQ(c.useCuda, c.device.is_cuda());
    return c.device.is_cuda() ? int(c.device.index()) : -1;
  }

  ScopedCuda cuda;  // two devices
  ScopedEnv gpuIndex{"QUOLMARINE_NUKE_GPU_INDEX", std::nullopt};
  DeviceRequest request;  // a new node's knobs
};

} // namespace

TEST_F(DeviceRuleTest, PanelIndexIsClampedToTheLastDevice)
{
  request.cudaDeviceId = 5;
  EXPECT_EQ(openIndex(), 1);
  request.cudaDeviceId = 0;
  EXPECT_EQ(openIndex(), 0);
  request.cudaDeviceId = 1;
  EXPECT_EQ(openIndex(), 1);
}

TEST_F(DeviceRuleTest, BatchRenderVariableOverridesThePanel)
{
  request.cudaDeviceId = 0;
  const std::pair<const char*, int> cases[] = {{"1", 1}, {"7", 1}, {"abc", 0}, {"", 0}, {" +1x", 1}};
  for (auto [value, index] : cases) {
    setenv("QUOLMARINE_NUKE_GPU_INDEX", value, 1);
    EXPECT_EQ(openIndex(), index) << "'" << value << "'";
  }

  setenv("QUOLMARINE_NUKE_GPU_INDEX", "1", 1);
  request.gpuRenderOverride = false;
  EXPECT_EQ(openIndex(), 0);
  request.cudaDeviceId = 3;
  EXPECT_EQ(openIndex(), 1);
}

TEST_F(DeviceRuleTest, DebugLineShowsTheRawOverride)
{
  request.debug = true;
  setenv("QUOLMARINE_NUKE_GPU_INDEX", "7", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(openIndex(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[_open] Render --gpu override: 7\n");
}

TEST_F(DeviceRuleTest, CpuWhenTheGpuIsOffOrAbsent)
{
  request.debug = true;
  setenv("QUOLMARINE_NUKE_GPU_INDEX", "1", 1);
  request.useGpu = false;
  testing::internal::CaptureStdout();
  const DeviceChoice c = chooseDevice(request, DeviceRuleCaller::Open);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the variable is not even read
  EXPECT_TRUE(c.device.is_cpu());
  EXPECT_EQ(c.device.index(), -1);
  EXPECT_FALSE(c.useCuda);

  request.useGpu = true;
  ScopedCuda none{tweenova::SimulatedCudaEnvironment()};
  setenv("QUOLMARINE_NUKE_GPU_INDEX", "1", 1);
  EXPECT_EQ(openIndex(), -1);
}

TEST_F(DeviceRuleTest, BfloatSixteenFollowsTheChosenDevice)
{
  // The CPU's own answer where the CPU is chosen, the GPU's where a GPU is.
  for (bool cpuComputes : {true, false}) {
    tweenova::setCpuBfloat16ForTesting(cpuComputes);
    request.useGpu = false;
    EXPECT_EQ(chooseDevice(request, DeviceRuleCaller::Render).bf16Capable, cpuComputes);
    request.useGpu = true;
    const DeviceChoice gpu = chooseDevice(request, DeviceRuleCaller::Render);
    ASSERT_TRUE(gpu.useCuda);
    EXPECT_TRUE(gpu.bf16Capable);  // the simulated devices are sm_89
  }
  tweenova::setCpuBfloat16ForTesting(std::nullopt);
}
