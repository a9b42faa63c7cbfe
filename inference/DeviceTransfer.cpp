#include "inference/DeviceTransfer.h"

#include "inference/InferencePass.h"
#include "inference/PU21.h"

#include <torch/nn/functional/padding.h>

namespace transfer {

int64_t padAmount(int64_t n) { return kNetworkPadMultiple * ((n - 1) / kNetworkPadMultiple + 1) - n; }

torch::Tensor toDeviceInput(const torch::Tensor& tile, const torch::Device& device, bool encode)
{
  // The network sees rows top-down; the flip is done before the upload.
  torch::Tensor x = tile.flip({2}).to(device);
  if (encode)
    x = pu21::encode(x);
  const int64_t rows = padAmount(tile.size(2)), columns = padAmount(tile.size(3));
  if (rows == 0 && columns == 0)
    return x;
  namespace F = torch::nn::functional;
  return F::pad(x, F::PadFuncOptions({0, columns, 0, rows}).mode(torch::kReplicate));
}

torch::Tensor fromDeviceResult(const torch::Tensor& result, int64_t h, int64_t w, bool decode)
{
  torch::Tensor y = result.slice(2, 0, h).slice(3, 0, w);
  if (decode)
    y = pu21::decode(y);
  return y.to(torch::kFloat32).to(torch::kCPU).flip({2}).contiguous();
}

} // namespace transfer
