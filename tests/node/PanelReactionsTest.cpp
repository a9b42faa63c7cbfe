// The panel's information texts and its reactions to knob changes, against simulated GPUs.
#include "node/DeviceQuery.h"
#include "runtime/DeviceRule.h"
#include "support/RetimeRig.h"
#include "support/ScopedCuda.h"

#include <gtest/gtest.h>

using namespace DD::Image;
using testsupport::RetimeRig;
using testsupport::ScopedCuda;
using tweenova::SimulatedCudaEnvironment;

namespace {

std::string textOf(const RetimeRig& rig, const char* name) { return rig.knob(name) ? rig.knob(name)->text() : "<none>"; }

const Knob* aboutRow(const RetimeRig& rig, const std::string& prefix)
{
  for (const Knob* k : rig.node->knobs())
    if (k->kind() == KnobKind::Text && k->text().rfind(prefix, 0) == 0)
      return k;
  return nullptr;
}

SimulatedCudaEnvironment oneDevice(int major, int minor, long runtime, uint64_t memory = 24ull << 30)
{
  SimulatedCudaEnvironment env = SimulatedCudaEnvironment::standard();
  env.devices.resize(1);
  env.devices[0].major = major;
  env.devices[0].minor = minor;
  env.devices[0].totalMemory = memory;
  env.runtimeVersion = runtime;
  return env;
}

} // namespace

TEST(PanelInfo, CompatibilityTable)
{
  EXPECT_FALSE(isCapabilityCompatible(11080, 80));
  EXPECT_TRUE(isCapabilityCompatible(11080, 86));
  EXPECT_TRUE(isCapabilityCompatible(11080, 89));
  EXPECT_TRUE(isCapabilityCompatible(12080, 120));
  EXPECT_FALSE(isCapabilityCompatible(12080, 90));
  EXPECT_FALSE(isCapabilityCompatible(12080, 35));
  EXPECT_TRUE(isCapabilityCompatible(11020, 75));
  EXPECT_FALSE(isCapabilityCompatible(11020, 80));
  EXPECT_FALSE(isCapabilityCompatible(10010, 72));
  EXPECT_TRUE(isCapabilityCompatible(10010, 75));
  EXPECT_TRUE(isCapabilityCompatible(99999, 10));  // unknown runtime: always
}

TEST(PanelInfo, BuildCapabilityParsing)
{
  std::string cc = "old";
  EXPECT_TRUE(parseBuildCapability(tweenova::simulatedBuildConfig("sm_90"), cc));
  EXPECT_EQ(cc, "90");
  // The last of 's', 'm', '_' is the 's' of "flags": the digits after it are none.
  cc = "old";
  EXPECT_TRUE(parseBuildCapability("x\n  - NVCC architecture flags: 1234\n", cc));
  EXPECT_EQ(cc, "");
  cc = "old";
  EXPECT_FALSE(parseBuildCapability("  - NVCC flags: sm_90\n", cc));
  EXPECT_EQ(cc, "old");
  // Only the first matching line counts.
  EXPECT_TRUE(parseBuildCapability("  - NVCC architecture flags: sm_75\n  - NVCC architecture flags: sm_90\n", cc));
  EXPECT_EQ(cc, "75");
}

TEST(PanelInfo, TextsOnASimulatedGpu)
{
  ScopedCuda cuda;
  RetimeRig rig;
  EXPECT_EQ(textOf(rig, "gpuName"), "Simulated GPU (sm_89, 24 GiB)");
  EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb   Compute capability: sm_89");
  ASSERT_TRUE(aboutRow(rig, "This version is built against CUDA 11.8.0 and cuDNN 8.4.1"));
  ASSERT_TRUE(aboutRow(rig, "with native support for GPUs up to compute capability sm_86."));
  EXPECT_EQ(textOf(rig, "kernelInfo"), "Since your current GPU is sm_89, you will rely on JIT-compiled kernels.");
  ASSERT_TRUE(aboutRow(rig, "This exact combination of CUDA/cuDNN versions is matching\n"));
  EXPECT_TRUE(rig.knob("use_gpu")->isEnabled());
  EXPECT_TRUE(rig.panelOp().use_gpu);
  EXPECT_TRUE(rig.panelOp().bf16Capable);
}

TEST(PanelInfo, MemoryLineRoundsUpAndTurnsRedWhenIncompatible)
{
  {
    ScopedCuda cuda(oneDevice(8, 6, 11080, 25769803776ull));
    RetimeRig rig;
    EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb   Compute capability: sm_86");
  }
  {
    ScopedCuda cuda(oneDevice(8, 6, 11080, 25769803777ull));
    RetimeRig rig;
    EXPECT_EQ(textOf(rig, "gpuMemory"), "25Gb   Compute capability: sm_86");
  }
  {
    ScopedCuda cuda(oneDevice(8, 0, 11080));
    RetimeRig rig;
    EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_80</font>");
    EXPECT_FALSE(rig.panelOp().use_gpu);
    EXPECT_FALSE(rig.knob("use_gpu")->isEnabled());
  }
}

TEST(PanelInfo, VersionRowsAndKernelNote)
{
  {
    SimulatedCudaEnvironment env = oneDevice(8, 6, 11080);
    env.cudnnVersion = 90100;
    env.config = "no flags here\n";
    ScopedCuda cuda(env);
    RetimeRig rig;
    ASSERT_TRUE(aboutRow(rig, "This version is built against CUDA 11.8.0 and cuDNN 9.1.0"));
    // No flag line: filled from the runtime version.
    ASSERT_TRUE(aboutRow(rig, "with native support for GPUs up to compute capability sm_89."));
    EXPECT_EQ(textOf(rig, "kernelInfo"), "Since your current GPU is sm_86, you will rely on native kernels.");
    ASSERT_TRUE(aboutRow(rig, "This exact combination of CUDA/cuDNN versions is NOT matching\n"));
  }
  {
    SimulatedCudaEnvironment env = oneDevice(12, 0, 12080);
    env.cudnnVersion = 8902;
    env.config = "";
    ScopedCuda cuda(env);
    RetimeRig rig;
    ASSERT_TRUE(aboutRow(rig, "This version is built against CUDA 12.8.0 and cuDNN 8.9.2"));
    ASSERT_TRUE(aboutRow(rig, "with native support for GPUs up to compute capability sm_120."));
  }
}

TEST(PanelReactions, ModeVisibilityAndInvalidation)
{
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  ASSERT_EQ(&op, &rig.panelOp());
  ASSERT_TRUE(op.valid());
  rig.set("steps", 3);  // no reaction
  EXPECT_TRUE(op.valid());
  rig.set("mode", 1);
  EXPECT_FALSE(op.valid());
  EXPECT_FALSE(rig.knob("speed")->isVisible());
  EXPECT_TRUE(rig.knob("output_frame")->isVisible());
  rig.node->showPanel();
  EXPECT_FALSE(rig.knob("speed")->isVisible());
  rig.set("mode", 0);
  EXPECT_TRUE(rig.knob("speed")->isVisible());
  EXPECT_FALSE(rig.knob("output_frame")->isVisible());

  for (const char* name : {"speed", "frame_range_start", "frame_range_end", "max_size", "overlap"}) {
    op.validate(true);
    ASSERT_TRUE(op.valid());
    rig.set(name, rig.knob(name)->get_value() + 1);
    EXPECT_FALSE(op.valid()) << name;
  }
  rig.release(op);
}

TEST(PanelReactions, GpuKnobsAndNetworkReload)
{
  ScopedCuda cuda;
  RetimeRig rig;
  Tweenova& op = rig.acquire(1);
  ASSERT_EQ(&op, &rig.panelOp());
  op.modelLoaded = true;
  ASSERT_TRUE(op.valid());
  rig.set("use_gpu", 0);
  EXPECT_FALSE(op.modelLoaded);
  EXPECT_FALSE(op.valid());
  EXPECT_FALSE(rig.knob("mixed_precision")->isEnabled());
  EXPECT_FALSE(rig.knob("gpu_render_override")->isEnabled());
  op.validate(true);
  rig.set("use_gpu", 1);
  EXPECT_FALSE(op.valid());
  EXPECT_TRUE(rig.knob("mixed_precision")->isEnabled());
  EXPECT_TRUE(rig.knob("gpu_render_override")->isEnabled());
  op.modelLoaded = true;
  op.validate(true);
  rig.set("mixed_precision", 1);
  EXPECT_FALSE(op.modelLoaded);
  EXPECT_FALSE(op.valid());
  rig.release(op);
}

namespace {

// The standard simulated machine with its device `index` made an sm_75 named `name`.
SimulatedCudaEnvironment withTuringDevice(size_t index, const char* name)
{
  SimulatedCudaEnvironment env = SimulatedCudaEnvironment::standard();
  env.devices[index].name = name;
  env.devices[index].major = 7;
  env.devices[index].minor = 5;
  return env;
}

} // namespace

TEST(PanelReactions, DeviceIdPastTheLastDeviceSelectsTheLast)
{
  ScopedCuda cuda(withTuringDevice(1, "Second"));
  RetimeRig rig;
  rig.set("cuda_deviceid", 5);
  EXPECT_EQ(textOf(rig, "gpuName"), "Second");
  EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb   Compute capability: sm_75");
  EXPECT_EQ(textOf(rig, "kernelInfo"), "Since your current GPU is sm_75, you will rely on native kernels.");
  EXPECT_FALSE(rig.panelOp().bf16Capable);
}

TEST(PanelReactions, NegativeDeviceIdSelectsTheFirstDeviceLikeTheRender)
{
  ScopedCuda cuda(withTuringDevice(0, "First"));
  RetimeRig rig;
  for (int id : {-1, -2147483647}) {
    ASSERT_NO_THROW(rig.set("cuda_deviceid", id));
    EXPECT_EQ(textOf(rig, "gpuName"), "First");
    EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb   Compute capability: sm_75");
    // The panel builds again and the node validates with the value stored.
    ASSERT_NO_THROW(rig.node->showPanel());
    Tweenova& op = rig.acquire(1);
    EXPECT_TRUE(op.valid()) << op.errorMessage();
    EXPECT_EQ(op.cuda_deviceid, id);
    EXPECT_EQ(op.gpuComputeCapability, "75");
    EXPECT_EQ(chooseDevice(op.deviceRequest(), DeviceRuleCaller::Open).device, torch::Device(torch::kCUDA, 0));
    rig.release(op);
  }
}

TEST(PanelReactions, ImagePatchesCountTheInputsTiles)
{
  RetimeRig small(1920, 1080);
  small.node->showPanel();
  EXPECT_EQ(textOf(small, "image_patches"), "Image patches: 1 (1 x 1)");
  small.set("max_size", 1000);
  EXPECT_EQ(textOf(small, "image_patches"), "Image patches: 8 (4 x 2)");

  RetimeRig wide(9000, 3000);
  wide.node->showPanel();
  EXPECT_EQ(textOf(wide, "image_patches"), "Image patches: 3 (3 x 1)");
}

TEST(PanelInfo, CompatibilityFollowsTheBuildsKernels)
{
  // libtorch's own list, and the nvcc flags of its configuration text (only code= entries are in the build).
  const std::vector<KernelArchitecture> cuda13 = parseKernelArchitectures("sm_75 sm_80 sm_86 sm_90 sm_100 sm_120");
  ASSERT_EQ(cuda13.size(), 6u);
  EXPECT_EQ(architectureSpan(cuda13), "sm_75 to sm_120");
  const std::vector<KernelArchitecture> flags =
    parseKernelArchitectures("-gencode;arch=compute_80,code=sm_86;-gencode;arch=compute_90,code=[sm_90,compute_90]");
  ASSERT_EQ(flags.size(), 3u);
  EXPECT_EQ(flags[0].cc, 86);
  EXPECT_TRUE(flags[2].ptx);

  // Native code runs on its major version from its minor on; PTX on every later device.
  for (int cc : {75, 80, 89, 90, 100, 103, 120, 121})
    EXPECT_TRUE(isDeviceCompatible(13000, cc, cuda13)) << cc;
  for (int cc : {35, 61, 70, 72, 110})
    EXPECT_FALSE(isDeviceCompatible(13000, cc, cuda13)) << cc;
  EXPECT_TRUE(isDeviceCompatible(13000, 110, flags));  // compute_90
  EXPECT_FALSE(isDeviceCompatible(13000, 80, flags));
  // The table's versions keep their table, and no device older than the oldest kernel passes.
  EXPECT_TRUE(isDeviceCompatible(11080, 90, flags));
  EXPECT_FALSE(isDeviceCompatible(11080, 80, flags));
  EXPECT_FALSE(isDeviceCompatible(11080, 70, parseKernelArchitectures("sm_75 sm_86")));
  EXPECT_TRUE(isDeviceCompatible(11080, 70, {}));
}

TEST(PanelInfo, AnOldCardOnThisBuildIsRefusedWithItsReason)
{
  // As the CUDA 13 build looks without a driver's configuration text: the list recorded at configure time.
  auto cuda13 = [](int major, int minor) {
    SimulatedCudaEnvironment env = oneDevice(major, minor, 13000);
    env.cudnnVersion = 91900;
    env.config = "";
    env.architectures = "sm_75 sm_80 sm_86 sm_90 sm_100 sm_120";
    return env;
  };
  {
    ScopedCuda cuda(cuda13(6, 1));
    RetimeRig rig;
    EXPECT_FALSE(rig.panelOp().use_gpu);
    EXPECT_FALSE(rig.knob("use_gpu")->isEnabled());
    EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_61</font> "
                                        "(this build's kernels are for sm_75 to sm_120)");
    ASSERT_TRUE(aboutRow(rig, "with native support for GPUs up to compute capability sm_120."));
    EXPECT_EQ(textOf(rig, "kernelInfo"), "Since your current GPU is sm_61, you will rely on native kernels.");
  }
  {
    ScopedCuda cuda(cuda13(9, 0));
    RetimeRig rig;
    EXPECT_TRUE(rig.panelOp().use_gpu);
    EXPECT_EQ(textOf(rig, "gpuMemory"), "24Gb   Compute capability: sm_90");
    ASSERT_TRUE(aboutRow(rig, "This version is built against CUDA 13.0.0 and cuDNN 9.19.0"));
    // A device id change runs the same verdict.
    rig.panelOp().cuda_deviceid = 0;
    rig.set("cuda_deviceid", 0);
    EXPECT_TRUE(rig.panelOp().use_gpu);
  }
}

TEST(PanelInfo, WithoutCudaTheGpuLineSaysWhy)
{
  SimulatedCudaEnvironment none;
  none.reason = "the CUDA runtime could not start";
  ScopedCuda cuda(none);
  RetimeRig rig;
  EXPECT_EQ(textOf(rig, "gpuName"), "Not available: the CUDA runtime could not start");
  EXPECT_FALSE(rig.panelOp().use_gpu);
}
