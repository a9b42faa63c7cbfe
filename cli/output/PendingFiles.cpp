#include "cli/output/PendingFiles.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

namespace cli {
namespace PendingFiles {

namespace {

// More slots than frames ever written at once (one per render thread plus the writer).
constexpr int kSlots = 128;

enum State : int { Free, Claimed, Ready };

struct Slot {
  std::atomic<int> state{Free};
  char path[PATH_MAX];
};

Slot slots[kSlots];

} // namespace

int add(const std::string& path)
{
  if (path.size() >= PATH_MAX)
    return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = Free;
    if (slots[i].state.compare_exchange_strong(expected, Claimed)) {
      std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
      slots[i].state.store(Ready);
      return i;
    }
  }
  return -1;
}

void release(int slot)
{
  if (slot >= 0 && slot < kSlots)
    slots[slot].state.store(Free);
}

void removeAll()
{
  for (Slot& s : slots)
    if (s.state.load() == Ready)
      unlink(s.path);
}

} // namespace PendingFiles
} // namespace cli
