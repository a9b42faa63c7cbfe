// GPU facts and the panel texts built from them.
#include "node/DeviceQuery.h"

#include "node/Tweenova.h"
#include "runtime/CudaEnvironment.h"
#include "runtime/DeviceRule.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

// Highest native compute capability named in the build configuration: in the
// first line holding the architecture flags, the digits after the last 's',
// 'm' or '_' character. Returns false (value untouched) when there is none.
bool parseBuildCapability(const std::string& config, std::string& out)
{
  std::istringstream lines(config);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("  - NVCC architecture flags: ") == std::string::npos)
      continue;
    const size_t pos = line.find_last_of("sm_");
    if (pos == std::string::npos)
      return false;
    std::string rest = line.substr(pos + 1);
    size_t end = 0;
    while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9')
      ++end;
    out = rest.substr(0, end);
    return true;
  }
  return false;
}

namespace {

// The table's verdict for the CUDA versions it knows; nullopt for others.
std::optional<bool> tableVerdict(long runtime, int cc)
{
  auto in = [cc](std::initializer_list<int> list) { return std::find(list.begin(), list.end(), cc) != list.end(); };
  switch (runtime) {
  case 10010:
    return in({35, 50, 52, 60, 61, 70}) || cc >= 75;
  case 11010:
  case 11020:
    return in({35, 50, 52, 60, 61, 70}) || cc == 75 || cc >= 86;
  case 11080:
    return in({35, 50, 52, 60, 61, 70, 75, 86}) || cc >= 89;
  case 12080:
    return in({50, 52, 60, 61, 70, 75, 86, 89}) || cc >= 120;
  default:
    return std::nullopt;
  }
}

} // namespace

bool isCapabilityCompatible(long runtime, int cc) { return tableVerdict(runtime, cc).value_or(true); }

std::vector<KernelArchitecture> parseKernelArchitectures(const std::string& text)
{
  std::vector<KernelArchitecture> out;
  auto add = [&out](const std::string& token) {
    for (const char* prefix : {"sm_", "compute_"}) {
      const size_t n = std::strlen(prefix);
      if (token.compare(0, n, prefix) != 0 || token.size() == n || !std::isdigit((unsigned char)token[n]))
        continue;
      KernelArchitecture a;
      a.cc = std::atoi(token.c_str() + n);
      a.ptx = prefix[0] == 'c';
      out.push_back(a);
    }
  };
  const bool flagList = text.find("code=") != std::string::npos;
  std::string token;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != ';' && c != '\n' && c != '\t') {
      token += c;
      continue;
    }
    if (flagList) {
      // "arch=compute_80,code=sm_86" and "code=[sm_90,compute_90]": the code entries.
      const size_t code = token.find("code=");
      if (code != std::string::npos) {
        std::string list = token.substr(code + 5);
        for (char& ch : list)
          if (ch == '[' || ch == ']' || ch == ',')
            ch = ' ';
        std::istringstream entries(list);
        for (std::string entry; entries >> entry;)
          add(entry);
      }
    } else {
      add(token);
    }
    token.clear();
  }
  return out;
}

std::vector<KernelArchitecture> buildArchitectures(const tweenova::CudaEnvironment& cuda)
{
  const std::string marker = "  - NVCC architecture flags: ";
  std::istringstream lines(cuda.showConfig());
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(marker);
    if (at == std::string::npos)
      continue;
    std::vector<KernelArchitecture> archs = parseKernelArchitectures(line.substr(at + marker.size()));
    if (!archs.empty())
      return archs;
    break;
  }
  return parseKernelArchitectures(cuda.kernelArchitectures());
}

bool kernelsRunOn(const std::vector<KernelArchitecture>& archs, int cc)
{
  for (const KernelArchitecture& a : archs)
    if (a.ptx ? a.cc <= cc : a.cc / 10 == cc / 10 && a.cc <= cc)
      return true;
  return false;
}

bool isDeviceCompatible(long runtime, int cc, const std::vector<KernelArchitecture>& archs)
{
  const std::optional<bool> table = tableVerdict(runtime, cc);
  if (archs.empty())
    return table.value_or(true);
  if (!table)
    return kernelsRunOn(archs, cc);
  const auto oldest = std::min_element(archs.begin(), archs.end(),
                                        [](const KernelArchitecture& a, const KernelArchitecture& b) { return a.cc < b.cc; });
  return *table && cc >= oldest->cc;
}

std::string architectureSpan(const std::vector<KernelArchitecture>& archs)
{
  int low = 0, high = 0;
  for (const KernelArchitecture& a : archs) {
    if (a.ptx)
      continue;
    low = low ? std::min(low, a.cc) : a.cc;
    high = std::max(high, a.cc);
  }
  if (!high)
    return "";
  return low == high ? "sm_" + std::to_string(low) : "sm_" + std::to_string(low) + " to sm_" + std::to_string(high);
}

bool queryDevice(Tweenova& node)
{
  try {
    const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
    const int index = usableDeviceIndex(node.cuda_deviceid, cuda.deviceCount());
    const tweenova::CudaDeviceProperties props = cuda.deviceProperties(index);
    node.bf16Capable = props.major > 7;
    node.gpuComputeCapability = std::to_string(props.major) + std::to_string(props.minor);
    node.gpuNameText = props.name;
    parseBuildCapability(cuda.showConfig(), node.buildComputeCapability);
    return true;
  } catch (const std::exception& e) {
    // A driver that fails to answer must not take the panel or the node down.
    std::cout << "Tweenova: could not query the CUDA device: " << e.what() << std::endl;
    return false;
  }
}

bool capabilityCompatible(const std::string& capability)
{
  try {
    const int cc = std::stoi(capability);
    const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
    return isDeviceCompatible(cuda.versionCUDART(), cc, buildArchitectures(cuda));
  } catch (const std::exception&) {
    return false;
  }
}

bool checkCompatibility(Tweenova& node)
{
  const bool compatible = capabilityCompatible(node.gpuComputeCapability);
  if (!compatible)
    node.use_gpu = false;
  return compatible;
}

std::string gpuMemoryText(const Tweenova& node, bool gpuCompatible)
{
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  std::string g = "-";
  if (cuda.isAvailable() && cuda.deviceCount() > 0) {
    const int index = usableDeviceIndex(node.cuda_deviceid, cuda.deviceCount());
    try {
      const double bytes = double(cuda.deviceProperties(index).totalMemory);
      g = std::to_string((long long)std::ceil(bytes * (1.0 / (1024.0 * 1024.0 * 1024.0))));
    } catch (const std::exception&) {
      return "-";
    }
  }
  if (gpuCompatible)
    return g + "Gb   Compute capability: sm_" + node.gpuComputeCapability;
  if (node.gpuComputeCapability.empty())
    return "-";
  std::string text =
    g + "Gb&nbsp;&nbsp;&nbsp;Compute capability: <font color='red'>sm_" + node.gpuComputeCapability + "</font>";
  // Say why when the build's kernels, not the runtime's table, rule the device out.
  const std::vector<KernelArchitecture> archs = buildArchitectures(cuda);
  const std::string span = architectureSpan(archs);
  try {
    const int cc = std::stoi(node.gpuComputeCapability);
    if (!span.empty() && isCapabilityCompatible(cuda.versionCUDART(), cc) &&
        !isDeviceCompatible(cuda.versionCUDART(), cc, archs))
      text += " (this build's kernels are for " + span + ")";
  } catch (const std::exception&) {
  }
  return text;
}

std::string buildVersionText()
{
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (!cuda.buildHasCuda())
    return "This version is built without CUDA: it runs on the CPU only.";
  const long v = cuda.versionCUDART();
  const long w = cuda.versionCuDNN();
  long d, e;
  if (w < 90000) {
    d = w / 1000;
    e = (w % 1000) / 100;
  } else {
    d = w / 10000;
    e = (w % 10000) / 100;
  }
  std::ostringstream o;
  o << "This version is built against CUDA " << v / 1000 << "." << (v % 1000) / 10 << "." << v % 10 << " and cuDNN "
    << d << "." << e << "." << w % 100;
  return o.str();
}

std::string buildCapabilityText(Tweenova& node)
{
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (!cuda.buildHasCuda())
    return "with no native support for any GPU.";
  if (node.buildComputeCapability.empty()) {
    // The newest native kernel of the build, else what its CUDA version implies.
    int newest = 0;
    for (const KernelArchitecture& a : buildArchitectures(cuda))
      if (!a.ptx)
        newest = std::max(newest, a.cc);
    if (newest > 0)
      node.buildComputeCapability = std::to_string(newest);
  }
  if (node.buildComputeCapability.empty()) {
    switch (cuda.versionCUDART()) {
    case 10010: node.buildComputeCapability = "75"; break;
    case 11010:
    case 11020: node.buildComputeCapability = "86"; break;
    case 11080: node.buildComputeCapability = "89"; break;
    case 12080: node.buildComputeCapability = "120"; break;
    default: break;
    }
  }
  return "with native support for GPUs up to compute capability sm_" + node.buildComputeCapability + ".";
}

std::string kernelInfoText(const Tweenova& node)
{
  bool jit = false;
  try {
    jit = std::stoi(node.buildComputeCapability) < std::stoi(node.gpuComputeCapability);
  } catch (const std::exception&) {
    // An unknown build capability: nothing says the kernels are native.
    return "Since your current GPU is sm_" + node.gpuComputeCapability +
           ", this build's native kernel support is unknown.";
  }
  return "Since your current GPU is sm_" + node.gpuComputeCapability +
         (jit ? ", you will rely on JIT-compiled kernels." : ", you will rely on native kernels.");
}

std::string versionMatchText()
{
  const tweenova::CudaEnvironment& cuda = tweenova::cudaEnvironment();
  if (cuda.versionCUDART() == 11080 && cuda.versionCuDNN() == 8401)
    return "This exact combination of CUDA/cuDNN versions is matching\nwhat this current build of Nuke is using, which "
           "makes this plugin\nfully compatible with Foundry's AIR tools.";
  return "This exact combination of CUDA/cuDNN versions is NOT matching\nwhat this current build of Nuke is using, "
         "which makes this plugin\nincompatible with Foundry's AIR tools. Please be careful with\nmixing these nodes "
         "in the same Nuke scripts.";
}
