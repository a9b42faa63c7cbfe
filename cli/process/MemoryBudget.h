#pragma once

#include <cstdint>

namespace cli {

// Bytes this process holds now (its resident set).
uint64_t residentBytes();

// The most memory this process has held so far (its peak resident set), in MiB.
double peakMemoryMiB();

// Bytes this process may hold in all: the tightest memory limit of its
// cgroups, and the machine's available memory plus what the process holds.
uint64_t usableMemoryBytes();

// Frames to render side by side, at most `wanted`, at least 1: as many as
// fit in `usable` bytes when the process held `before` bytes before its
// first frame and `peak` bytes at most while rendering it alone, and will
// come to hold `reserved` bytes more whatever the count (the decoded-frame
// cache filling up). A tenth is kept free (allocator slack).
int framesThatFit(int wanted, uint64_t usable, uint64_t before, uint64_t peak, uint64_t reserved);

} // namespace cli
