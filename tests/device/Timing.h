#pragma once

#include <chrono>
#include <vector>

namespace devicecheck {

// Wall-clock milliseconds `work` takes.
template <class Work>
double millisecondsOf(Work&& work)
{
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The median of `values` (the mean of the middle two for an even count); 0 for none.
double median(std::vector<double> values);

} // namespace devicecheck
