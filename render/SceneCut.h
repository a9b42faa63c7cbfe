#pragma once

// Whether two source frames are views of the same scene. Across a cut (or a
// flash frame) an in-between frame is a ghost of two unrelated images; the
// render holds the nearer frame instead.
//
// The test is coarse motion estimation: both frames are reduced to about
// 128 pixels on their long side (tone-mapped, channels averaged), and every
// 8 x 8 block of each is looked for in the other within 8 pixels of its
// place (a sixteenth of the frame's width either way). Across a cut most
// blocks find no match; in one shot only what moves or is uncovered misses.

// The share of blocks of either frame that find no match in the other, from
// 0 to 1; 0 when the frames hold too few textured blocks to tell (small or
// flat frames). The frames are planar float buffers of `channels` channels over
// width x height (channel-major); only the first three channels are read.
double unmatchedBlockShare(const float* frame0, const float* frame1, int width, int height, int channels);

// The share above which two frames are taken for different scenes.
constexpr double kSceneCutShare = 0.7;
