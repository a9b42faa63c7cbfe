// The real CUDA environment behind the seam: every query the panel, the
// start-up checks and the device rule make answers, on a machine with or
// without a GPU, and the answers agree with one another.
#include "node/DeviceQuery.h"
#include "runtime/CudaDriver.h"
#include "runtime/CudaEnvironment.h"
#include "runtime/SimulatedCudaEnvironment.h"
#include "runtime/TorchCudaLibrary.h"

#include <ATen/detail/CUDAHooksInterface.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

const tweenova::CudaEnvironment& real()
{
  tweenova::setCudaEnvironment(nullptr);
  return tweenova::cudaEnvironment();
}

} // namespace

TEST(CudaEnvironment, TheBuildCarriesCudaAndCuDNN)
{
  const tweenova::CudaEnvironment& cuda = real();
  EXPECT_TRUE(cuda.buildHasCuda());
  EXPECT_GE(cuda.versionCUDART(), 12000);  // 13000 for CUDA 13.0.0
  EXPECT_GE(cuda.versionCuDNN(), 90000);   // 91900 for cuDNN 9.19.0
  // The configuration (and the native capabilities in it) where a device answers.
  std::string capability;
  if (cuda.isAvailable()) {
    ASSERT_TRUE(parseBuildCapability(cuda.showConfig(), capability)) << cuda.showConfig();
    EXPECT_GE(std::stoi(capability), 90) << "the build's highest native capability";
  } else {
    EXPECT_EQ(cuda.showConfig(), "");
  }
  EXPECT_EQ(buildVersionText().rfind("This version is built against CUDA ", 0), 0u) << buildVersionText();
}

TEST(CudaEnvironment, DevicesAnswerOrAreAbsentWithoutThrowing)
{
  const tweenova::CudaEnvironment& cuda = real();
  const int count = cuda.deviceCount();
  EXPECT_EQ(cuda.isAvailable(), count > 0);
  for (int i = 0; i < count; ++i) {
    const tweenova::CudaDeviceProperties p = cuda.deviceProperties(i);
    EXPECT_FALSE(p.name.empty());
    EXPECT_GE(p.major, 5);
    EXPECT_GT(p.totalMemory, 0u);
  }
  EXPECT_THROW(cuda.deviceProperties(count), std::out_of_range);
  EXPECT_THROW(cuda.deviceProperties(-1), std::out_of_range);
  EXPECT_NO_THROW(cuda.emptyCache());
}

TEST(CudaEnvironment, AHeldReferenceAnswersForTheEnvironmentInForce)
{
  using tweenova::SimulatedCudaEnvironment;
  auto one = std::make_shared<SimulatedCudaEnvironment>(SimulatedCudaEnvironment::standard());
  one->devices.resize(1);
  auto three = std::make_shared<SimulatedCudaEnvironment>(*one);
  three->devices.resize(3, one->devices[0]);

  tweenova::setCudaEnvironment(one);
  const tweenova::CudaEnvironment& held = tweenova::cudaEnvironment();
  EXPECT_EQ(held.deviceCount(), 1);
  tweenova::setCudaEnvironment(three);
  EXPECT_EQ(held.deviceCount(), 3);  // not the replaced environment, which this test still keeps alive
  tweenova::setCudaEnvironment(nullptr);
  EXPECT_EQ(one.use_count(), 1);
  EXPECT_EQ(three.use_count(), 1);  // nothing else keeps a replaced environment
  EXPECT_EQ(held.deviceCount(), real().deviceCount());
}

TEST(CudaEnvironment, AMissingGpuHasItsReason)
{
  using tweenova::describeMissingCuda;
  using tweenova::DriverProbe;
  EXPECT_EQ(describeMissingCuda(DriverProbe{}, 13000), "no NVIDIA driver");
  // A driver for CUDA 12.4 cannot run the CUDA 13 runtime; one for 13.1 can.
  EXPECT_EQ(describeMissingCuda(DriverProbe{true, 12040, 1}, 13000),
            "driver too old for this build's CUDA (it needs R580 or newer)");
  EXPECT_EQ(describeMissingCuda(DriverProbe{true, 11080, 1}, 12080),
            "driver too old for this build's CUDA (it needs R525 or newer)");
  EXPECT_EQ(describeMissingCuda(DriverProbe{true, 13010, 0}, 13000), "no device");
  EXPECT_EQ(describeMissingCuda(DriverProbe{true, 13010, -1}, 13000), "the CUDA runtime could not start");
  EXPECT_EQ(describeMissingCuda(DriverProbe{true, 13000, 2}, 13000), "the CUDA runtime could not start");
  EXPECT_EQ(tweenova::minimumDriverRelease(13000), 580);

  // This machine's own answer agrees with its devices.
  const tweenova::CudaEnvironment& cuda = real();
  EXPECT_EQ(cuda.unavailableReason().empty(), cuda.isAvailable()) << cuda.unavailableReason();
  // The kernels are known with or without a driver.
  EXPECT_FALSE(buildArchitectures(cuda).empty()) << cuda.kernelArchitectures();
  EXPECT_NE(cuda.kernelArchitectures().find("sm_90"), std::string::npos) << cuda.kernelArchitectures();
}

// libtorch's CUDA half is loaded only where a driver could use it; the
// versions a process names without it are the ones the half itself gives.
TEST(CudaEnvironment, TheCudaHalfLoadsWhereItCanServeAndAgreesWithTheRecord)
{
  const tweenova::CudaEnvironment& cuda = real();
  EXPECT_TRUE(tweenova::torchHasCudaLibrary());
  const bool driver = tweenova::cudaDriverInstalled();
  // What a node asks when it is made, its panel's texts included.
  const bool available = cuda.isAvailable();
  const long cudart = cuda.versionCUDART();
  const long cudnn = cuda.versionCuDNN();
  const std::string reason = cuda.unavailableReason();
  const std::string version = buildVersionText();
  if (!driver)
    EXPECT_FALSE(tweenova::torchCudaLibraryLoaded()) << "a machine without a driver asked for the CUDA half";
  else
    EXPECT_TRUE(tweenova::torchCudaLibraryLoaded());

  std::string error;
  ASSERT_TRUE(tweenova::loadTorchCudaLibrary(&error)) << error;
  EXPECT_TRUE(tweenova::torchCudaLibraryLoaded());
  const at::CUDAHooksInterface& hooks = at::detail::getCUDAHooks();
  EXPECT_TRUE(hooks.hasCUDART());
  EXPECT_EQ(hooks.versionCUDART(), cudart);
  EXPECT_EQ(hooks.versionCuDNN(), cudnn);
  EXPECT_EQ(cuda.isAvailable(), available);
  EXPECT_EQ(cuda.unavailableReason(), reason);
  EXPECT_EQ(buildVersionText(), version);
}
