#pragma once

namespace cli {

// Sets libtorch's intra-op thread count for this process: n, or one per core when n is 0.
// Returns the count in force.
int setTorchThreads(int n);

} // namespace cli
