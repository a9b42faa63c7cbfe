#pragma once

// Number of network passes a W x H plane takes with the given tile size and
// overlap: one per tile, twice when nSel (the number of interpolated
// channels) is four or more. Never less than 1.
int progressTotalFor(int W, int H, int maxSize, int overlap, int nSel);
