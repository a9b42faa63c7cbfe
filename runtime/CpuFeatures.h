#pragma once

#include <optional>

namespace tweenova {

// Whether this CPU computes bfloat16 products natively (AVX512-BF16 or
// AMX-BF16): there, convolutions in bfloat16 take about two thirds of the
// time of float32 ones; elsewhere bfloat16 is emulated and slower.
bool cpuComputesBfloat16();

// The name of the instructions that make cpuComputesBfloat16() true
// ("avx512_bf16", "amx_bf16"); empty where it is false.
const char* cpuBfloat16Instructions();

// Tests: answer `computes` instead of asking the CPU; nullopt asks it again.
void setCpuBfloat16ForTesting(std::optional<bool> computes);

} // namespace tweenova
