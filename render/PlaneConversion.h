#pragma once

#include "DDImage/Box.h"
#include "DDImage/Channel.h"
#include "DDImage/ChannelSet.h"

#include <torch/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace DD {
namespace Image {
class ImagePlane;
class Iop;
} // namespace Image
} // namespace DD

// Data movements between host image planes and tensors.
//
// A planar buffer holds n channels over a box, channel-major, rows upward:
// channel k, row j, column i sits at k * area + j * W + i. A packed plane
// interleaves the channels of each pixel: (j * W + i) * n + k.

// Fills `dest` (n * area floats) with `channels` of `source` over `box`.
// Pixels outside the source's info box, and everything when the source is
// absent, read as 0. Errors of the source's fetchPlane pass to the caller;
// a source that delivers no image throws std::runtime_error.
void fetchPlanar(DD::Image::Iop* source, const DD::Image::Box& box, const DD::Image::ChannelSet& channels, int n,
                 float* dest);

// The same values as an [n, H, W] float32 CPU tensor. Where the source
// covers the box, the tensor's storage is the plane the source filled.
torch::Tensor fetchPlanes(DD::Image::Iop* source, const DD::Image::Box& box, const DD::Image::ChannelSet& channels,
                          int n);

// A [1, modelChannels, H, W] tensor whose planes 0, 1, 2 are planes a, b, c
// of `planes` ([n, H, W]): a view of `planes` when they are its first three
// in order, a copy otherwise. Throws std::out_of_range when a plane lies
// outside `planes`.
torch::Tensor makeModelInput(int modelChannels, const torch::Tensor& planes, int a, int b, int c);

// Builds the output from the requested channels of `source0` over `box`,
// replaces the planes of the first nModel selected channels by the planes of
// R ([3, H, W]) and, when R4 ([1, 3, H, W]) is given, the fourth selected
// channel by its plane 1, and writes the result packed into the plane.
void mergeOutput(DD::Image::ImagePlane& outputPlane, DD::Image::Iop* source0, const DD::Image::Box& box,
                 const DD::Image::ChannelSet& requested, const std::vector<DD::Image::Channel>& selectedChannels,
                 int nModel, const torch::Tensor& R, const std::optional<torch::Tensor>& R4);

// Why `plane` cannot take a packed image of n channels over `box`; empty when it can.
std::string packedPlaneMismatch(const DD::Image::ImagePlane& plane, const DD::Image::Box& box, int n);

// The plane's pixels as an [n, H, W] float32 view (channel k of row j,
// column i at (j * W + i) * n + k), allocating the plane's buffer under its
// write lock when it has none. Throws std::runtime_error when the plane is
// not a packed plane of n channels over H x W or its buffer is too small.
torch::Tensor packedPlaneView(DD::Image::ImagePlane& plane, int n, int H, int W);

// Writes T ([n, H, W], any floating type and device) packed into the plane,
// allocating the plane's buffer under its write lock when it has none.
// Throws std::runtime_error, writing nothing, when the plane is not a packed
// plane of n channels over H x W or its buffer is too small.
void writePackedPlane(DD::Image::ImagePlane& plane, const torch::Tensor& T, int n, int64_t area);

// Copies every channel of the plane's channel set from `source` over `box` into the plane.
void copyPlane(DD::Image::ImagePlane& plane, DD::Image::Iop* source, const DD::Image::Box& box);

// The sizes of a tensor as text: "[1, 3, 1080, 1920]"; "[]" for no dimensions.
std::string shapeString(const torch::Tensor& t);
