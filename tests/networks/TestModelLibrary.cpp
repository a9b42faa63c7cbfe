// A model library for tests: qm_get_model_A hands over the archive named by
// TWEENOVA_TEST_ARCHIVE, read when it is called. Variants, chosen at build
// time, return no data, a zero count, or export no qm_get_model_A at all.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#if defined(TEST_MODEL_LIBRARY_NO_SYMBOL)
#define TEST_MODEL_FUNCTION qm_get_model_B
#else
#define TEST_MODEL_FUNCTION qm_get_model_A
#endif

namespace {
// One buffer per thread: nodes on several render threads may open at the same time.
thread_local std::vector<unsigned char> archive;
}

extern "C" __attribute__((visibility("default"))) const unsigned char* TEST_MODEL_FUNCTION(uint64_t* size) noexcept
{
#if defined(TEST_MODEL_LIBRARY_NULL)
  *size = 1024;
  return nullptr;
#elif defined(TEST_MODEL_LIBRARY_ZERO_COUNT)
  static const unsigned char byte = 0;
  *size = 0;
  return &byte;
#else
  try {
    const char* path = std::getenv("TWEENOVA_TEST_ARCHIVE");
    if (!path)
      return nullptr;
    std::ifstream in(path, std::ios::binary);
    archive.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    *size = archive.size();
    return archive.empty() ? nullptr : archive.data();
  } catch (...) {
    return nullptr;
  }
#endif
}
