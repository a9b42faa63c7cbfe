#pragma once

#include "cli/options/Options.h"
#include "cli/output/MovieCodecs.h"

#include "DDImage/ChannelSet.h"
#include "DDImage/Iop.h"

namespace cli {

// The settings of the movie a render writes, checked before anything
// renders: the codec (--codec, else the container's default) must be one
// this machine's ffmpeg has, the frame rate is --fps, else the input's
// (a movie's, or the FramesPerSecond of a sequence's first file), else 24,
// the colour space --output-colorspace, else Rec709, and alpha is kept
// where `channels` (those the render writes) hold it and the codec can. One
// black frame of the node's `format` is encoded as a trial, so that what
// ffmpeg refuses (a size its codec does not take) is refused now. A line on
// stderr says what the movie will be and where its frame rate comes from
// (unless `quiet`), a warning names the channels a movie cannot hold.
// Throws UsageError naming the output and why.
MovieSettings planMovie(const Options& options, const DD::Image::Format& format,
                        const DD::Image::ChannelSet& channels);

} // namespace cli
