#pragma once

#include "DDImage/Box.h"
#include "DDImage/ChannelSet.h"
#include "DDImage/ImagePlane.h"
#include "DDImage/Op.h"

#include <string>
#include <vector>

namespace DD {
namespace Image {

class Iop;

struct Format {
  int width = 0;
  int height = 0;
  std::string name;
};

// What an image operator produces: its bounding box (the Box base), its
// channels, its frame range and its format.
class Info : public Box {
public:
  const ChannelSet& channels() const { return channels_; }
  void channels(const ChannelSet& c) { channels_ = c; }
  int first_frame() const { return first_; }
  int last_frame() const { return last_; }
  void first_frame(int f) { first_ = f; }
  void last_frame(int f) { last_ = f; }
  const Format& format() const { return format_; }
  void format(const Format& f) { format_ = f; }
  const Box& box() const { return *this; }
  void box(const Box& b) { Box::set(b); }

private:
  ChannelSet channels_;
  int first_ = 1;
  int last_ = 1;
  Format format_;
};

// One pre-fetch request of an input.
class RequestData {
public:
  RequestData(Iop* op, const Box& box, const ChannelSet& channels, int count)
    : op_(op), box_(box), channels_(channels), count_(count)
  {}
  Iop* getOp() const { return op_; }
  const Box& getBox() const { return box_; }
  const ChannelSet& getChannels() const { return channels_; }
  int getCount() const { return count_; }

private:
  Iop* op_;
  Box box_;
  ChannelSet channels_;
  int count_;
};

class RequestOutput {
public:
  void request(Iop* op, const Box& box, const ChannelSet& channels, int count)
  {
    requests_.emplace_back(op, box, channels, count);
  }
  const std::vector<RequestData>& requests() const { return requests_; }

private:
  std::vector<RequestData> requests_;
};

class Iop : public Op {
public:
  explicit Iop(Node* node) : Op(node) {}

  const Info& info() const { return info_; }
  const ChannelSet& channels() const { return info_.channels(); }
  const Format& format() const { return info_.format(); }
  int first_frame() const { return info_.first_frame(); }
  int last_frame() const { return info_.last_frame(); }

  Iop* input(int n) const;
  Iop* input0() const { return input(0); }

  // Copies the info of input 0 (or of the given input).
  void copy_info();
  void copy_info(int input);
  void set_out_channels(const ChannelSet& c) { info_.channels(c); }

  // Pre-fetch requests for rendering `box` of `channels`, `count` times.
  virtual void getRequests(const Box& box, const ChannelSet& channels, int count, RequestOutput& reqData) const;

  // Fills the plane's box and channels (channels the operator does not produce read as 0).
  virtual void fetchPlane(ImagePlane& plane) = 0;

protected:
  void _validate(bool for_real) override;
  void _open() override {}
  void _close() override {}

  Info info_;
};

} // namespace Image
} // namespace DD
