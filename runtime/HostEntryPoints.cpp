// Entry points a host may look up in the plug-in (the command-line host's
// developer options). Nothing is thrown across them.
#include "runtime/ModelLibrary.h"

extern "C" __attribute__((visibility("default"))) void TweenovaSetModelLibrary(const char* path)
{
  try {
    tweenova::setModelLibraryPath(path ? path : "");
  } catch (...) {
    // The default library stays in force.
  }
}
