#pragma once

#include "runtime/SimulatedCudaEnvironment.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace testsupport {

// Installs a simulated CUDA environment for the life of the object.
class ScopedCuda {
public:
  explicit ScopedCuda(const tweenova::SimulatedCudaEnvironment& env = tweenova::SimulatedCudaEnvironment::standard())
    : env_(std::make_shared<tweenova::SimulatedCudaEnvironment>(env))
  {
    tweenova::setCudaEnvironment(env_);
  }
  ~ScopedCuda() { tweenova::setCudaEnvironment(nullptr); }
  tweenova::SimulatedCudaEnvironment& env() { return *env_; }

private:
  std::shared_ptr<tweenova::SimulatedCudaEnvironment> env_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class ScopedEnv {
public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
  {
    if (const char* old = std::getenv(name))
      old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv()
  {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

private:
  std::string name_;
  std::optional<std::string> old_;
};

} // namespace testsupport
