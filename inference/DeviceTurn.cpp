#include "inference/DeviceTurn.h"

#include <map>
#include <memory>

namespace {

std::mutex& deviceMutex(int index)
{
  static std::mutex tableMutex;
  static std::map<int, std::unique_ptr<std::mutex>> devices;
  std::lock_guard<std::mutex> lock(tableMutex);
  std::unique_ptr<std::mutex>& m = devices[index];
  if (!m)
    m = std::make_unique<std::mutex>();
  return *m;
}

} // namespace

DeviceTurn::DeviceTurn(int index) : lock_(deviceMutex(index)) {}
