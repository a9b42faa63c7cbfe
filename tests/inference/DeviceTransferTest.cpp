// The GPU's preparation of a pass (tensor expressions on the render device),
// run here on the CPU: it must hand the network, and take back from it, the
// same values as the CPU's one-pass route.
#include "inference/DeviceTransfer.h"
#include "inference/TileTransfer.h"

#include <gtest/gtest.h>

namespace {

// A tile whose rows all differ, with values below 0 and above 1.
torch::Tensor tile(int64_t h, int64_t w)
{
  torch::manual_seed(3);
  return torch::rand({1, 3, h, w}) * 3.0f - 0.5f;
}

} // namespace

TEST(DeviceTransfer, InputsAndResultsMatchTheOnePassRoute)
{
  const torch::Device cpu(torch::kCPU, -1);
  for (const auto& [h, w] : {std::pair<int64_t, int64_t>{33, 65}, {64, 32}, {1, 1}}) {
    const torch::Tensor t = tile(h, w);
    const NetworkPadding padding(h, w);
    EXPECT_EQ((h + padding.rows()) % 32, 0);
    EXPECT_EQ((w + padding.columns()) % 32, 0);
    for (bool encode : {false, true}) {
      const torch::Tensor viaDevice = transfer::toDeviceInput(t, cpu, encode, padding);
      const torch::Tensor onePass = transfer::toNetworkInput(t, encode, padding);
      ASSERT_EQ(viaDevice.sizes(), onePass.sizes()) << h << "x" << w;
      EXPECT_TRUE(torch::allclose(viaDevice, onePass, 1e-5, 1e-6)) << h << "x" << w << " encode " << encode;

      const torch::Tensor result = onePass * 0.5f + 0.1f;
      const torch::Tensor back = transfer::fromDeviceResult(result, padding, encode);
      EXPECT_TRUE(back.is_contiguous());
      EXPECT_EQ(back.scalar_type(), torch::kFloat32);
      EXPECT_TRUE(torch::allclose(back, transfer::fromNetworkResult(result, padding, encode), 1e-4, 1e-5))
        << h << "x" << w << " decode " << encode;
    }
  }
  // Half-precision results come back as float32.
  const NetworkPadding eight(8, 8);
  const torch::Tensor half = transfer::toDeviceInput(tile(8, 8), cpu, false, eight).to(torch::kHalf);
  EXPECT_EQ(transfer::fromDeviceResult(half, eight, false).scalar_type(), torch::kFloat32);
}
