#pragma once

#include <string>

namespace tweenova {

// libtorch comes in two halves: libtorch_cpu.so, which every binary here
// links, and libtorch_cuda.so, which brings the CUDA libraries (cuDNN,
// cuBLAS, NCCL, ...) with it: a quarter of a second and some 350 MB of a
// process's memory to load. The CUDA half registers its kernels, hooks and
// allocator when it is loaded, so it can come late: it is loaded where it can
// serve, once, from the folder of the CPU half in use.

// Whether the libtorch in use has its CUDA half, loaded or beside the CPU half.
bool torchHasCudaLibrary();

// Whether the CUDA half is loaded (by this process's start, or by the call below).
bool torchCudaLibraryLoaded();

// Loads the CUDA half for good, once; later calls give the first answer.
// False where it cannot be loaded, with the loader's reason in `error`.
bool loadTorchCudaLibrary(std::string* error = nullptr);

} // namespace tweenova
