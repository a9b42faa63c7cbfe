#include "inference/PU21.h"
#include "inference/PU21Table.h"
#include "inference/TileTransfer.h"

#include <gtest/gtest.h>
#include <torch/nn/functional/padding.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Values across the whole range a plate can hold, with the awkward ones.
std::vector<float> sweep()
{
  std::vector<float> xs{0.0f, -0.0f, -1.0f, -kInf, kInf, kNaN, 1e-30f, 1e-12f, 0.18f, 1.0f, 3.0f, 1e20f};
  for (double e = -14.0; e <= 14.0; e += 0.001)
    xs.push_back(float(std::pow(10.0, e)));
  return xs;
}

void expectCloseTo(float got, double want, double relative, double absolute, const char* what, float x)
{
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << what << " of " << x;
    return;
  }
  if (std::isinf(want) || std::isinf(float(want))) {
    EXPECT_EQ(got, float(want)) << what << " of " << x;
    return;
  }
  EXPECT_NEAR(got, want, relative * std::abs(want) + absolute) << what << " of " << x;
}

// A tile as the tiling hands it over: a strided view into a larger frame,
// with negative, non-finite and very bright values in it.
torch::Tensor awkwardTile()
{
  torch::Tensor big = torch::rand({1, 3, 41, 77}) * 4.0f - 0.5f;
  big[0][0][5][7] = kNaN;
  big[0][1][0][0] = kInf;
  big[0][2][3][70] = -kInf;
  big[0][1][39][60] = 1e6f;
  return big.slice(2, 2, 39).slice(3, 3, 74);  // 37 x 71
}

} // namespace

TEST(CurveTable, FollowsBothCurvesWithinFloatAccuracy)
{
  const pu21::CurveTable& encode = pu21::encodeTable();
  const pu21::CurveTable& decode = pu21::decodeTable();
  for (float x : sweep()) {
    // Encoded black is about 2e-12 and the network works in float32: 1e-9 is far below what it resolves.
    expectCloseTo(encode(x), pu21::encodeValue(x), 2e-6, 1e-9, "encoding", x);
    expectCloseTo(decode(x), pu21::decodeValue(x), 2e-6, 1e-9, "decoding", x);
  }
  // The worked values of the curves.
  EXPECT_NEAR(encode(1.0f), 1.0f, 1e-6f);
  EXPECT_NEAR(encode(0.18f), 0.601f, 5e-4f);
  EXPECT_NEAR(decode(2.0f), 33.06f, 5e-3f);
  EXPECT_EQ(decode(0.0f), 0.0f);
  EXPECT_NEAR(decode(3.0f), pu21::decodeValue(3.0), 2e-6 * pu21::decodeValue(3.0));
  EXPECT_FLOAT_EQ(encode(-2.0f), float(-2.0 * pu21::continuation().lowSlope));
  EXPECT_FLOAT_EQ(decode(-2.0f), float(-2.0 / pu21::continuation().lowSlope));

  // Whole rows give what single values give, in any mix of awkward values and at any length.
  for (size_t length : {size_t(1), size_t(7), size_t(8), size_t(9), size_t(1000)}) {
    std::vector<float> xs = sweep();
    std::vector<float> row(xs.begin(), xs.begin() + long(std::min(length, xs.size())));
    for (size_t start = 0; start + 1 < xs.size() && row.size() < length; start += 97)
      row.push_back(xs[start]);
    std::vector<float> encoded(row.size()), decoded(row.size());
    encode.apply(row.data(), encoded.data(), int64_t(row.size()));
    decode.apply(row.data(), decoded.data(), int64_t(row.size()));
    for (size_t i = 0; i < row.size(); ++i) {
      EXPECT_TRUE(encoded[i] == encode(row[i]) || (std::isnan(encoded[i]) && std::isnan(encode(row[i])))) << row[i];
      EXPECT_TRUE(decoded[i] == decode(row[i]) || (std::isnan(decoded[i]) && std::isnan(decode(row[i])))) << row[i];
    }
  }

  // And the float32 tensor expressions, to their own accuracy: near black they cancel down to about 1e-7.
  const std::vector<float> xs = sweep();
  const torch::Tensor t = torch::tensor(xs);
  const torch::Tensor byTensor = pu21::encode(t), backByTensor = pu21::decode(t);
  for (size_t i = 0; i < xs.size(); ++i) {
    expectCloseTo(encode(xs[i]), byTensor[int64_t(i)].item<float>(), 2e-5, 1e-6, "encoding", xs[i]);
    expectCloseTo(decode(xs[i]), backByTensor[int64_t(i)].item<float>(), 2e-5, 1e-6, "decoding", xs[i]);
  }
}

TEST(TileTransfer, GivesWhatTheTensorExpressionsGive)
{
  namespace F = torch::nn::functional;
  torch::manual_seed(3);
  const torch::Tensor tile = awkwardTile();
  ASSERT_TRUE(transfer::onePassApplies(tile));
  for (bool pu : {false, true}) {
    SCOPED_TRACE(pu ? "PU21 on" : "PU21 off");
    torch::Tensor expected = tile.flip({2});
    if (pu)
      expected = pu21::encode(expected);
    expected = F::pad(expected, F::PadFuncOptions({0, 25, 0, 27}).mode(torch::kReplicate));
    const torch::Tensor input = transfer::toNetworkInput(tile, pu, NetworkPadding(37, 71));  // 27 rows, 25 columns
    ASSERT_EQ(input.sizes(), expected.sizes());
    EXPECT_TRUE(torch::allclose(input, expected, 2e-5, 1e-6, /*equal_nan=*/true));

    // A result larger than the tile comes back cropped, decoded and in the host's row order.
    // (Up to linear 100: nearer the decoding's clamp the float32 expression itself is off by 1e-3.)
    const torch::Tensor result = torch::rand({1, 3, 64, 96}) * 2.5f - 0.2f;
    result[0][2][0][0] = kNaN;
    torch::Tensor back = result.slice(2, 0, 37).slice(3, 0, 71);
    if (pu)
      back = pu21::decode(back);
    back = back.flip({2}).contiguous();
    const torch::Tensor got = transfer::fromNetworkResult(result, NetworkPadding(37, 71), pu);
    EXPECT_TRUE(got.is_contiguous());
    ASSERT_EQ(got.sizes(), back.sizes());
    EXPECT_TRUE(torch::allclose(got, back, 2e-5, 1e-6, /*equal_nan=*/true));
  }

  // Anything but float32 [1, C, h, w] on the CPU is for the tensor expressions.
  EXPECT_FALSE(transfer::onePassApplies(tile.to(torch::kFloat64)));
  EXPECT_FALSE(transfer::onePassApplies(tile[0]));
  EXPECT_FALSE(transfer::onePassApplies(tile.transpose(2, 3)));
  EXPECT_THROW(transfer::toNetworkInput(tile.slice(3, 0, 0), true, NetworkPadding(37, 0)), std::invalid_argument);
  EXPECT_THROW(transfer::toNetworkInput(tile, true, NetworkPadding(36, 71)), std::invalid_argument);
  EXPECT_THROW(transfer::fromNetworkResult(tile, NetworkPadding(38, 71), true), std::invalid_argument);
}

TEST(TileTransfer, CountsNaNInAnyLayout)
{
  torch::Tensor t = torch::zeros({1, 3, 300, 301});
  t[0][0][0][0] = kNaN;
  t[0][2][299][300] = kNaN;
  t[0][1][150][3] = kNaN;
  t[0][1][150][4] = kInf;
  EXPECT_EQ(transfer::countNaN(t), 3);
  EXPECT_EQ(transfer::countNaN(t.transpose(2, 3)), 3);
  EXPECT_EQ(transfer::countNaN(t.slice(2, 100, 200)), 1);
  EXPECT_EQ(transfer::countNaN(t.to(torch::kFloat64)), 3);
}
