#include "inference/NetworkPadding.h"

#include <torch/nn/functional/padding.h>

namespace {

int64_t padAmount(int64_t n) { return kNetworkPadMultiple * ((n - 1) / kNetworkPadMultiple + 1) - n; }

} // namespace

NetworkPadding::NetworkPadding(int64_t h, int64_t w) : h_(h), w_(w), rows_(padAmount(h)), columns_(padAmount(w)) {}

torch::Tensor NetworkPadding::pad(const torch::Tensor& x) const
{
  if (rows_ == 0 && columns_ == 0)
    return x;
  namespace F = torch::nn::functional;
  return F::pad(x, F::PadFuncOptions({0, columns_, 0, rows_}).mode(torch::kReplicate));
}

torch::Tensor NetworkPadding::unpad(const torch::Tensor& y) const { return y.slice(2, 0, h_).slice(3, 0, w_); }
