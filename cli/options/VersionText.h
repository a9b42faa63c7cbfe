#pragma once

#include "runtime/CudaEnvironment.h"

#include <string>

namespace cli {

// What `tweenova-render --version` prints, one fact a line: the project's
// version, libtorch's, the CUDA and cuDNN versions of the build, and whether
// a GPU is usable now.
std::string versionText(const tweenova::CudaEnvironment& cuda);

} // namespace cli
