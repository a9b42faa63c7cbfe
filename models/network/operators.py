"""The network's operators of its own, compiled in C++ (`tweenova::`).

On the CPU, `tweenova::block_input` puts a refinement block's input together
in one pass (inference/BlockInputOperator.cpp), `tweenova::add_enlarged_`
adds a block's flow residuals to the flows (FlowUpdateOperator.cpp),
`tweenova::bounded` makes the copy of a frame the flows see
(BoundedOperator.cpp), `tweenova::sources` puts a frame and its features
together and `tweenova::shuffle_into_` a block's output into the result's
rows (PixelShuffleOperators.cpp), `tweenova::residual_` ends a residual
convolution (ResidualOperator.cpp). The plug-in compiles them in; Python loads
them from the build: TWEENOVA_OPERATORS names the library, else
build/tweenova_operators.so of this checkout (scripts/build makes it).
"""
import os

import torch

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def library_path() -> str:
    return os.environ.get("TWEENOVA_OPERATORS") or os.path.join(ROOT, "build", "tweenova_operators.so")


def load() -> None:
    """Registers the operators with torch, once per process."""
    if hasattr(torch.ops.tweenova, "block_input"):
        return
    path = library_path()
    if not os.path.exists(path):
        raise ImportError("the network's operators are not built: %s does not exist (run scripts/build, "
                          "or set TWEENOVA_OPERATORS to the library)" % path)
    torch.ops.load_library(path)


load()
