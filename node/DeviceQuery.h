#pragma once

#include <string>

class Tweenova;

// Highest native compute capability in a build configuration text: in the
// first line holding "  - NVCC architecture flags: ", the digits after the
// last 's', 'm' or '_' character of the line. False (out untouched) when the
// line is missing or holds none of those characters.
bool parseBuildCapability(const std::string& config, std::string& out);

// Whether a build with CUDA runtime `runtime` (11080 for 11.8.0) runs on a
// device of compute capability `cc` (86 for 8.6).
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

// Panel texts built from the node's GPU members.
std::string gpuMemoryText(const Tweenova& node, bool gpuCompatible);
std::string buildVersionText();
std::string buildCapabilityText(Tweenova& node);  // fills an empty buildComputeCapability first
std::string kernelInfoText(const Tweenova& node);
std::string versionMatchText();
