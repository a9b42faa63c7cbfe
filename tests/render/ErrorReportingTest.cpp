#include "render/ErrorReporting.h"

#include <gtest/gtest.h>

#include <string>

TEST(MapErrorMessage, MemoryFailuresShowTheOutOfMemoryHint)
{
  const std::string hint =
    "Out of GPU memory - lower the Tiling 'max size', reduce the input resolution, or untick 'Use GPU if available' "
    "to render on CPU.";
  EXPECT_EQ(mapErrorMessage("CUDA out of memory. Tried to allocate 2.00 GiB\nmore detail"), hint);
  EXPECT_EQ(mapErrorMessage("DefaultCPUAllocator: not enough memory: you tried... out of memory"), hint);
  EXPECT_EQ(mapErrorMessage("cuDNN error: Unable to find a valid cuDNN algorithm to run convolution"), hint);
  // Case-sensitive.
  EXPECT_EQ(mapErrorMessage("Out Of Memory"), "Out Of Memory");
}

TEST(MapErrorMessage, LastLineRule)
{
  EXPECT_EQ(mapErrorMessage("a\nb\nc"), "c");
  EXPECT_EQ(mapErrorMessage("abc\n"), "abc\n");
  EXPECT_EQ(mapErrorMessage("a\nb\n"), "b\n");
  EXPECT_EQ(mapErrorMessage("first\r\nsecond"), "second");
  EXPECT_EQ(mapErrorMessage("first\rsecond"), "second");
  EXPECT_EQ(mapErrorMessage("Too many nan values returned, frame corrupt"),
            "Too many nan values returned, frame corrupt");
  EXPECT_EQ(mapErrorMessage("x"), "x");
  EXPECT_EQ(mapErrorMessage("\n"), "\n");
  EXPECT_EQ(mapErrorMessage("\n\n"), "\n");
  EXPECT_EQ(mapErrorMessage(""), "Processing error (see the terminal for details).");
}
