#include "runtime/CpuFeatures.h"

#include <ATen/cpu/Utils.h>

#include <atomic>

namespace tweenova {

namespace {

// 0: ask the CPU; 1: no; 2: yes.
std::atomic<int> forced{0};

bool hasCapability(const char* name)
{
  const auto capabilities = at::cpu::get_cpu_capabilities();
  const auto it = capabilities.find(name);
  return it != capabilities.end() && it->second.isBool() && it->second.toBool();
}

const char* detectedInstructions()
{
  static const char* const found = hasCapability("amx_bf16") ? "amx_bf16"
                                   : hasCapability("avx512_bf16") ? "avx512_bf16"
                                                                  : "";
  return found;
}

} // namespace

const char* cpuBfloat16Instructions()
{
  const int f = forced.load();
  if (f != 0)
    return f == 2 ? "forced for a test" : "";
  return detectedInstructions();
}

bool cpuComputesBfloat16() { return *cpuBfloat16Instructions() != '\0'; }

void setCpuBfloat16ForTesting(std::optional<bool> computes) { forced = computes ? (*computes ? 2 : 1) : 0; }

} // namespace tweenova
