#include "inference/DeviceTransfer.h"

#include "inference/PU21.h"

namespace transfer {

torch::Tensor toDeviceInput(const torch::Tensor& tile, const torch::Device& device, bool encode,
                            const NetworkPadding& padding)
{
  // The network sees rows top-down; the flip is done before the upload.
  torch::Tensor x = tile.flip({2}).to(device);
  if (encode)
    x = pu21::encode(x);
  return padding.pad(x);
}

torch::Tensor fromDeviceResult(const torch::Tensor& result, const NetworkPadding& padding, bool decode)
{
  torch::Tensor y = padding.unpad(result);
  if (decode)
    y = pu21::decode(y);
  return y.to(torch::kFloat32).to(torch::kCPU).flip({2}).contiguous();
}

} // namespace transfer
