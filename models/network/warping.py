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
    output cell, kept together, [1, 2 * h / factor, 2 * w / factor, 2]: row
    2i + dy holds frame row factor * i + factor / 2 - 1 + dy, and columns
    alike (see `reduce_points`). Factor 2 reads every pixel in its order."""
    if factor == 1:
        return _positions(torch.arange(h, device=like.device), torch.arange(w, device=like.device), h, w)
    return _positions(_cell_centres(h, factor, like), _cell_centres(w, factor, like), h, w)


def _cell_centres(size: int, factor: int, like: Tensor) -> Tensor:
    """Indices factor * i + factor / 2 - 1 + d, d = 0, 1, of a side of `size`
    pixels, in order."""
    base = torch.arange(size // factor, device=like.device) * factor + (factor // 2 - 1)
    return torch.stack([base, base + 1], dim=1).reshape(-1)


def _positions(rows: Tensor, cols: Tensor, h: int, w: int) -> Tensor:
    """The grid of pixels (rows x cols) of an h x w frame, [1, n, m, 2]."""
    xs = cols.to(torch.float32) * (2.0 / float(max(w - 1, 1))) - 1.0
    ys = rows.to(torch.float32) * (2.0 / float(max(h - 1, 1))) - 1.0
    n = rows.shape[0]
    m = cols.shape[0]
    return torch.stack([xs.view(1, 1, m).expand(1, n, m), ys.view(1, n, 1).expand(1, n, m)], dim=3)


def reduce_points(values: Tensor, factor: int) -> Tensor:
    """Completes the reduction from the values at a `pixel_grid`:
    [1, C, 2 * n, 2 * m] -> [1, C, n, m], the mean of every 2 x 2 cell (a
    bilinear reduction by 2, the fastest way to take it)."""
    if factor == 1:
        return values
    return F.interpolate(values, scale_factor=0.5, mode="bilinear", align_corners=False)


def grid_rows(t: Tensor, factor: int, dim: int, r0: int, r1: int) -> Tensor:
    """What rows r0 to r1 of the reduction by `factor` read, of a
    `pixel_grid` ([1, n, m, 2], dim 1) or of the values at one ([1, C, n, m],
    dim 2)."""
    k = 1 if factor == 1 else 2
    return t.narrow(dim, k * r0, k * (r1 - r0))


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
    `pixel_grid(H, W, factor)` (factor 1 and 2: the field itself)."""
    if factor <= 2:
        return field
    c = field.shape[1]
    n = field.shape[2] // factor
    m = field.shape[3] // factor
    first = factor // 2 - 1
    cells = field.reshape(1, c, n, factor, m, factor)[:, :, :, first:first + 2, :, first:first + 2]
    return cells.reshape(1, c, 2 * n, 2 * m)


def warp(image: Tensor, flow: Tensor, grid: Tensor) -> Tensor:
    """Backward warp: out(p) = image(p + flow(p)); image [1, C, H, W], flow
    [1, 2, H, W], grid = pixel_grid(H, W, 1) -> [1, C, H, W]."""
    return sample(image, moved(grid, flow, image.shape[2], image.shape[3]))
