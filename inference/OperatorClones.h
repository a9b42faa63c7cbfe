// Instruction-set versions of the network operators' inner loops.
//
// A loop marked TWEENOVA_CLONES is compiled twice, for AVX2 and for any
// x86-64, and the version the CPU runs is chosen when the library loads.
// Neither contracts multiplications and additions, so both give the same
// values; a build with TWEENOVA_OPERATORS_BASELINE has the baseline alone,
// for the tests to compare. ThreadSanitizer builds have it too: the loader
// calls the clones' resolver while it relocates the program, before the
// sanitizer's runtime is set up, and the resolver's instrumentation then
// crashes the program at start.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TWEENOVA_THREAD_SANITIZER
#endif
#endif
#if defined(TWEENOVA_OPERATORS_BASELINE) || defined(__SANITIZE_THREAD__) || defined(TWEENOVA_THREAD_SANITIZER)
#define TWEENOVA_CLONES
#else
#define TWEENOVA_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// Helpers inlined into a cloned loop are compiled with its instruction set.
// Being inlined they have no calling convention, which GCC's note on passing
// vectors is about.
#define TWEENOVA_INLINE inline __attribute__((always_inline))
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace tweenova {

// Eight float32 lanes: one AVX2 register, two SSE ones.
typedef float Lanes __attribute__((vector_size(8 * sizeof(float))));
constexpr int kLanes = 8;

} // namespace tweenova
