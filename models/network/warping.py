"""Backward warping and sampling at chosen pixels, bilinear.

Images are [1, C, H, W], rows top-down. A flow has two channels per frame in
pixels of the frame: the first to the right, the second downwards. Sampling
positions are grids [1, n, m, 2] of (x, y) normalised as F.grid_sample with
align_corners=True reads them: -1 and 1 are the centres of the first and the
last pixel. A position outside the frame takes the nearest edge value.

Grids stay in float32 whatever the image type: float16 cannot tell
neighbouring pixels apart beyond 2048 of them, bfloat16 beyond 256.

Plates may hold NaN and infinite values (CG renders, depth with an infinite
background). Bilinear weights of zero would turn them into NaN everywhere
around them (0 * inf); `sample_extended` weighs them as extended arithmetic
does, so a bad pixel shows only where it is really read.
"""
import torch
import torch.nn.functional as F
from torch import Tensor


def pixel_grid(h: int, w: int, factor: int, like: Tensor) -> Tensor:
    """The pixels of an h x w frame that a bilinear reduction by `factor`
    reads (F.interpolate, align_corners=False). Factor 1: every pixel,
    [1, h, w, 2]. An even factor: the 2 x 2 pixels around the centre of every
    output cell, as four lattices stacked along the rows, [1, 4 * h / factor,
    w / factor, 2] (see `reduce_points`)."""
    sx = 2.0 / float(max(w - 1, 1))
    sy = 2.0 / float(max(h - 1, 1))
    if factor == 1:
        xs = torch.arange(w, device=like.device, dtype=torch.float32) * sx - 1.0
        ys = torch.arange(h, device=like.device, dtype=torch.float32) * sy - 1.0
        return torch.stack([xs.view(1, 1, w).expand(1, h, w), ys.view(1, h, 1).expand(1, h, w)], dim=3)
    first = float(factor // 2 - 1)
    n = h // factor
    m = w // factor
    xs = torch.arange(m, device=like.device, dtype=torch.float32) * float(factor) + first
    ys = torch.arange(n, device=like.device, dtype=torch.float32) * float(factor) + first
    lattices = []
    for dy in range(2):
        for dx in range(2):
            gx = ((xs + float(dx)) * sx - 1.0).view(1, 1, m).expand(1, n, m)
            gy = ((ys + float(dy)) * sy - 1.0).view(1, n, 1).expand(1, n, m)
            lattices.append(torch.stack([gx, gy], dim=3))
    return torch.cat(lattices, dim=1)


def reduce_points(values: Tensor, factor: int) -> Tensor:
    """Completes the reduction from the values at a `pixel_grid`:
    [1, C, 4 * n, m] -> [1, C, n, m], the mean of the four lattices."""
    if factor == 1:
        return values
    c = values.shape[1]
    n = values.shape[2] // 4
    m = values.shape[3]
    return values.reshape(1, c, 4, n, m).mean(dim=2)


def lattice_rows(t: Tensor, factor: int, dim: int, r0: int, r1: int) -> Tensor:
    """Rows r0 to r1 of every lattice of a `pixel_grid(H, W, factor)`
    ([1, 4 * n, m, 2], dim 1) or of the values at one ([1, C, 4 * n, m],
    dim 2), stacked as before. Factor 1 has one lattice, the whole frame."""
    if factor == 1:
        return t.narrow(dim, r0, r1 - r0)
    n = t.shape[dim] // 4
    return torch.cat([t.narrow(dim, j * n + r0, r1 - r0) for j in range(4)], dim=dim)


def moved(grid: Tensor, flow: Tensor, h: int, w: int) -> Tensor:
    """Positions of `grid` [1, n, m, 2] in an h x w frame displaced by `flow`
    [1, 2, n, m] (pixels)."""
    scale = torch.tensor([2.0 / float(max(w - 1, 1)), 2.0 / float(max(h - 1, 1))],
                         dtype=torch.float32, device=grid.device)
    return torch.addcmul(grid, flow.float().permute(0, 2, 3, 1), scale)


def sample(image: Tensor, grid: Tensor) -> Tensor:
    """image [1, C, H, W] at the positions of grid [1, n, m, 2] -> [1, C, n, m]."""
    out = F.grid_sample(image.float(), grid, mode="bilinear", padding_mode="border", align_corners=True)
    return out.to(image.dtype)


def _bilinear(image: Tensor, grid: Tensor) -> Tensor:
    return F.grid_sample(image, grid, mode="bilinear", padding_mode="border", align_corners=True)


def sample_extended(image: Tensor, grid: Tensor) -> Tensor:
    """`sample` of a float32 image holding NaN or infinite values: a
    non-finite value read with a non-zero weight decides the result (NaN
    before an infinity, and opposite infinities give NaN); one of zero
    weight is not read."""
    finite = _bilinear(torch.nan_to_num(image, nan=0.0, posinf=0.0, neginf=0.0), grid)
    high = _bilinear((image == float("inf")).float(), grid) > 0.0
    low = _bilinear((image == float("-inf")).float(), grid) > 0.0
    bad = _bilinear(torch.isnan(image).float(), grid) > 0.0
    out = torch.where(high, torch.full_like(finite, float("inf")), finite)
    out = torch.where(low, torch.full_like(finite, float("-inf")), out)
    return torch.where(bad | (high & low), torch.full_like(finite, float("nan")), out)


def warp_extended(image: Tensor, flow: Tensor, grid: Tensor) -> Tensor:
    """`warp` of an image holding NaN or infinite values (`sample_extended`)."""
    return sample_extended(image.float(), moved(grid, flow, image.shape[2], image.shape[3])).to(image.dtype)


def points(field: Tensor, factor: int) -> Tensor:
    """The values of a full-resolution field [1, C, H, W] at the pixels of
    `pixel_grid(H, W, factor)`: [1, C, 4 * H / factor, W / factor] (factor 1:
    the field itself)."""
    if factor == 1:
        return field
    first = factor // 2 - 1
    lattices = []
    for dy in range(2):
        for dx in range(2):
            lattices.append(field[:, :, first + dy::factor, first + dx::factor])
    return torch.cat(lattices, dim=2)


def warp(image: Tensor, flow: Tensor, grid: Tensor) -> Tensor:
    """Backward warp: out(p) = image(p + flow(p)); image [1, C, H, W], flow
    [1, 2, H, W], grid = pixel_grid(H, W, 1) -> [1, C, H, W]."""
    return sample(image, moved(grid, flow, image.shape[2], image.shape[3]))
