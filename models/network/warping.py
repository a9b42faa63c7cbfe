"""Backward warping with bilinear sampling.

Flows are [1, 2, H, W] tensors in pixel units of the grid they live on:
channel 0 is the horizontal displacement (to the right), channel 1 the
vertical one (downwards, rows top-down).
"""
from typing import List

import torch
import torch.nn.functional as F
from torch import Tensor


def pixel_grid(h: int, w: int, like: Tensor) -> Tensor:
    """Normalised sampling grid [1, H, W, 2] of the identity mapping
    (align_corners=True convention: -1 is the first pixel centre, +1 the last)."""
    ys = torch.linspace(-1.0, 1.0, h, device=like.device, dtype=like.dtype)
    xs = torch.linspace(-1.0, 1.0, w, device=like.device, dtype=like.dtype)
    gy = ys.view(1, h, 1).expand(1, h, w)
    gx = xs.view(1, 1, w).expand(1, h, w)
    return torch.stack([gx, gy], dim=3)


def warp(image: Tensor, flow: Tensor) -> Tensor:
    """Sample `image` [1, C, H, W] at x + flow(x); flow [1, 2, H, W] in pixels.

    Out-of-frame positions take the nearest edge value. Returns [1, C, H, W]."""
    h = image.shape[2]
    w = image.shape[3]
    flow = flow.to(image.dtype)
    sx = 2.0 / float(max(w - 1, 1))
    sy = 2.0 / float(max(h - 1, 1))
    offset = torch.stack([flow[:, 0] * sx, flow[:, 1] * sy], dim=3)
    grid = pixel_grid(h, w, image) + offset
    return F.grid_sample(image, grid, mode="bilinear", padding_mode="border",
                         align_corners=True)


def resize_flow(flow: Tensor, h: int, w: int) -> Tensor:
    """Bilinearly resample flow [1, 2, h0, w0] to [1, 2, h, w], rescaling the
    vectors to the new pixel units."""
    h0 = flow.shape[2]
    w0 = flow.shape[3]
    if h0 == h and w0 == w:
        return flow
    up = F.interpolate(flow, size=[h, w], mode="bilinear", align_corners=False)
    scale: List[float] = [float(w) / float(w0), float(h) / float(h0)]
    return torch.cat([up[:, 0:1] * scale[0], up[:, 1:2] * scale[1]], dim=1)
