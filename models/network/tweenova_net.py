"""Tweenova frame interpolator: a learned intermediate-flow network.

The network is RIFE (Huang et al., "Real-Time Intermediate Flow Estimation
for Video Frame Interpolation", ECCV 2022) in its 4.2x form, with published
learned weights (models/README.md and NOTICE give their origin and licence).
It estimates the flows from the in-between frame back to both inputs and a
fusion mask directly, coarse to fine, and blends the two backward-warped
inputs (paper, section 3):

    I_t = M * warp(I_0, F_t->0) + (1 - M) * warp(I_1, F_t->1)

1. Features. A small head encodes each frame into 4 channels at full
   resolution (a stride-2 convolution, two convolutions, a transposed
   convolution, computed as a convolution giving each output pixel's four
   phases and a pixel shuffle: `UpConv.phases`).
2. IFNet. Five IFBlocks refine the flows (4 channels: F_t->0 then F_t->1, in
   pixels), the mask logit and 8 context channels, coarse to fine. Block k
   works at 1/s_k of the frame (s = 16, 8, 4, 2, 1 by default). It reads the
   frames backward-warped by the current flows (block 0: the frames
   themselves) and their warped features, the timestep as a plane, the
   previous block's mask logit and context, and the current flows, all
   reduced bilinearly to its resolution. Two stride-2 convolutions, eight
   residual convolutions with a learned per-channel scale beta, then a
   transposed convolution and a pixel shuffle bring it back to 1/s_k with 4
   flow channels (added to the flows, enlarged to full resolution), 1 mask
   logit (replaces the previous one) and 8 context channels. LeakyReLU(0.2)
   throughout. The warps feeding a block are evaluated only at the pixels
   its reduction reads (warping.pixel_grid): the same values as warping the
   whole frame, at a fraction of the cost. On large frames the fine blocks
   run in strips of rows with a halo wider than their receptive field:
   the same results, without their inputs ever existing for the whole
   frame (`strip_pixels`, `strip_halo`). On the CPU a block's input (the
   warps at its pixels, their reduction, the enlarged context and the
   concatenation) is one C++ operator, `tweenova::block_input`
   (operators.py), which writes each value once; on other devices it is
   composed of torch operations (`composed_block_input`), the same values.
   The frames' bounded copy (`bounded`), their sources (`sources`), a
   block's output into the result's rows (`shuffle_into_`), the flows'
   update after each block (`add_enlarged_`) and the end of a residual
   convolution (`residual_`) are C++ operators on the CPU too, each with its
   composition for other devices.
3. Synthesis. M = sigmoid(logit) blends the two inputs warped by the final
   flows, at full resolution.

Value range. Inputs arrive PU21-encoded (linear 1.0 encodes to 1.0,
highlights encode above 1, about 2.32 at linear 100, and the encoding goes
on logarithmically above that and linearly below 0, so that every value
comes back). The flows are estimated on a bounded copy, the encoded values
with negatives clamped to 0, values above `highlight_knee` compressed
smoothly towards `highlight_ceiling`, NaN as 0 and infinities as the ends;
the synthesis warps and blends the real values, so highlights, negative
values and data channels survive, and a NaN or infinite source pixel shows
only where it is sampled.

Arguments of `forward`:
- `timestep`: position of the result between img0 (0) and img1 (1).
- `threshold`: a timestep within `threshold` of 0 or 1 returns that input
  unchanged.
- `warp_downscale` (1.0, 0.5, 0.25; twice that for small frames, below):
  resolution at which the flows are estimated, relative to the published
  model's: its block scales are divided by it (other values go to the
  nearest power of two, down to 1/8; 2 enlarges the frames twice). Warping
  and blending stay at full resolution.
- `flow_magnitude` (1 low, 2 medium, 3 high): the first block starts
  2^(magnitude - 1) times coarser, so that it catches larger motion. 1 is
  the published model.
- `substep_index` (0-5): time against quality, the cost about linear in
  the index. 0 is a draft: one pass with the flows at half the resolution
  `warp_downscale` asks for. An index k >= 1 ensembles k passes at test
  time: the inputs as given (1 is the published model), swapped (timestep
  1 - t), mirrored left-right, mirrored left-right and swapped, mirrored
  top-bottom. Each pass's flows and mask are brought back to the inputs'
  frame, each pass synthesises a result and the results are averaged; a
  swapped pass shares the features of the pass before it.
Small frames. A frame whose short side is at most `fine_flow_side` (576:
standard definition and smaller) should have its flows estimated at twice
the resolution: `frame_warp_downscale` gives the argument for a frame, and
at 2 the frames are enlarged twice, the flows and mask estimated on the
enlargement and reduced back, and the frame itself warped and blended. The
published model resolves the few-pixel motions of such frames better that
way (+0.5 dB over the developer triplets, all of which are that small). The
decision belongs to the whole frame, not to the tile a call gets: the
caller makes it (the node reads `fine_flow_side` from the module), so that
every tile of a frame is treated alike.
Block scales are capped so that every block's input keeps at least
`min_block_side` pixels on the short side (a 32x32 tile works), and the
frames are padded by replication to the multiple the scales need (4 times
the largest, halved when they are enlarged), then cropped back.

Held frames. Two identical inputs (a held frame of the plate, or a tile of
it that does not change) are returned as they are: nothing moves between
them, and any flow the blocks would estimate could only resample them.

Reduced precision. Under autocast (the node's mixed precision) float32
inputs stay float32: the convolutions run in the reduced type, the flows,
grids, warps and the blend in float32, so that reduced precision changes
only where the flows come out differently and the plate's values are not
rounded. `cast_half`: on CUDA, estimate the flows in float16. `synth_fp32`:
on CUDA, warp and blend in float32 rather than in the input's type. On the
CPU everything runs in float32 whatever the input type; the result always
has the input's dtype.
"""
from typing import Dict, List, Optional, Tuple

import torch
import torch.nn.functional as F
from torch import Tensor, nn

import operators  # noqa: F401 (registers torch.ops.tweenova)
from warping import grid_rows, moved, pixel_grid, points, reduce_points, sample, warp, warp_extended

VERSION = "2.5.0"

# Prefixes of the published state dict's entries that the interpolation
# graph never reads: the teacher block of training and the caltime head.
TRAINING_ONLY = ("teacher.", "caltime.")


# --- value range -------------------------------------------------------------

def bounded(v: Tensor, knee: float, ceiling: float) -> Tensor:
    """What the learned weights see of a PU21-encoded float32 frame [1, 3, H,
    W]: negatives clamped to 0, values above `knee` compressed smoothly
    towards `ceiling` (knee + (ceiling - knee) * d / (1 + d), d the excess
    over the knee in units of ceiling - knee). NaN counts as black and
    infinities as their end of the range, so that a bad pixel, whose
    influence on the coarse blocks would reach every flow, leaves the flows
    finite. On the CPU, torch.ops.tweenova.bounded in one pass."""
    if v.is_cpu:
        return torch.ops.tweenova.bounded(v, knee, ceiling)
    return composed_bounded(v, knee, ceiling)


def composed_bounded(v: Tensor, knee: float, ceiling: float) -> Tensor:
    """`bounded` composed of torch operations."""
    v = torch.nan_to_num(v, nan=0.0, posinf=ceiling, neginf=0.0)
    d = torch.clamp(v - knee, min=0.0)
    return torch.clamp(v, 0.0, knee) + d / (1.0 + d * (1.0 / (ceiling - knee)))


# --- layers ------------------------------------------------------------------

class Conv(nn.Module):
    """k x k convolution (padding k // 2) whose weights follow the input's type."""

    def __init__(self, cin: int, cout: int, kernel: int, stride: int):
        super().__init__()
        self.weight = nn.Parameter(torch.zeros(cout, cin, kernel, kernel))
        self.bias = nn.Parameter(torch.zeros(cout))
        self.stride = stride
        self.padding = kernel // 2

    def forward(self, x: Tensor) -> Tensor:
        return F.conv2d(x, self.weight.to(x.dtype), self.bias.to(x.dtype), self.stride, self.padding)


class UpConv(nn.Module):
    """4 x 4 transposed convolution, stride 2: [1, cin, h, w] -> [1, cout, 2h, 2w]."""

    def __init__(self, cin: int, cout: int):
        super().__init__()
        self.weight = nn.Parameter(torch.zeros(cin, cout, 4, 4))
        self.bias = nn.Parameter(torch.zeros(cout))

    def forward(self, x: Tensor, channels: int) -> Tensor:
        """Only the first `channels` output channels."""
        w = self.weight[:, 0:channels].to(x.dtype)
        return F.conv_transpose2d(x, w, self.bias[0:channels].to(x.dtype), 2, 1)

    def phases(self, x: Tensor, channels: int) -> Tensor:
        """`forward` as a 3 x 3 convolution at the input's resolution that
        gives output pixel (2i + dy, 2j + dx) of channel c as channel
        4c + 2dy + dx of pixel (i, j): F.pixel_shuffle(phases, 2) is
        `forward`. Each phase reads the 2 x 2 taps of the flipped kernel
        that land on it."""
        w = self.weight[:, 0:channels].flip([2, 3]).transpose(0, 1)
        taps: List[Tensor] = []
        for dy in range(2):
            for dx in range(2):
                taps.append(F.pad(w[:, :, dy::2, dx::2], [dx, 1 - dx, dy, 1 - dy]))
        k = torch.stack(taps, dim=1).reshape(4 * channels, w.shape[1], 3, 3)
        b = self.bias[0:channels].repeat_interleave(4)
        return F.conv2d(x, k.to(x.dtype), b.to(x.dtype), 1, 1)


class FeatureHead(nn.Module):
    """[1, 3, H, W] frame -> [1, 4 * features, H / 2, W / 2], the feature map's
    four phases (UpConv.phases): F.pixel_shuffle(phases, 2) is the map."""

    def __init__(self, width: int, features: int, slope: float):
        super().__init__()
        self.conv0 = Conv(3, width, 3, 2)
        self.conv1 = Conv(width, width, 3, 1)
        self.conv2 = Conv(width, width, 3, 1)
        self.up = UpConv(width, features)
        self.features = features
        self.slope = slope

    def forward(self, x: Tensor) -> Tensor:
        x = x.contiguous(memory_format=torch.channels_last)
        x = F.leaky_relu(self.conv0(x), self.slope, True)
        x = F.leaky_relu(self.conv1(x), self.slope, True)
        x = F.leaky_relu(self.conv2(x), self.slope, True)
        return self.up.phases(x, self.features)


class ResConv(nn.Module):
    """x + beta * conv(x), beta one learned scale per channel, then LeakyReLU."""

    def __init__(self, c: int, slope: float):
        super().__init__()
        self.conv = Conv(c, c, 3, 1)
        self.beta = nn.Parameter(torch.ones(1, c, 1, 1))
        self.slope = slope

    def forward(self, x: Tensor) -> Tensor:
        y = self.conv(x)
        beta = self.beta.to(x.dtype)
        if x.is_cpu:
            return torch.ops.tweenova.residual_(y, x, beta, self.slope)
        return composed_residual(y, x, beta, self.slope)


class IFBlock(nn.Module):
    """One level of IFNet: [1, cin, h, w] (h, w multiples of 4) -> [1, outputs,
    h, w], the first `outputs` of: 4 flow residuals (pixels of this level),
    the mask logit, the context."""

    def __init__(self, cin: int, c: int, outputs: int, depth: int, slope: float,
                 strip_pixels: int, strip_halo: int):
        super().__init__()
        self.strip_pixels = strip_pixels
        self.strip_halo = strip_halo
        self.down0 = Conv(cin, c // 2, 3, 2)
        self.down1 = Conv(c // 2, c, 3, 2)
        self.res = nn.ModuleList([ResConv(c, slope) for _ in range(depth)])
        self.up = UpConv(c, 4 * outputs)
        self.slope = slope

    def forward(self, x: Tensor, outputs: int) -> Tensor:
        return F.pixel_shuffle(self.phases(x, outputs), 2)

    def phases(self, x: Tensor, outputs: int) -> Tensor:
        """`forward` before its pixel shuffle: [1, 4 * outputs, h / 2, w / 2]."""
        x = x.contiguous(memory_format=torch.channels_last)
        x = F.leaky_relu(self.down0(x), self.slope, True)
        x = F.leaky_relu(self.down1(x), self.slope, True)
        for layer in self.res:
            x = layer(x)
        return self.up(x, 4 * outputs)

    def refine(self, outputs: int, source0: Tensor, source1: Tensor, timestep: float,
               at: Tensor, rest: Tensor, factor: int, s: int, dtype: torch.dtype) -> Tensor:
        """This block as any but the first, at 1/s of the frame: reads the sources
        warped by the current flows `at` its `pixel_grid`, the timestep, the
        previous block's mask logit and context `rest` (factor times
        coarser) and the flows, and returns its `outputs` channels
        [1, outputs, H / s, W / s]; its input is put together in `dtype`,
        the type of its convolutions. Large frames go through in strips of
        rows, each with `strip_halo` rows either side that the block reads
        but whose results are dropped: the halo is wider than the block's
        receptive field, so a strip's results are those of the whole frame,
        and the block's inputs never exist for the whole frame at once."""
        h = source0.shape[2]
        w = source0.shape[3]
        n = h // s
        m = w // s
        rows = max(4, self.strip_pixels // m // 4 * 4)
        out = torch.empty(1, outputs, n, m, dtype=source0.dtype, device=source0.device)
        for r0 in range(0, n, rows):
            r1 = min(n, r0 + rows)
            a0 = max(0, r0 - self.strip_halo)
            a1 = min(n, r1 + self.strip_halo)
            p = grid_rows(at, s, 2, a0, a1)
            if source0.is_cpu:
                x = torch.ops.tweenova.block_input(source0, source1, p, s, a0, timestep, rest, factor, dtype)
                kept = self.phases(x, outputs).narrow(2, (r0 - a0) // 2, (r1 - r0) // 2)
                torch.ops.tweenova.shuffle_into_(out, kept, r0)
            else:
                x = composed_block_input(source0, source1, p, s, a0, timestep, rest, factor, dtype)
                out[:, :, r0:r1] = self.forward(x, outputs)[:, :, r0 - a0:r1 - a0]
        return out


# --- helpers -----------------------------------------------------------------

def composed_block_input(source0: Tensor, source1: Tensor, flows: Tensor, s: int, first_row: int,
                         timestep: float, rest: Tensor, factor: int, dtype: torch.dtype) -> Tensor:
    """The input of a refinement block at 1/s of the frame for its rows
    first_row onwards, [1, 2C + 1 + R + 4, rows, W / s] channels-last in
    `dtype`: both sources [1, C, H, W] (image, then features) warped by
    `flows` (at the block's `pixel_grid` points) and reduced, the timestep, the
    previous block's output `rest` [1, R, ...] enlarged by `factor`, the
    flows reduced and in pixels of the block. torch.ops.tweenova.block_input
    computes the same in one pass on the CPU; this is its composition of
    torch operations, for other devices."""
    h = source0.shape[2]
    w = source0.shape[3]
    rows = flows.shape[2] // (1 if s == 1 else 2)
    grid = grid_rows(pixel_grid(h, w, s, source0), s, 1, first_row, first_row + rows)
    a = reduce_points(sample(source0, moved(grid, flows[:, 0:2], h, w)), s)
    b = reduce_points(sample(source1, moved(grid, flows[:, 2:4], h, w)), s)
    plane = torch.full([1, 1, rows, a.shape[3]], timestep, dtype=dtype, device=a.device)
    return channels_last_cat([a[:, 0:3], b[:, 0:3], a[:, 3:], b[:, 3:], plane,
                              enlarge_rows(rest, factor, first_row, first_row + rows),
                              reduce_points(flows, s) * (1.0 / float(s))], dtype)


def composed_residual(y: Tensor, x: Tensor, beta: Tensor, slope: float) -> Tensor:
    """LeakyReLU(x + beta * y): the end of a residual convolution whose
    output is y. torch.ops.tweenova.residual_ computes the same into y in one
    pass on the CPU; this is its composition of torch operations, for other
    devices."""
    return F.leaky_relu(torch.addcmul(x, y, beta), slope, True)


def composed_sources(img: Tensor, phases: Tensor) -> Tensor:
    """The frame [1, 3, H, W] and its features' phases [1, 4F, H / 2, W / 2]
    (FeatureHead) as the frame and the features, [1, 3 + F, H, W]
    channels-last: torch.ops.tweenova.sources composed of torch operations."""
    return torch.cat([img.contiguous(memory_format=torch.channels_last), F.pixel_shuffle(phases, 2)], dim=1)


def add_enlarged_(flows: Tensor, delta: Tensor, factor: int, scale: float) -> None:
    """flows [1, C, H, W] float32 += enlarge(delta * scale, factor); on the
    CPU torch.ops.tweenova.add_enlarged_, in one pass over the flows."""
    if flows.is_cpu:
        torch.ops.tweenova.add_enlarged_(flows, delta, factor, scale)
    else:
        flows.add_(enlarge(delta.float() * scale, factor))


def mirror(x: Tensor, axis: int) -> Tensor:
    """x [1, C, H, W] mirrored left-right (axis 1), top-bottom (axis 2) or not (0)."""
    if axis == 1:
        return torch.flip(x, [3])
    if axis == 2:
        return torch.flip(x, [2])
    return x


def mirror_flows(flows: Tensor, axis: int) -> Tensor:
    """Flows [1, 4, H, W] of a mirrored frame pair expressed in the unmirrored one."""
    if axis == 0:
        return flows
    f = mirror(flows, axis)
    if axis == 1:
        return torch.cat([-f[:, 0:1], f[:, 1:2], -f[:, 2:3], f[:, 3:4]], dim=1)
    return torch.cat([f[:, 0:1], -f[:, 1:2], f[:, 2:3], -f[:, 3:4]], dim=1)


def swap_flows(flows: Tensor) -> Tensor:
    """Flows [1, 4, H, W] towards (I_1, I_0) -> towards (I_0, I_1)."""
    return torch.cat([flows[:, 2:4], flows[:, 0:2]], dim=1)


def synthesise(img0: Tensor, img1: Tensor, flows: Tensor, mask: Tensor, grid: Tensor) -> Tensor:
    """M * warp(I_0, F_t->0) + (1 - M) * warp(I_1, F_t->1): frames [1, C, H, W],
    flows [1, 4, H, W], mask [1, 1, H, W], grid the frames' `pixel_grid`
    -> [1, C, H, W]."""
    return torch.lerp(warp(img1, flows[:, 2:4], grid), warp(img0, flows[:, 0:2], grid), mask)


def synthesise_extended(img0: Tensor, img1: Tensor, flows: Tensor, mask: Tensor, grid: Tensor) -> Tensor:
    """`synthesise` for frames holding NaN or infinite values: the warps read
    them only where they have weight (`warp_extended`), and the blend gives a
    value what its weight says: equal values (two infinities) stay, a
    weight of 0 or 1 takes one frame alone."""
    a = warp_extended(img1, flows[:, 2:4], grid)
    b = warp_extended(img0, flows[:, 0:2], grid)
    out = torch.where(a == b, a, b * mask + a * (1.0 - mask))
    return torch.where(mask <= 0.0, a, torch.where(mask >= 1.0, b, out))


def reduce(x: Tensor, factor: int) -> Tensor:
    """Bilinear reduction of [1, C, H, W] by `factor` (H, W multiples of it)."""
    if factor == 1:
        return x
    return F.interpolate(x, scale_factor=1.0 / float(factor), mode="bilinear", align_corners=False)


def enlarge(x: Tensor, factor: int) -> Tensor:
    """Bilinear enlargement of [1, C, h, w] by `factor` (half-pixel centres,
    edges held). Enlarging by f and reducing by g <= f / 2 (or g = 1) equals
    enlarging by f / g: the two points a reduction averages lie in the same
    interval of the enlargement, either side of the enlarged point. So a
    block reads its predecessor's mask and context enlarged straight to its
    own resolution, which is what enlarging them to full resolution and
    reducing them again gives."""
    if factor == 1:
        return x
    return F.interpolate(x, scale_factor=float(factor), mode="bilinear", align_corners=False)


def enlarge_rows(x: Tensor, factor: int, r0: int, r1: int) -> Tensor:
    """Rows r0 to r1 of `enlarge(x, factor)`, enlarging only the rows of x
    they read."""
    if factor == 1:
        return x[:, :, r0:r1]
    lo = max(0, r0 // factor - 1)
    hi = min(x.shape[2], (r1 + factor - 1) // factor + 1)
    first = r0 - lo * factor
    return enlarge(x[:, :, lo:hi], factor)[:, :, first:first + r1 - r0]


def channels_last_cat(parts: List[Tensor], dtype: torch.dtype) -> Tensor:
    """Concatenates [1, C_i, h, w] tensors along the channels straight into
    channels-last memory, the layout the convolutions are fastest in, in
    `dtype`. Each part is converted first, so that a block's input is
    written once, in the convolutions' type (under autocast, the values
    the first convolution would have converted it to)."""
    return torch.cat([p.to(dtype).permute(0, 2, 3, 1) for p in parts], dim=3).permute(0, 3, 1, 2)


def convolution_type(like: Tensor) -> torch.dtype:
    """The type the convolutions compute in for inputs like `like`: the
    autocast type of its device while autocast is on there (the caller's
    mixed precision), else its own: the type of a 1 x 1 convolution on it."""
    one = torch.ones(1, 1, 1, 1, dtype=like.dtype, device=like.device)
    return F.conv2d(one, one).dtype


def all_finite(a: Tensor, b: Tensor) -> bool:
    """Whether every value of both is finite, from their float32 sums (one
    read each): a NaN or an infinity makes a sum non-finite. A sum that
    overflows says no too; that sends finite frames down the slower path
    made for non-finite ones, which gives them the same values but for
    rounding."""
    return bool(torch.isfinite(torch.sum(a, dtype=torch.float32) + torch.sum(b, dtype=torch.float32)))


def pad_to(x: Tensor, multiple: int) -> Tensor:
    """Replicates the last rows and columns of [1, C, H, W] up to multiples of `multiple`."""
    ph = (multiple - x.shape[2] % multiple) % multiple
    pw = (multiple - x.shape[3] % multiple) % multiple
    if ph == 0 and pw == 0:
        return x
    return F.pad(x, [0, pw, 0, ph], mode="replicate")


# --- the network ---------------------------------------------------------------

class TweenovaNet(nn.Module):
    """Interpolates the frame at `timestep` between img0 and img1."""

    cast_half: bool
    synth_fp32: bool

    def __init__(self, params: Dict[str, object]):
        super().__init__()
        self.cast_half = False
        self.synth_fp32 = True
        slope = float(params["leaky_slope"])
        features = int(params["features"])
        context = int(params["context"])
        widths: List[int] = list(params["block_widths"])
        depth = int(params["res_convs"])
        self.head = FeatureHead(int(params["head_width"]), features, slope)
        first_in = 3 + 3 + 2 * features + 1
        later_in = first_in + 1 + context + 4
        strips = (int(params["strip_pixels"]), int(params["strip_halo"]))
        self.blocks = nn.ModuleList([IFBlock(first_in if k == 0 else later_in, c, 4 + 1 + context, depth, slope,
                                             *strips) for k, c in enumerate(widths)])
        self.base_scales: List[int] = list(params["scales"])
        self.magnitude_blocks = int(params["magnitude_blocks"])
        self.min_block_side = int(params["min_block_side"])
        self.fine_flow_side = int(params["fine_flow_side"])
        self.max_passes = int(params["max_passes"])
        self.knee = float(params["highlight_knee"])
        self.ceiling = float(params["highlight_ceiling"])
        self.context = context

    @torch.jit.export
    def frame_warp_downscale(self, h: int, w: int, asked: float) -> float:
        """The `warp_downscale` argument for every call on an h x w frame (or
        on any tile of it) when `asked` is the resolution the user chose:
        twice that for a frame whose short side is at most `fine_flow_side`,
        else `asked`."""
        return asked * 2.0 if min(h, w) <= self.fine_flow_side else asked

    def scales(self, h: int, w: int, flow_magnitude: int, warp_downscale: float) -> List[int]:
        """Reduction factor of every block for an h x w frame: the published
        scales times the warp_downscale reduction (1, 2, 4 or 8), the first
        `magnitude_blocks` of them times 2^(flow_magnitude - 1), none above
        what keeps `min_block_side` pixels on the short side."""
        reduction = 1
        while reduction < 8 and (reduction * warp_downscale) * (reduction * warp_downscale) < 0.5:
            reduction *= 2
        boost = 1 << (min(max(flow_magnitude, 1), 3) - 1)
        cap = 1
        while min(h, w) // (cap * 2) >= self.min_block_side:
            cap *= 2
        out: List[int] = []
        for k, s in enumerate(self.base_scales):
            s = s * reduction
            if k < self.magnitude_blocks:
                s = s * boost
            out.append(min(s, cap))
        return out

    def unit(self, real: Tensor, dtype: torch.dtype) -> Tensor:
        """The copy of a frame the learned weights see (`bounded`), in `dtype`."""
        return bounded(real.float(), self.knee, self.ceiling).to(dtype)

    def sources(self, img: Tensor) -> Tensor:
        """What a flow to frame img [1, 3, H, W] (values in [0, 1]) warps: the
        frame and its features, [1, 3 + features, H, W] channels-last, in
        img's type or wider. On the CPU torch.ops.tweenova.sources writes it
        in one pass."""
        phases = self.head(img)
        if img.is_cpu:
            return torch.ops.tweenova.sources(img, phases)
        return composed_sources(img, phases)

    def estimate(self, source0: Tensor, source1: Tensor, timestep: float,
                 scales: List[int]) -> Tuple[Tensor, Tensor]:
        """One pass of IFNet on the `sources` of two frames, [1, 3 + features,
        H, W] with H, W multiples of 4 * max(scales). Returns the flows
        F_t->0, F_t->1 [1, 4, H, W] (pixels) and the mask M [1, 1, H, W]
        (the weight of frame 0)."""
        h = source0.shape[2]
        w = source0.shape[3]
        like = source0
        dtype = convolution_type(like)
        flows = torch.zeros(1, 4, h, w, dtype=torch.float32, device=like.device)
        rest = torch.empty(0, device=like.device)  # the previous block's mask logit and context
        last = len(scales) - 1
        for k, block in enumerate(self.blocks):
            s = scales[k]
            # The last block's context has no reader.
            outputs = 5 if k == last else 5 + self.context
            if k == 0:
                a = reduce(source0, s)
                b = reduce(source1, s)
                plane = torch.full([1, 1, h // s, w // s], timestep, dtype=dtype, device=like.device)
                out = block(channels_last_cat([a[:, 0:3], b[:, 0:3], a[:, 3:], b[:, 3:], plane], dtype), outputs)
            else:
                out = block.refine(outputs, source0, source1, timestep, points(flows, s),
                                  rest, scales[k - 1] // s, s, dtype)
            add_enlarged_(flows, out[:, 0:4], s, float(s))
            rest = out[:, 4:]
        logit = enlarge(rest, scales[last])
        return flows, torch.sigmoid(logit)

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        """img0, img1: [1, 3, H, W] PU21-encoded RGB, rows top-down, H and W
        multiples of 32. Returns the frame at `timestep`, [1, 3, H, W], in
        the dtype of img0. The module docstring describes the arguments."""
        if timestep <= threshold:
            return img0.clone()
        if timestep >= 1.0 - threshold:
            return img1.clone()
        if torch.equal(img0, img1):
            return img0.clone()
        out_dtype = img0.dtype
        flow_dtype = torch.float32
        synth_dtype = torch.float32
        if img0.is_cuda:
            if self.cast_half:
                flow_dtype = torch.float16
            if not self.synth_fp32:
                synth_dtype = out_dtype
        h = img0.shape[2]
        w = img0.shape[3]
        # Substep 0, the draft, estimates the flows at half the resolution asked for.
        resolution = warp_downscale * 0.5 if substep_index <= 0 else warp_downscale
        # Above 1, the frames are enlarged (twice) before the flows are estimated.
        e = 2 if resolution >= 2.0 else 1
        scales = self.scales(h * e, w * e, flow_magnitude, resolution / float(e))
        multiple = max(1, 4 * max(scales) // e)
        real0 = pad_to(img0.to(synth_dtype), multiple)
        real1 = pad_to(img1.to(synth_dtype), multiple)

        # Plates with NaN or infinite pixels take the warps and blend that keep them local.
        finite = all_finite(real0, real1)
        hp = real0.shape[2]
        wp = real0.shape[3]
        # Every pixel, which the synthesis of every pass reads.
        full = pixel_grid(hp, wp, 1, real0)
        # Test-time ensembling: every pass gives a result; they are averaged.
        passes = min(max(substep_index, 1), self.max_passes)
        total = torch.zeros_like(real0)
        a = real0  # the sources of the current mirroring (set by its first pass)
        b = real1
        for n in range(passes):
            axis = n // 2
            if n % 2 == 0:
                # A new mirroring; its features serve the swapped pass too.
                a = self.sources(mirror(enlarge(self.unit(real0, flow_dtype), e), axis))
                b = self.sources(mirror(enlarge(self.unit(real1, flow_dtype), e), axis))
                flows, mask = self.estimate(a, b, timestep, scales)
            else:
                flows, mask = self.estimate(b, a, 1.0 - timestep, scales)
                flows = swap_flows(flows)
                mask = 1.0 - mask
            if e > 1:
                flows = reduce(flows, e) * (1.0 / float(e))
                mask = reduce(mask, e)
            flows = mirror_flows(flows, axis).to(synth_dtype)
            if finite:
                total.add_(synthesise(real0, real1, flows, mirror(mask, axis).to(synth_dtype), full))
            else:
                total.add_(synthesise_extended(real0, real1, flows, mirror(mask, axis).to(synth_dtype), full))
        total.mul_(1.0 / float(passes))
        return total[:, :, 0:h, 0:w].to(out_dtype).contiguous()


# --- building and weights --------------------------------------------------------

def default_params() -> Dict[str, object]:
    """Every hyperparameter of the network, in one place. The architecture
    entries must match the learned weights."""
    return {
        "head_width": 16,                       # channels of the feature head
        "features": 4,                          # feature channels per frame
        "context": 8,                           # context channels passed between blocks
        "block_widths": [192, 128, 96, 64, 32],  # channels of the five IFBlocks
        "res_convs": 8,                         # residual convolutions per block
        "leaky_slope": 0.2,                     # LeakyReLU negative slope
        "scales": [16, 8, 4, 2, 1],             # reduction of each block (warp_downscale 1)
        "magnitude_blocks": 1,                  # coarse blocks that flow_magnitude makes coarser
        "min_block_side": 8,                    # smallest short side of a block's input
        "fine_flow_side": 576,                  # frames up to this short side: flows at twice their size
                                                # (frame_warp_downscale; the node reads it from the module)
        "max_passes": 5,                        # ensembling passes at substep_index 5
        "strip_pixels": 1 << 20,                # a block's input goes through in strips of about this many pixels
        "strip_halo": 64,                       # rows read either side of a strip (multiple of 4, > receptive field)
        "highlight_knee": 2.0,                  # encoded value where the flows' copy starts compressing (linear ~33)
        "highlight_ceiling": 3.0,               # ... and the value it approaches (PU21 itself ends near 2.9)
    }


def published_key(ours: str) -> str:
    """Name in the published state dict of one of our parameters."""
    parts = ours.split(".")
    if parts[0] == "head":
        layer = {"conv0": "cnn0", "conv1": "cnn1", "conv2": "cnn2", "up": "cnn3"}[parts[1]]
        return "encode.%s.%s" % (layer, parts[2])
    block = "block" + parts[1]
    if parts[2] == "down0":
        return "%s.conv0.0.0.%s" % (block, parts[3])
    if parts[2] == "down1":
        return "%s.conv0.1.0.%s" % (block, parts[3])
    if parts[2] == "res":
        return "%s.convblock.%s.%s" % (block, parts[3], ".".join(parts[4:]))
    if parts[2] == "up":
        return "%s.lastconv.0.%s" % (block, parts[3])
    raise KeyError(ours)


def load_weights(net: TweenovaNet, state: Dict[str, Tensor]) -> None:
    """Copies the published state dict onto `net`. Raises ValueError naming
    every missing, unexpected or misshapen entry (the TRAINING_ONLY entries
    are ignored)."""
    ours = net.state_dict()
    wanted = {published_key(k): k for k in ours}
    errors: List[str] = []
    for key in sorted(state):
        if key not in wanted and not key.startswith(TRAINING_ONLY):
            errors.append("unexpected entry " + key)
    mapped: Dict[str, Tensor] = {}
    for key, name in sorted(wanted.items()):
        if key not in state:
            errors.append("missing entry " + key)
        elif tuple(state[key].shape) != tuple(ours[name].shape):
            errors.append("entry %s has shape %s, expected %s"
                          % (key, list(state[key].shape), list(ours[name].shape)))
        else:
            mapped[name] = state[key].float()
    if errors:
        raise ValueError("weights do not fit the network: " + "; ".join(errors))
    net.load_state_dict(mapped, strict=True)


def build_network(weights_path: Optional[str], **overrides: object) -> TweenovaNet:
    """The network with `default_params` (any of them overridden by keyword)
    and, unless weights_path is None, the learned weights read from it."""
    params = default_params()
    for key, value in overrides.items():
        if key not in params:
            raise KeyError("unknown hyperparameter: " + key)
        params[key] = value
    net = TweenovaNet(params)
    if weights_path is not None:
        load_weights(net, torch.load(weights_path, map_location="cpu", weights_only=True))
    return net.eval()
