#pragma once

#include "runtime/CudaEnvironment.h"

namespace tweenova {

// The NVIDIA driver library (libcuda.so.1), asked directly: it answers
// without libtorch's CUDA half or the CUDA runtime, and it is what tells a
// machine that could use a GPU from one that never can.

// Whether the driver library can be loaded.
bool cudaDriverInstalled();

// Which driver is there, which CUDA it supports and how many devices it sees.
DriverProbe probeDriver();

// The name, compute capability and memory of device `index`, numbered as the
// CUDA runtime numbers them (both follow CUDA_VISIBLE_DEVICES). Throws
// std::runtime_error where the driver cannot tell.
CudaDeviceProperties driverDeviceProperties(int index);

} // namespace tweenova
