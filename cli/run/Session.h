#pragma once

#include "cli/options/Options.h"

#include "DDImage/Iop.h"
#include "HostLayer/HostNode.h"

#include <iosfwd>
#include <memory>
#include <vector>

namespace cli {

// The nodes of one run: a reader for the input and the retime node after it.
class Session {
public:
  // Loads the plug-in, reads the input and applies the options to the node.
  // Throws UsageError for anything the user got wrong.
  explicit Session(const Options& options);
  ~Session();

  int listFrames(std::ostream& out);
  int printPanel(std::ostream& out);
  int render();
  // Prints "missing FRAME FILE" for each output frame whose file is missing
  // or does not read; kExitFramesFailed if there is any.
  int verifyOutputs(std::ostream& out);

  HostLayer::HostNode& node() { return *node_; }

private:
  void applyOptions();
  // The node's output frame range (its validation at the first frame); the
  // channels and the format it puts out are kept in outputChannels_ and
  // outputFormat_.
  FrameRange outputRange();
  // The frames to render or list: those of -F (a warning names any outside
  // the output range), else the whole output range.
  std::vector<int> framesToRender();

  Options options_;
  void* plugin_ = nullptr;
  std::unique_ptr<HostLayer::HostNode> reader_;
  std::unique_ptr<HostLayer::HostNode> node_;
  DD::Image::ChannelSet outputChannels_;
  DD::Image::Format outputFormat_;
};

} // namespace cli
