// The model library: the TorchScript archive of the interpolation network,
// embedded in the library's read-only data at build time, handed out by
// qm_get_model_A. The bytes live as long as the library is loaded.
#include <cstdint>

#ifndef TWEENOVA_MODEL_ARCHIVE
#error "TWEENOVA_MODEL_ARCHIVE must name the archive to embed"
#endif

// The archive between two hidden labels; the assembler reads the file when
// this source is compiled (the build recompiles it when the archive changes).
__asm__(".pushsection .rodata.tweenova_model, \"a\", @progbits\n"
        ".balign 64\n"
        ".globl tweenova_model_begin\n"
        ".hidden tweenova_model_begin\n"
        "tweenova_model_begin:\n"
        ".incbin \"" TWEENOVA_MODEL_ARCHIVE "\"\n"
        ".globl tweenova_model_end\n"
        ".hidden tweenova_model_end\n"
        "tweenova_model_end:\n"
        ".popsection\n");

extern "C" const unsigned char tweenova_model_begin[];
extern "C" const unsigned char tweenova_model_end[];

// Writes the archive's size to *size and returns its first byte. Throws
// nothing: a null size pointer only leaves the size unreported.
extern "C" __attribute__((visibility("default"))) const unsigned char* qm_get_model_A(uint64_t* size) noexcept
{
  if (size)
    *size = static_cast<uint64_t>(tweenova_model_end - tweenova_model_begin);
  return tweenova_model_begin;
}
