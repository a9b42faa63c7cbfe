// A stand-in for the NVIDIA driver library (libcuda.so.1) with none of its
// functions. A process that finds it takes the path of a machine with a
// driver, loading libtorch's CUDA half, whose runtime then cannot start: the
// late loading is tested on machines without a GPU.
extern "C" {
int tweenova_stand_in_cuda_driver = 1;
}
