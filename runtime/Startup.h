#pragma once

#include <torch/script.h>

#include <string>

namespace tweenova {

class CudaEnvironment;

// Warns on standard output when the GPU's compute capability (digits, "89")
// is newer than the highest the build compiled kernels for ("86"), and says
// whether the driver's kernel cache can hold the kernels compiled at run
// time. QUOLMARINE_SUPPRESS_KERNEL_WARNINGS=1 silences both; a capability
// that is no number says nothing.
void checkKernelSupport(const std::string& gpuCapability, const std::string& buildCapability);

// A driver that is there but cannot run this build is worth a line: the
// node then renders on the CPU, far slower. Said once per process for each
// reason, not for every node a script creates; a machine without a driver
// is simply a CPU machine and hears nothing.
void reportUnusableDriver(const CudaEnvironment& cuda);

// Work done when a node is destroyed: its network, when loaded, leaves the
// GPU first; nothing is thrown.
void tearDown(torch::jit::Module& model, bool modelLoaded) noexcept;

} // namespace tweenova

// Directory of the loaded plug-in library, without a trailing separator; empty when unknown.
std::string getPluginPath();
