#pragma once

#include <torch/types.h>

#include <cstdint>

// Side multiple the network's inputs are padded to.
constexpr int64_t kNetworkPadMultiple = 32;

// The padding of one tile for the network: rows below and columns to the
// right of the image (rows top-down, as the network sees them) up to the
// next multiples of kNetworkPadMultiple, repeating the edge values; and the
// crop that takes the tile's region back out of the network's result.
class NetworkPadding {
public:
  // The padding of a tile of h rows and w columns.
  NetworkPadding(int64_t h, int64_t w);

  int64_t height() const { return h_; }
  int64_t width() const { return w_; }
  int64_t rows() const { return rows_; }        // added below the image
  int64_t columns() const { return columns_; }  // added right of it

  // x ([N, C, h, w], rows top-down, any device and type) with the padding
  // added, the last row and column repeated into it.
  torch::Tensor pad(const torch::Tensor& x) const;
  // The [0, h) x [0, w) region of y ([N, C, H, W] with H >= h, W >= w), a view.
  torch::Tensor unpad(const torch::Tensor& y) const;

private:
  int64_t h_, w_, rows_, columns_;
};
