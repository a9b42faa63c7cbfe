#include "cli/process/StopSignals.h"

#include "cli/output/PendingFiles.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

namespace cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> firstSignal{0};
std::atomic<long long> firstSignalAt{0};  // CLOCK_MONOTONIC, nanoseconds
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

// A terminal's Ctrl-C reaches the whole process group, and a wrapper such
// as timeout forwards it once more: the same signal within a second of the
// first is that one signal, not a request to stop at once.
constexpr long long kRepeatNs = 1000000000LL;

long long monotonicNs()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

extern "C" void onStopSignal(int sig)
{
  const long long now = monotonicNs();
  int none = 0;
  if (firstSignal.compare_exchange_strong(none, sig)) {
    firstSignalAt = now;
    return;
  }
  if (sig == firstSignal.load() && now - firstSignalAt.load() < kRepeatNs)
    return;
  PendingFiles::removeAll();
  _exit(128 + sig);
}

} // namespace

StopSignals::StopSignals()
{
  firstSignal = 0;
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    sigaction(kSignals[i], &action, &previous[i]);
}

StopSignals::~StopSignals()
{
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    sigaction(kSignals[i], &previous[i], nullptr);
}

int StopSignals::received() { return firstSignal.load(); }

} // namespace cli
