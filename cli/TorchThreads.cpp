#include "cli/TorchThreads.h"

#include <ATen/Parallel.h>

#include <thread>

namespace cli {

int setTorchThreads(int n)
{
  // libtorch starts with one thread on small machines; a render uses every core unless told otherwise.
  const int count = n > 0 ? n : int(std::max(1u, std::thread::hardware_concurrency()));
  at::set_num_threads(count);
  return at::get_num_threads();
}

} // namespace cli
