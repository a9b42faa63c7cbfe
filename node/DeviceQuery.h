#pragma once

#include <string>
#include <vector>

class Tweenova;

namespace tweenova {
class CudaEnvironment;
}

// One kernel architecture of a build: native code for compute capability
// `cc` (86 for 8.6), which runs on that major version from that minor on, or
// PTX, which the driver compiles for `cc` and every later device.
struct KernelArchitecture {
  int cc = 0;
  bool ptx = false;
};

// The architectures in libtorch's list ("sm_75 sm_90 compute_90") or in an
// nvcc flag list ("-gencode;arch=compute_80,code=sm_86", where only the code=
// entries are what the build holds).
std::vector<KernelArchitecture> parseKernelArchitectures(const std::string& text);

// The build's architectures: the configuration text's flag line while a
// device runs, else the list recorded when the plug-in was configured.
std::vector<KernelArchitecture> buildArchitectures(const tweenova::CudaEnvironment& cuda);

// Whether some kernel of `archs` runs on a device of capability `cc`.
bool kernelsRunOn(const std::vector<KernelArchitecture>& archs, int cc);

// Whether a build with CUDA runtime `runtime` and kernels `archs` runs on a
// device of capability `cc`. The runtime table decides for the CUDA versions
// it knows, and no device older than the oldest kernel passes; for other
// versions the kernels decide. Without known kernels, the table alone.
bool isDeviceCompatible(long runtime, int cc, const std::vector<KernelArchitecture>& archs);

// "sm_75 to sm_120": the span of native kernels, for messages.
std::string architectureSpan(const std::vector<KernelArchitecture>& archs);

// Highest native compute capability in a build configuration text: in the
// first line holding "  - NVCC architecture flags: ", the digits after the
// last 's', 'm' or '_' character of the line. False (out untouched) when the
// line is missing or holds none of those characters.
bool parseBuildCapability(const std::string& config, std::string& out);

// The table of devices a build with CUDA runtime `runtime` (11080 for
// 11.8.0) runs on, by compute capability `cc` (86 for 8.6): true for versions
// it does not know.
bool isCapabilityCompatible(long runtime, int cc);

// Reads the chosen CUDA device into the node's GPU members (name, compute
// capability, bf16 support) and the build's highest native capability. The
// device is the one the render's device rule picks for cuda_deviceid (the
// last for an index past it, the first for a negative one). Only meaningful
// while CUDA is available. False, with a line on standard output and the
// members untouched, when the device cannot be read.
bool queryDevice(Tweenova& node);

// Whether this build can run on the device in gpuComputeCapability; turns
// use_gpu off when it cannot.
bool checkCompatibility(Tweenova& node);
// The same verdict for a capability string ("86"); false when it is no number.
bool capabilityCompatible(const std::string& capability);

// Panel texts built from the node's GPU members.
std::string gpuMemoryText(const Tweenova& node, bool gpuCompatible);
std::string buildVersionText();
std::string buildCapabilityText(Tweenova& node);  // fills an empty buildComputeCapability first
std::string kernelInfoText(const Tweenova& node);
std::string versionMatchText();
