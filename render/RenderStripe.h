#pragma once

#include "inference/RenderSettings.h"

class Tweenova;

// The node's parameters as one render reads them, taken once at its start.
RenderSettings renderSettings(const Tweenova& node);

// Number of network passes a W x H plane takes with the given tile size and
// overlap: one per tile of the tile plan (one for a frame that goes through
// in one piece), twice when nSel (the number of interpolated channels) is
// four or more. Never less than 1.
int progressTotalFor(int W, int H, int maxSize, int overlap, int nSel);
