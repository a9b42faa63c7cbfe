#pragma once

#include "DDImage/ImagePlane.h"
#include "DDImage/Iop.h"
#include "DDImage/OutputContext.h"
#include "HostLayer/SourceFrame.h"

#include <optional>
#include <string>

namespace HostLayer {

class HostNode;

struct FrameInfoSummary {
  int first = 0;
  int last = 0;
  DD::Image::Box box;
  DD::Image::ChannelSet channels;
  DD::Image::Format format;
};

struct RenderResult {
  bool ok = false;
  std::string error;        // the node's error text when !ok
  DD::Image::ImagePlane plane;
  DD::Image::Format format;  // the frame the plane belongs to (the node's format)
  std::optional<SourceFrame> source;  // the file the frame's metadata comes from
};

// Validates an operator acquired from `node` as the host does before
// rendering: its inputs follow what the validation computed, so it is
// refreshed and validated again. False and the error text (its own, or an
// input's) when validation fails; `inputFailed`, where given, tells whether
// the operator itself validated and only an input (a source frame that
// cannot be read) failed.
bool validateOperator(HostNode& node, DD::Image::Op* op, std::string& error, bool* inputFailed = nullptr);

// Validates the node at `frame` as the host does before rendering; false and
// the error text when validation fails. Where only an input failed (see
// validateOperator), `info` still holds the node's frame range.
bool validateNode(HostNode& node, double frame, FrameInfoSummary& info, std::string& error,
                  bool* inputFailed = nullptr);

// Renders one whole output frame of `channels` as the host does: store the knob
// values, validate, request, open, render into a plane covering the output box
// (packed when the operator prefers it).
RenderResult renderFrame(HostNode& node, double frame, const DD::Image::ChannelSet& channels);

} // namespace HostLayer
