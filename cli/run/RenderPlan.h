#pragma once

#include "cli/options/Options.h"
#include "cli/output/ImageWriter.h"
#include "cli/output/MovieCodecs.h"
#include "cli/output/OutputMetadata.h"

#include "DDImage/ChannelSet.h"
#include "DDImage/Iop.h"
#include "HostLayer/Read.h"

#include <optional>
#include <vector>

namespace cli {

// What a render will do, decided and checked before its first frame.
struct RenderPlan {
  HostLayer::SequencePattern out;
  WriteSettings settings;
  std::vector<int> asked;                     // the output frames asked for
  std::vector<int> frames;                    // those to render (--skip-existing leaves some out)
  std::optional<SourceClock> movie;           // the input movie's rate and start timecode
  DD::Image::ChannelSet channels;             // the channels asked for (--channels)
  std::optional<MovieSettings> movieOut;      // set for a movie output
};

// The plan for rendering `asked` of a node that puts out `available` at
// `format`. Throws UsageError for an output, a summary file, colour space or
// channel set that cannot be, before anything renders.
RenderPlan planRender(const Options& options, std::vector<int> asked, const DD::Image::ChannelSet& available,
                      const DD::Image::Format& format);

} // namespace cli
