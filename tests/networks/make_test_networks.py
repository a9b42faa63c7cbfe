#!/usr/bin/python3
"""Write the small TorchScript networks the unit tests load in place of the real one.

Usage: make_test_networks.py --out DIR

Every network takes the node's seven forward arguments (img0, img1,
timestep, substep_index, flow_magnitude, threshold, warp_downscale).
"""
import argparse
import os
import sys
from typing import Tuple

import torch
import torch.nn.functional as F
from torch import Tensor, nn


class Blend(nn.Module):
    """img0 * (1 - t) + img1 * t: a linear cross-fade, exact under tiling."""

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return img0 * (1.0 - timestep) + img1 * timestep


class Constant(nn.Module):
    """Every value is `value` (settable after loading)."""
    value: float

    def __init__(self):
        super().__init__()
        self.value = 0.5

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return torch.full_like(img0, self.value)


class NaNs(nn.Module):
    """img0 with its first `nan_count` elements (flattened) replaced by NaN."""
    nan_count: int

    def __init__(self):
        super().__init__()
        self.nan_count = 0

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        out = img0.clone().reshape(-1)
        out[:self.nan_count] = float("nan")
        return out.reshape(img0.shape)


class Throws(nn.Module):
    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        raise Exception("test network failed on purpose")


class NoForward(nn.Module):
    @torch.jit.export
    def interpolate(self, img0: Tensor) -> Tensor:
        return img0


class Inner(nn.Module):
    cast_half: bool

    def __init__(self):
        super().__init__()
        self.cast_half = True
        self.register_buffer("scale", torch.ones(1, dtype=torch.float64))

    def forward(self, x: Tensor) -> Tensor:
        return x * self.scale.to(x.dtype)


class Flags(nn.Module):
    """Carries the half-casting flags at the root and in a submodule, and float64 buffers."""
    cast_half: bool
    synth_fp32: bool

    def __init__(self):
        super().__init__()
        self.cast_half = True
        self.synth_fp32 = True
        self.inner = Inner()
        self.register_buffer("offset", torch.zeros(1, dtype=torch.float64))

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return self.inner(img0 * (1.0 - timestep) + img1 * timestep) + self.offset.to(img0.dtype)


class NoFlags(nn.Module):
    """Like Flags without the flags: float64 buffer, plain blend."""

    def __init__(self):
        super().__init__()
        self.register_buffer("offset", torch.zeros(1, dtype=torch.float64))

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return img0 * (1.0 - timestep) + img1 * timestep + self.offset.to(img0.dtype)


class NotATensor(nn.Module):
    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tuple[Tensor, Tensor]:
        return img0, img1


class TooSmall(nn.Module):
    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return img0[:, :, :8, :8]


class Recorder(nn.Module):
    """Writes what it received into rows of its (padded-size) result, every column and channel:
    0 timestep, 1 substep_index, 2 flow_magnitude, 3 threshold, 4 warp_downscale,
    5 img0 rows, 6 img0 columns, 7 1.0 when img0 is float32, 8 img0's last row and column,
    9 img1's last row and column, 10 img0's first row and column, 11 1.0 when a
    convolution of img0 comes out in bfloat16 (CPU autocast in force)."""

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        out = torch.zeros(img0.shape, dtype=torch.float32)
        values = [timestep, float(substep_index), float(flow_magnitude), threshold, warp_downscale,
                  float(img0.shape[2]), float(img0.shape[3]), 1.0 if img0.dtype == torch.float32 else 0.0,
                  float(img0[0, 0, -1, -1].item()), float(img1[0, 0, -1, -1].item()),
                  float(img0[0, 0, 0, 0].item()),
                  1.0 if F.conv2d(img0, torch.ones(1, 3, 1, 1)).dtype == torch.bfloat16 else 0.0]
        for row, v in enumerate(values):
            out[:, :, row, :] = v
        return out


class OutOfMemoryAtQuarter(torch.nn.Module):
    """Blends, but fails like a GPU out of memory at timestep 0.25."""

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        if abs(timestep - 0.25) < 1e-6:
            raise RuntimeError("CUDA out of memory. Tried to allocate 2.00 GiB (GPU 0; 8.00 GiB total capacity)")
        return img0 * (1.0 - timestep) + img1 * timestep


class AllNaNs(torch.nn.Module):
    """Corrupt output: NaN everywhere."""

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return torch.full_like(img0, float("nan"))


class DownscaleEcho(nn.Module):
    """Returns its warp_downscale argument everywhere, and says, as the
    built-in network does, that frames up to 576 pixels on their short side
    want their flows at twice their size."""

    def __init__(self):
        super().__init__()
        self.fine_flow_side = 576

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        return torch.full_like(img0, warp_downscale)


NETWORKS = {
    "blend": Blend, "constant": Constant, "nans": NaNs, "throws": Throws, "noforward": NoForward,
    "flags": Flags, "noflags": NoFlags, "notatensor": NotATensor, "toosmall": TooSmall, "recorder": Recorder,
    "oomatquarter": OutOfMemoryAtQuarter, "allnans": AllNaNs, "downscaleecho": DownscaleEcho,
}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True, help="folder to write NAME.pt archives into")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name, cls in NETWORKS.items():
        torch.jit.script(cls().eval()).save(os.path.join(args.out, name + ".pt"))
    with open(os.path.join(args.out, "garbage.pt"), "wb") as f:
        f.write(b"this is not a TorchScript archive\n" * 8)
    return 0


if __name__ == "__main__":
    sys.exit(main())
