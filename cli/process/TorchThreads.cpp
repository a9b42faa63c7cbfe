#include "cli/process/TorchThreads.h"

#include "cli/process/CpuBudget.h"

#include <ATen/Parallel.h>

namespace cli {

int setTorchThreads(int n)
{
  // libtorch starts with one thread on small machines; 0 asks for every core the process may use.
  const int count = n > 0 ? n : usableCores();
  at::set_num_threads(count);
  return at::get_num_threads();
}

} // namespace cli
