#include "cli/StopSignals.h"

#include "cli/PendingFiles.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> firstSignal{0};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

extern "C" void onStopSignal(int sig)
{
  int none = 0;
  if (firstSignal.compare_exchange_strong(none, sig))
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
