#include "HostLayer/Plugin.h"

#include <dlfcn.h>
#include <stdexcept>

namespace HostLayer {

void* loadPlugin(const std::string& path)
{
  // The handle stays open for the life of the process, as a host keeps its plug-ins.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw std::runtime_error("cannot load plug-in " + path + ": " + (why ? why : "unknown loader error"));
  }
  return handle;
}

} // namespace HostLayer
