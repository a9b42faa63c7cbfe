#include "render/ErrorReporting.h"

#include <gtest/gtest.h>

#include <string>

TEST(MapErrorMessage, MemoryFailuresShowTheOutOfMemoryHint)
{
  const std::string hint =
    "Out of GPU memory - lower the Tiling 'max size', reduce the input resolution, or untick 'Use GPU if available' "
    "to render on CPU.";
  EXPECT_EQ(mapErrorMessage("CUDA out of memory. Tried to allocate 2.00 GiB\nmore detail"), hint);
  EXPECT_EQ(mapErrorMessage("DefaultCPUAllocator: not enough memory: you tried... out of memory"), hint);
  EXPECT_EQ(mapErrorMessage("cuDNN error: Unable to find a valid cuDNN algorithm to run convolution"), hint);
  // Case-sensitive.
  EXPECT_EQ(mapErrorMessage("Out Of Memory"), "Out Of Memory");
}

TEST(MapErrorMessage, LastLineRule)
{
  EXPECT_EQ(mapErrorMessage("a\nb\nc"), "c");
  EXPECT_EQ(mapErrorMessage("abc\n"), "abc\n");
  EXPECT_EQ(mapErrorMessage("a\nb\n"), "b\n");
  EXPECT_EQ(mapErrorMessage("first\r\nsecond"), "second");
  EXPECT_EQ(mapErrorMessage("first\rsecond"), "second");
  EXPECT_EQ(mapErrorMessage("Too many nan values returned, frame corrupt"),
            "Too many nan values returned, frame corrupt");
  EXPECT_EQ(mapErrorMessage("x"), "x");
  EXPECT_EQ(mapErrorMessage("\n"), "\n");
  EXPECT_EQ(mapErrorMessage("\n\n"), "\n");
  EXPECT_EQ(mapErrorMessage(""), "Processing error (see the terminal for details).");
}

namespace {

// libtorch 2.11's text for a failed CUDA call (c10_cuda_check_implementation,
// as c10::Error::msg() gives it): the runtime's description, its help line,
// the asynchronous-report advice and the device-side assertion note.
std::string torchCudaError(const std::string& description, const std::string& errorName)
{
  return "CUDA error: " + description + "\nSearch for `" + errorName +
         "' in https://docs.nvidia.com/cuda/cuda-runtime-api/group__CUDART__TYPES.html for more information.\n"
         "CUDA kernel errors might be asynchronously reported at some other API call, so the stacktrace below might "
         "be incorrect.\nFor debugging consider passing CUDA_LAUNCH_BLOCKING=1\n"
         "Compile with `TORCH_USE_CUDA_DSA` to enable device-side assertions.\n";
}

} // namespace

TEST(MapErrorMessage, CudaErrorsShowWhatHappened)
{
  EXPECT_EQ(mapErrorMessage(torchCudaError("no kernel image is available for execution on the device",
                                           "cudaErrorNoKernelImageForDevice")),
            "CUDA error: no kernel image is available for execution on the device");
  EXPECT_EQ(mapErrorMessage(torchCudaError("an illegal memory access was encountered", "cudaErrorIllegalAddress")),
            "CUDA error: an illegal memory access was encountered");
  EXPECT_EQ(mapErrorMessage(torchCudaError("uncorrectable ECC error encountered", "cudaErrorECCUncorrectable")),
            "CUDA error: uncorrectable ECC error encountered");
  // The invalid-device help line of the same report.
  EXPECT_EQ(mapErrorMessage("CUDA error: invalid device ordinal\nGPU device may be out of range, do you have enough "
                            "GPUs?\nCompile with `TORCH_USE_CUDA_DSA` to enable device-side assertions.\n"),
            "CUDA error: invalid device ordinal");
  // Raised from inside a TorchScript call, the report follows the interpreter's traceback.
  EXPECT_EQ(mapErrorMessage("The following operation failed in the TorchScript interpreter.\nTraceback:\n  File "
                            "\"code/__torch__.py\", line 12\n" +
                            torchCudaError("misaligned address", "cudaErrorMisalignedAddress")),
            "CUDA error: misaligned address");
  EXPECT_EQ(mapErrorMessage("CUDA driver error: device not ready"), "CUDA driver error: device not ready");
  EXPECT_EQ(mapErrorMessage("Traceback:\nRuntimeError: " + torchCudaError("unspecified launch failure",
                                                                        "cudaErrorLaunchFailure")),
            "CUDA error: unspecified launch failure");
  // Memory failures keep their hint, whatever shape they come in.
  EXPECT_EQ(mapErrorMessage(torchCudaError("out of memory", "cudaErrorMemoryAllocation")), kOutOfMemoryMessage);
  // Carriage returns end lines too.
  EXPECT_EQ(mapErrorMessage("x\rCUDA error: device-side assert triggered\rmore"),
            "CUDA error: device-side assert triggered");
  // Only a line that starts with it counts.
  EXPECT_EQ(mapErrorMessage("see the CUDA error: below\nlast"), "last");
}
