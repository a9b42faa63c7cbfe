#pragma once

#include <cstdint>
#include <vector>

// The PU21 curves for float32 data on the CPU, where a tensor expression of
// eleven operations per curve costs more than the rest of a pass's
// preparation together. Each curve is computed once in double precision and
// tabulated over the positive floats, 2^k intervals per octave, with linear
// interpolation in between: within a few 1e-6 relative of the exact curve,
// as close as the float32 tensor expression comes. Outside the tabulated
// octaves and for non-finite values the curve is computed directly.
namespace pu21 {

// One value through the encoding or decoding, step for step as the tensor
// functions do (double precision; NaN stays NaN).
double encodeValue(double x);
double decodeValue(double v);

class CurveTable {
public:
  // Tabulates `curve` on [lo, hi] with 2^intervalBits intervals per octave;
  // lo and hi must be powers of two. The curve must be flat from zero to lo
  // (every such value gets curve(0)) and a straight line through 0 below
  // zero, x * slopeBelowZero, as both PU21 curves are.
  CurveTable(double (*curve)(double), float lo, float hi, int intervalBits, double slopeBelowZero);

  float operator()(float x) const
  {
    if (x > lo_ && x < hi_) {
      uint32_t bits;
      __builtin_memcpy(&bits, &x, sizeof bits);
      const uint32_t offset = bits - loBits_;
      const uint32_t i = offset >> fractionBits_;
      const float t = float(offset & fractionMask_) * fractionScale_;
      const float a = values_[i];
      return a + t * (values_[i + 1] - a);
    }
    if (x < 0.0f)
      return x * slopeBelowZero_;
    return x <= lo_ ? atLo_ : float(curve_(double(x)));
  }

  // out[i] = (*this)(in[i]) for n values; eight at a time where the CPU
  // has AVX2, with the same results.
  void apply(const float* in, float* out, int64_t n) const;

private:
  void applyAvx2(const float* in, float* out, int64_t n) const;

  double (*curve_)(double);
  float lo_, hi_, atLo_, slopeBelowZero_;
  uint32_t loBits_;
  // The low mantissa bits that place a value within its interval.
  int fractionBits_;
  uint32_t fractionMask_;
  float fractionScale_;
  std::vector<float> values_;
};

// Linear to encoded, tabulated on [2^-40, 2^40], 1024 intervals per octave.
const CurveTable& encodeTable();
// Encoded to linear, tabulated on [2^-32, 2^2], 4096 intervals per octave
// (the curve steepens towards the join of its logarithmic continuation).
const CurveTable& decodeTable();

} // namespace pu21
