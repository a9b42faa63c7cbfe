#include "runtime/ModelLibrary.h"

#include "runtime/SharedObjectCheck.h"
#include "runtime/Startup.h"

#include <dlfcn.h>
#include <mutex>
#include <stdexcept>

namespace tweenova {
namespace {

constexpr const char* kModelLibraryName = "TweenovaModels.so";
constexpr const char* kModelSymbol = "qm_get_model_A";

using GetModelFunction = const unsigned char* (*)(uint64_t*);

std::mutex& overrideMutex()
{
  static std::mutex m;
  return m;
}

std::string& overridePath()
{
  static std::string path;
  return path;
}

} // namespace

std::string modelLibraryPath()
{
  {
    std::lock_guard<std::mutex> lock(overrideMutex());
    if (!overridePath().empty())
      return overridePath();
  }
  const std::string dir = getPluginPath();
  return dir.empty() ? std::string(kModelLibraryName) : dir + "/" + kModelLibraryName;
}

void setModelLibraryPath(std::string path)
{
  std::lock_guard<std::mutex> lock(overrideMutex());
  overridePath() = std::move(path);
}

ModelArchive ModelArchive::fetch(const std::string& path)
{
  try {
    checkSharedObject(path);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot load model library " + path + ": " + e.what());
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw std::runtime_error("cannot load model library " + path + ": " + (why ? why : "unknown error"));
  }
  std::shared_ptr<void> library(handle, [](void* h) { dlclose(h); });

  dlerror();
  auto getModel = reinterpret_cast<GetModelFunction>(dlsym(handle, kModelSymbol));
  if (!getModel)
    throw std::runtime_error("model library " + path + " has no " + kModelSymbol);

  uint64_t size = 0;
  const unsigned char* data = getModel(&size);
  if (!data || size == 0)
    throw std::runtime_error("model library returned no data");
  return ModelArchive(std::move(library), data, size);
}

} // namespace tweenova
