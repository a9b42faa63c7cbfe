#include "inference/PU21Table.h"

#include "inference/PU21.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace pu21 {

namespace {

// max and clamp as tensors compute them: NaN in, NaN out.
double maxOf(double x, double floor) { return std::isnan(x) ? x : (x < floor ? floor : x); }
double clampOf(double x, double lo, double hi) { return std::isnan(x) ? x : (x < lo ? lo : (x > hi ? hi : x)); }

uint32_t bitsOf(float x)
{
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

} // namespace

double encodeValue(double x)
{
  const Continuation& c = continuation();
  if (x > kHighLinear)
    return std::log(x / kHighLinear) * c.highSlope + c.highEncoded;
  if (x < 0.0)
    return x * c.lowSlope;
  double a = maxOf(x * 100.0, 0.0) + 0.005;
  const double y = std::pow(a, p4);
  const double v = (y * p2 + p1) / (y * p3 + 1.0);
  const double s = maxOf((std::pow(v, p5) - p6) * p7, 0.0);
  return s / N;
}

double decodeValue(double v)
{
  const Continuation& c = continuation();
  if (v > c.highEncoded)
    return std::exp((v - c.highEncoded) / c.highSlope) * kHighLinear;
  if (v < 0.0)
    return v / c.lowSlope;
  const double V = maxOf(maxOf(v, 0.0) * N / p7 + p6, 1e-9);
  const double Vp = std::pow(V, 1.0 / p5);
  const double den = maxOf(p2 - Vp * p3, 0.001);
  const double r = maxOf((Vp - p1) / den, 1e-9);
  return clampOf(std::pow(r, 1.0 / p4) - 0.005, 0.0, 50000.0) / 100.0;
}

CurveTable::CurveTable(double (*curve)(double), float lo, float hi, int intervalBits, double slopeBelowZero)
    : curve_(curve), lo_(lo), hi_(hi), atLo_(float(curve(0.0))), slopeBelowZero_(float(slopeBelowZero)), loBits_(bitsOf(lo)), fractionBits_(23 - intervalBits),
      fractionMask_((1u << fractionBits_) - 1), fractionScale_(1.0f / float(1u << fractionBits_))
{
  if (!(lo > 0.0f && hi > lo) || (bitsOf(lo) & 0x7fffffu) != 0 || (bitsOf(hi) & 0x7fffffu) != 0 || intervalBits < 0 ||
      intervalBits > 16)
    throw std::invalid_argument("a curve table needs powers of two lo < hi and 0 to 16 interval bits");
  // A float's bits grow linearly with the value within each octave, so
  // entry i sits at the float whose bits are loBits + (i << fractionBits).
  const uint32_t count = ((bitsOf(hi) - loBits_) >> fractionBits_) + 1;
  values_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t bits = loBits_ + (i << fractionBits_);
    float x;
    std::memcpy(&x, &bits, sizeof x);
    values_[i] = float(curve(double(x)));
  }
}

void CurveTable::apply(const float* in, float* out, int64_t n) const
{
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    applyAvx2(in, out, n);
    return;
  }
  for (int64_t i = 0; i < n; ++i)
    out[i] = (*this)(in[i]);
}

__attribute__((target("avx2"))) void CurveTable::applyAvx2(const float* in, float* out, int64_t n) const
{
  const __m256 lo = _mm256_set1_ps(lo_), hi = _mm256_set1_ps(hi_), atLo = _mm256_set1_ps(atLo_);
  const __m256 zero = _mm256_setzero_ps(), slopeBelowZero = _mm256_set1_ps(slopeBelowZero_);
  const __m256i loBits = _mm256_set1_epi32(int(loBits_)), fractionMask = _mm256_set1_epi32(int(fractionMask_));
  const __m256 fractionScale = _mm256_set1_ps(fractionScale_);
  const __m128i shift = _mm_cvtsi32_si128(fractionBits_);
  const float* table = values_.data();
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(in + i);
    const __m256 inside = _mm256_and_ps(_mm256_cmp_ps(x, lo, _CMP_GT_OQ), _mm256_cmp_ps(x, hi, _CMP_LT_OQ));
    const __m256 below = _mm256_cmp_ps(x, lo, _CMP_LE_OQ);
    // NaN and values past the table go through the exact curve.
    if (_mm256_movemask_ps(_mm256_or_ps(inside, below)) != 0xff) {
      for (int64_t k = i; k < i + 8; ++k)
        out[k] = (*this)(in[k]);
      continue;
    }
    const __m256i offset = _mm256_sub_epi32(_mm256_castps_si256(x), loBits);
    // Lanes below the table look up entry 0 and take atLo afterwards.
    const __m256i index = _mm256_and_si256(_mm256_srl_epi32(offset, shift), _mm256_castps_si256(inside));
    const __m256 t = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(offset, fractionMask)), fractionScale);
    const __m256 a = _mm256_i32gather_ps(table, index, 4);
    const __m256 b = _mm256_i32gather_ps(table + 1, index, 4);
    const __m256 y = _mm256_add_ps(a, _mm256_mul_ps(t, _mm256_sub_ps(b, a)));
    // Below the table: curve(0) up to zero, the straight continuation below it.
    const __m256 low =
      _mm256_blendv_ps(atLo, _mm256_mul_ps(x, slopeBelowZero), _mm256_cmp_ps(x, zero, _CMP_LT_OQ));
    _mm256_storeu_ps(out + i, _mm256_blendv_ps(y, low, below));
  }
  for (; i < n; ++i)
    out[i] = (*this)(in[i]);
}

const CurveTable& encodeTable()
{
  static const CurveTable table(encodeValue, std::ldexp(1.0f, -40), std::ldexp(1.0f, 40), 10,
                                continuation().lowSlope);
  return table;
}

const CurveTable& decodeTable()
{
  static const CurveTable table(decodeValue, std::ldexp(1.0f, -32), std::ldexp(1.0f, 2), 12,
                                1.0 / continuation().lowSlope);
  return table;
}

} // namespace pu21
