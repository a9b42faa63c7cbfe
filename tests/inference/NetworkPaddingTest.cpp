// The padding of a tile for the network, and the multiple the network's
// export records (models/network/padding.py pads alike; the Python tests
// check the same sides).
#include "inference/NetworkPadding.h"
#include "networks/TestNetworks.h"

#include "HostLayer/TextPattern.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

TEST(NetworkPadding, PadsToMultiplesOf32RepeatingTheEdgeAndUnpadsBack)
{
  const std::pair<int64_t, int64_t> sides[] = {{1, 32}, {31, 32}, {32, 32}, {33, 64}, {65, 96}, {1080, 1088}};
  for (const auto& [side, padded] : sides) {
    const NetworkPadding p(side, 7);
    EXPECT_EQ(side + p.rows(), padded) << side;
    EXPECT_EQ(NetworkPadding(7, side).columns(), padded - side) << side;
  }

  const torch::Tensor x = torch::arange(2 * 33 * 65, torch::kFloat32).reshape({1, 2, 33, 65});
  const NetworkPadding p(33, 65);
  const torch::Tensor y = p.pad(x);
  ASSERT_EQ(y.sizes(), (std::vector<int64_t>{1, 2, 64, 96}));
  EXPECT_TRUE(torch::equal(y.slice(2, 0, 33).slice(3, 0, 65), x));
  // Rows below repeat the last row, columns to the right the last column, the corner the last pixel.
  auto repeats = [](const torch::Tensor& region, const torch::Tensor& edge) {
    return (region == edge).all().item<bool>();
  };
  EXPECT_TRUE(repeats(y.slice(2, 33, 64).slice(3, 0, 65), x.slice(2, 32, 33)));
  EXPECT_TRUE(repeats(y.slice(2, 0, 33).slice(3, 65, 96), x.slice(3, 64, 65)));
  EXPECT_TRUE(repeats(y.slice(2, 33, 64).slice(3, 65, 96), x.slice(2, 32, 33).slice(3, 64, 65)));
  EXPECT_TRUE(torch::equal(p.unpad(y), x));

  // A tile of whole multiples goes as it is.
  const torch::Tensor whole = torch::rand({1, 3, 64, 32});
  EXPECT_TRUE(NetworkPadding(64, 32).pad(whole).is_same(whole));
}

TEST(NetworkPadding, TheExportRecordsTheSameMultiple)
{
  const std::string path = testnetworks::buildDir() + "/models/tweenova.pt.json";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  const std::string meta{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto m = HostLayer::TextPattern("\"pad_multiple\": *([0-9]+)").search(meta);
  ASSERT_TRUE(m) << meta;
  EXPECT_EQ(std::stoll(*(*m)[1]), kNetworkPadMultiple);
}
