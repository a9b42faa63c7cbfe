// Eight float32 lanes to and from bfloat16, as c10::BFloat16 converts them.
#pragma once

#include "OperatorClones.h"

#include <cstdint>

namespace tweenova {

typedef uint32_t Bits __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef uint16_t HalfBits __attribute__((vector_size(kLanes * sizeof(uint16_t))));

TWEENOVA_INLINE Bits bitsOf(const Lanes& v)
{
  Bits u;
  __builtin_memcpy(&u, &v, sizeof u);
  return u;
}

TWEENOVA_INLINE Lanes lanesOf(const Bits& u)
{
  Lanes v;
  __builtin_memcpy(&v, &u, sizeof v);
  return v;
}

// The bfloat16 nearest each value (ties to even; NaN as the quiet NaN), as
// float32 bits: the bfloat16 in the upper half, the lower half zero.
TWEENOVA_INLINE Bits bfloat16Bits(const Lanes& v)
{
  const Bits u = bitsOf(v);
  const Bits rounded = (u + 0x7fffu + ((u >> 16) & 1u)) & 0xffff0000u;
  return v != v ? Bits{} + 0x7fc00000u : rounded;
}

TWEENOVA_INLINE HalfBits toBFloat16(const Lanes& v) { return __builtin_convertvector(bfloat16Bits(v) >> 16, HalfBits); }

} // namespace tweenova
