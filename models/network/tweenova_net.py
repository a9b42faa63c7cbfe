"""Tweenova frame interpolator: motion-compensated interpolation from tensor
operations only (no learned weights; every constant is set by hand in
`build_network`).

Method, top to bottom:

1. Flow resolution. Both frames (PU21-encoded RGB, perceptually uniform,
   [1, 3, H, W]) are box-downsampled to the flow resolution (a power-of-two
   fraction of the input, set by a pixel budget and the `warp_downscale`
   argument). The flow is estimated on all three colour channels: a colour
   edge between areas of equal luma still constrains the motion.
2. Pyramid. The images are halved until the coarsest level's search
   radius covers the largest motion asked for (`flow_magnitude`) or the
   level gets too small (the depth adapts, down to a single level for
   32x32 inputs).
3. Coarse search. At the coarsest level a local cost volume (box-filtered
   absolute colour differences over every integer shift within the search radius,
   with a small penalty on the length of the shift) gives a winner-take-all
   integer flow in each direction.
4. Refinement. At every level, coarse to fine, the flow is refined by
   iterated Lucas-Kanade updates (windowed least squares on the linearised
   brightness constancy between frame A and frame B warped by the current
   flow, normal equations summed over the colour channels, Tikhonov-damped
   so flat areas keep their flow), each followed by 3x3 medians of the flow
   (robust, edge-preserving smoothing).
   `substep_index` adds iterations.
5. Occlusion. Forward-backward consistency of the two flows gives a soft
   visibility map per frame: a pixel of frame 0 whose flow is not undone by
   the flow of frame 1 at its target is likely occluded there. It tilts the
   blend towards the frame that sees the pixel (`blend_floor` keeps the
   tilt gentle: flow errors look like occlusions too).
6. Flow at the timestep. The flow from the in-between frame back to each
   input is found by fixed-point iteration of v = -t * F01(x + v) (and the
   mirrored form for frame 1), which follows the motion of the source pixels
   instead of assuming the flow field itself stays in place.
7. Candidates and their rating. Three pairs of flows from the in-between
   frame: both projected flows, and each one mirrored onto the other frame
   under linear motion. Each pair is rated per pixel by how well the two
   frames it warps agree (c: mean absolute difference of the two warped
   colour images at full resolution, pooled to the flow resolution and
   averaged over a window there), and so is the plain time-weighted
   blend of the unwarped frames (c of the frames themselves). A rating is
   (floor / (c + floor)) ^ power; the three motion candidates share one
   vote (their mean rating) against the blend, and the votes are
   normalised. This soft, inverse-error weighting hedges between hypotheses
   where none is clearly right (fast, blurred or non-rigid motion, where a
   wrong warp costs more than a ghost) and falls back to the blend where no
   motion explains the frames better than none (flicker, static scenes).
8. Synthesis at full resolution. The flows are upsampled to the input size
   and both frames backward-warped with bilinear sampling (4 warps: the
   first pair shares a flow with each of the others; the ratings above use
   these warps). Votes and blend weights are upsampled, each pair is
   blended into a candidate image and the candidates and the plain blend
   are summed with their votes (images are averaged, not flows: a hedge
   between two positions is a soft ghost, not a warp to a position between
   them).

`threshold`: a timestep within `threshold` of 0 or 1 returns that input
unchanged (no interpolation). `cast_half`: on CUDA, estimate the flow in
float16. `synth_fp32`: on CUDA, warp and blend in float32 instead of the
input type. On the CPU everything runs in float32 whatever the input type
(float32, bfloat16 and float16 inputs are accepted); the result always has
the input's dtype.
"""
import math
from typing import Dict, List, Tuple

import torch
import torch.nn.functional as F
from torch import Tensor

from warping import resize_flow, warp

VERSION = "1.1.0"

def downsample(x: Tensor, factor: int) -> Tensor:
    """Box-filter reduction by an integer factor; odd sizes round up."""
    if factor <= 1:
        return x
    return F.avg_pool2d(x, factor, factor, 0, True, False)


def box(x: Tensor, size: int) -> Tensor:
    """Mean over a size x size window (size odd), same output size; two
    separable passes (windows are clipped at the borders)."""
    x = F.avg_pool2d(x, [1, size], 1, [0, size // 2], False, False)
    return F.avg_pool2d(x, [size, 1], 1, [size // 2, 0], False, False)


def gradients(x: Tensor) -> Tuple[Tensor, Tensor]:
    """Central differences of [1, C, H, W] along columns and rows."""
    p = F.pad(x, [1, 1, 1, 1], mode="replicate")
    gx = (p[:, :, 1:-1, 2:] - p[:, :, 1:-1, :-2]) * 0.5
    gy = (p[:, :, 2:, 1:-1] - p[:, :, :-2, 1:-1]) * 0.5
    return gx, gy


def median3x3(flow: Tensor) -> Tensor:
    """Per-channel 3x3 median of [1, C, H, W] (replicated borders), by a
    19-exchange sorting network of min / max over the 9 shifted copies
    (far faster on the CPU than sorting a stacked copy)."""
    h = flow.shape[2]
    w = flow.shape[3]
    p = F.pad(flow, [1, 1, 1, 1], mode="replicate")
    taps: List[Tensor] = []
    for dy in range(3):
        for dx in range(3):
            taps.append(p[:, :, dy:dy + h, dx:dx + w])
    # Exchange k puts the smaller of taps[lo[k]], taps[hi[k]] at lo[k] and
    # the larger at hi[k]; afterwards taps[4] holds the median.
    lo = [1, 4, 7, 0, 3, 6, 1, 4, 7, 0, 5, 4, 3, 1, 2, 4, 4, 6, 4]
    hi = [2, 5, 8, 1, 4, 7, 2, 5, 8, 3, 8, 7, 6, 4, 5, 7, 2, 4, 2]
    for k in range(len(lo)):
        x = taps[lo[k]]
        y = taps[hi[k]]
        taps[lo[k]] = torch.minimum(x, y)
        taps[hi[k]] = torch.maximum(x, y)
    return taps[4]


def coarse_search(a: Tensor, b: Tensor, radius: int, window: int,
                  motion_penalty: float) -> Tensor:
    """Winner-take-all integer flow from a to b by exhaustive local search.

    a, b: [1, C, h, w]. For every shift s with |sx|, |sy| <= radius the cost
    is the box-filtered channel mean of |a(x) - b(x + s)| plus
    motion_penalty * |s|.
    Returns flow [1, 2, h, w] (float, integer values)."""
    h = a.shape[2]
    w = a.shape[3]
    pb = F.pad(b, [radius, radius, radius, radius], mode="replicate")
    best = torch.full_like(a[:, 0:1], 1e30)
    fx = torch.zeros_like(best)
    fy = torch.zeros_like(best)
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            shifted = pb[:, :, radius + dy:radius + dy + h, radius + dx:radius + dx + w]
            cost = box((a - shifted).abs().mean(dim=1, keepdim=True), window)
            cost = cost + motion_penalty * math.sqrt(float(dx * dx + dy * dy))
            better = cost < best
            best = torch.where(better, cost, best)
            fx = torch.where(better, torch.full_like(fx, float(dx)), fx)
            fy = torch.where(better, torch.full_like(fy, float(dy)), fy)
    return torch.cat([fx, fy], dim=1)


def lucas_kanade(a: Tensor, b: Tensor, flow: Tensor, iterations: int,
                 window: int, damping: float, max_step: float,
                 median_passes: int) -> Tensor:
    """Iterated dense Lucas-Kanade refinement of flow from a to b.

    a, b: [1, C, h, w]; flow [1, 2, h, w]. Each iteration warps b by the
    flow, solves the 2x2 windowed normal equations of
    gx * du + gy * dv = a - b_warped in every channel (gradients averaged
    over a and the warped b; the equations of the channels are averaged),
    damped by `damping` on the diagonal, adds the update (at
    most max_step pixels per component) and smooths the flow with
    `median_passes` 3x3 medians."""
    agx, agy = gradients(a)
    for _ in range(iterations):
        bw = warp(b, flow)
        bgx, bgy = gradients(bw)
        gx = (agx + bgx) * 0.5
        gy = (agy + bgy) * 0.5
        dt = a - bw
        terms = box(torch.cat([(gx * gx).mean(dim=1, keepdim=True),
                               (gx * gy).mean(dim=1, keepdim=True),
                               (gy * gy).mean(dim=1, keepdim=True),
                               (gx * dt).mean(dim=1, keepdim=True),
                               (gy * dt).mean(dim=1, keepdim=True)], dim=1), window)
        sxx = terms[:, 0:1] + damping
        sxy = terms[:, 1:2]
        syy = terms[:, 2:3] + damping
        bx = terms[:, 3:4]
        by = terms[:, 4:5]
        det = sxx * syy - sxy * sxy
        du = (syy * bx - sxy * by) / det
        dv = (sxx * by - sxy * bx) / det
        step = torch.cat([du, dv], dim=1).clamp(-max_step, max_step)
        flow = flow + step
        for _ in range(median_passes):
            flow = median3x3(flow)
    return flow


def visibility(flow_ab: Tensor, flow_ba: Tensor, alpha: float, beta: float) -> Tensor:
    """Soft forward-backward consistency of flow_ab [1, 2, h, w]: close to 1
    where following flow_ab and then flow_ba returns to the start, close to 0
    where it does not (the pixel is likely hidden in the other frame).
    Returns [1, 1, h, w]."""
    back = warp(flow_ba, flow_ab)
    err = (flow_ab + back).pow(2).sum(dim=1, keepdim=True)
    scale = alpha * (flow_ab.pow(2).sum(dim=1, keepdim=True)
                     + back.pow(2).sum(dim=1, keepdim=True)) + beta
    return torch.exp(-err / scale)


def flow_at_time(flow: Tensor, t: float, iterations: int) -> Tensor:
    """Flow from the in-between frame at time t back to the source of `flow`.

    flow [1, 2, h, w] maps source pixels p to p + flow(p); the source pixel
    that reaches x at time t satisfies x = p + t * flow(p), so the backward
    flow v = p - x solves v = -t * flow(x + v), found by fixed-point
    iteration from v = -t * flow(x)."""
    v = flow * (-t)
    for _ in range(iterations):
        v = warp(flow, v) * (-t)
    return v


class TweenovaNet(torch.nn.Module):
    """Interpolates the frame at `timestep` between img0 and img1."""

    cast_half: bool
    synth_fp32: bool

    def __init__(self, params: Dict[str, float]):
        super().__init__()
        self.cast_half = False
        self.synth_fp32 = True
        self.flow_pixel_budget = float(params["flow_pixel_budget"])
        self.coarse_min_side = int(params["coarse_min_side"])
        self.search_radius = int(params["search_radius"])
        self.search_window = int(params["search_window"])
        self.motion_penalty = float(params["motion_penalty"])
        self.motion_fraction = [float(params["motion_fraction_1"]),
                                float(params["motion_fraction_2"]),
                                float(params["motion_fraction_3"])]
        self.lk_window = int(params["lk_window"])
        self.lk_damping = float(params["lk_damping"])
        self.lk_iterations = int(params["lk_iterations"])
        self.lk_max_step = float(params["lk_max_step"])
        self.median_passes = int(params["median_passes"])
        self.time_iterations = int(params["time_iterations"])
        self.fb_alpha = float(params["fb_alpha"])
        self.fb_beta = float(params["fb_beta"])
        self.blend_floor = float(params["blend_floor"])
        self.select_window = int(params["select_window"])
        self.select_power = float(params["select_power"])
        self.select_floor = float(params["select_floor"])

    def flow_factor(self, h: int, w: int, warp_downscale: float) -> int:
        """Power-of-two reduction from the input to the finest flow level."""
        factor = 1
        while float(h * w) / float(factor * factor) > self.flow_pixel_budget:
            factor *= 2
        scale = 1.0
        while scale * 0.75 > warp_downscale and factor < 64:
            scale = scale * 0.5
            factor = factor * 2
        while factor > 1 and (h // factor < self.coarse_min_side or w // factor < self.coarse_min_side):
            factor = factor // 2
        return factor

    def pyramid_levels(self, h: int, w: int, full_h: int, full_w: int,
                       factor: int, flow_magnitude: int) -> int:
        """Number of halvings below the finest flow level: enough for the
        search radius to cover the largest motion of `flow_magnitude`, as
        long as the coarsest level keeps `coarse_min_side` pixels."""
        m = min(max(flow_magnitude, 1), 3)
        motion = self.motion_fraction[m - 1] * float(max(full_h, full_w)) / float(factor)
        levels = 0
        while float(self.search_radius * (1 << levels)) < motion:
            if min(h, w) // (1 << (levels + 1)) < self.coarse_min_side:
                break
            levels += 1
        return levels

    def estimate_flows(self, a: Tensor, b: Tensor, levels: int,
                       iterations: int) -> Tuple[Tensor, Tensor]:
        """Flows a->b and b->a, [1, 2, h, w], coarse to fine."""
        pa: List[Tensor] = [a]
        pb: List[Tensor] = [b]
        for _ in range(levels):
            pa.append(downsample(pa[-1], 2))
            pb.append(downsample(pb[-1], 2))
        ca = pa[levels]
        cb = pb[levels]
        fab = coarse_search(ca, cb, self.search_radius, self.search_window, self.motion_penalty)
        fba = coarse_search(cb, ca, self.search_radius, self.search_window, self.motion_penalty)
        for level in range(levels, -1, -1):
            la = pa[level]
            lb = pb[level]
            fab = resize_flow(fab, la.shape[2], la.shape[3])
            fba = resize_flow(fba, la.shape[2], la.shape[3])
            fab = lucas_kanade(la, lb, fab, iterations, self.lk_window, self.lk_damping,
                               self.lk_max_step, self.median_passes)
            fba = lucas_kanade(lb, la, fba, iterations, self.lk_window, self.lk_damping,
                               self.lk_max_step, self.median_passes)
        return fab, fba

    def forward(self, img0: Tensor, img1: Tensor, timestep: float, substep_index: int,
                flow_magnitude: int, threshold: float, warp_downscale: float) -> Tensor:
        """img0, img1: [1, 3, H, W] PU21-encoded RGB, rows top-down, H and W
        multiples of 32. timestep: position of the output between img0 (0)
        and img1 (1). substep_index (0-5): extra refinement iterations.
        flow_magnitude (1-3): largest motion searched. threshold: a timestep
        within this distance of 0 or 1 returns that input unchanged.
        warp_downscale (1.0, 0.5, 0.25): flow resolution relative to the
        default; warping and blending stay at full resolution.
        Returns [1, 3, H, W] in the dtype of img0."""
        out_dtype = img0.dtype
        if timestep <= threshold:
            return img0.clone()
        if timestep >= 1.0 - threshold:
            return img1.clone()
        t = float(timestep)
        h = img0.shape[2]
        w = img0.shape[3]

        flow_dtype = torch.float32
        if self.cast_half and img0.is_cuda:
            flow_dtype = torch.float16
        synth_dtype = torch.float32
        if img0.is_cuda and not self.synth_fp32:
            synth_dtype = out_dtype

        factor = self.flow_factor(h, w, warp_downscale)
        a = downsample(img0.to(flow_dtype), factor)
        b = downsample(img1.to(flow_dtype), factor)
        fh = a.shape[2]
        fw = a.shape[3]
        levels = self.pyramid_levels(fh, fw, h, w, factor, flow_magnitude)
        iterations = self.lk_iterations + min(max(substep_index, 0), 5)
        f01, f10 = self.estimate_flows(a, b, levels, iterations)

        # Visibility of each source pixel in the other frame, then the flows
        # from the in-between frame and the visibility carried along them.
        vis0 = visibility(f01, f10, self.fb_alpha, self.fb_beta)
        vis1 = visibility(f10, f01, self.fb_alpha, self.fb_beta)
        vt0 = flow_at_time(f01, t, self.time_iterations)
        vt1 = flow_at_time(f10, 1.0 - t, self.time_iterations)
        w0 = (warp(vis0, vt0) + self.blend_floor) * (1.0 - t)
        w1 = (warp(vis1, vt1) + self.blend_floor) * t
        weight0 = w0 / (w0 + w1)

        ratio = (1.0 - t) / t
        pairs: List[Tuple[Tensor, Tensor]] = [(vt0, vt1), (vt0, vt0 * -ratio), (vt1 / -ratio, vt1)]
        return self.synthesise(img0.to(synth_dtype), img1.to(synth_dtype), pairs,
                               weight0.to(synth_dtype), t, factor).to(out_dtype)

    def rating(self, p0: Tensor, p1: Tensor, factor: int) -> Tensor:
        """Rating [1, 1, h, w] (flow resolution) of a candidate whose two
        source images are p0, p1 [1, 3, H, W]: (floor / (c + floor)) ^ power,
        c the mean absolute difference of p0 and p1, pooled to the flow
        resolution and averaged over a window there. Float32 whatever the
        image type (in float16 small ratings would underflow to 0)."""
        c = downsample((p0 - p1).abs().mean(dim=1, keepdim=True), factor).float()
        c = box(c, self.select_window)
        return (self.select_floor / (c + self.select_floor)).pow(self.select_power)

    def synthesise(self, s0: Tensor, s1: Tensor, pairs: List[Tuple[Tensor, Tensor]],
                   weight0: Tensor, t: float, factor: int) -> Tensor:
        """Result [1, 3, H, W] from the frames s0, s1 [1, 3, H, W], the
        candidate flow pairs from the in-between frame ([1, 2, h, w] each, at
        the flow resolution, H = h * factor) and the weight of frame 0 in a
        warped pair, weight0 [1, 1, h, w]."""
        h = s0.shape[2]
        w = s0.shape[3]
        # The first pair shares one flow with each of the others: 4 warps.
        a0 = warp(s0, resize_flow(pairs[0][0], h, w))
        a1 = warp(s1, resize_flow(pairs[0][1], h, w))
        b1 = warp(s1, resize_flow(pairs[1][1], h, w))
        b0 = warp(s0, resize_flow(pairs[2][0], h, w))
        # Votes: the motion candidates together hold one vote (their mean
        # rating) against the time-weighted blend of the unwarped frames.
        votes = torch.cat([self.rating(a0, a1, factor), self.rating(a0, b1, factor),
                           self.rating(b0, a1, factor),
                           self.rating(s0, s1, factor) * float(len(pairs))], dim=1)
        votes = (votes / votes.sum(dim=1, keepdim=True)).to(s0.dtype)
        votes = F.interpolate(votes, size=[h, w], mode="bilinear", align_corners=False)
        weight0 = F.interpolate(weight0, size=[h, w], mode="bilinear", align_corners=False)
        out = (a1 + (a0 - a1) * weight0) * votes[:, 0:1]
        out = out + (b1 + (a0 - b1) * weight0) * votes[:, 1:2]
        out = out + (a1 + (b0 - a1) * weight0) * votes[:, 2:3]
        out = out + (s1 + (s0 - s1) * (1.0 - t)) * votes[:, 3:4]
        return out


def default_params() -> Dict[str, float]:
    """Every hyperparameter of the network, in one place."""
    return {
        "flow_pixel_budget": 300000.0,  # most pixels of the finest flow level
        "coarse_min_side": 8.0,        # smallest side of the coarsest level
        "search_radius": 4.0,          # coarse search radius (pixels of the coarsest level)
        "search_window": 5.0,          # coarse search cost window
        "motion_penalty": 0.002,       # cost per pixel of shift in the coarse search
        "motion_fraction_1": 0.06,     # largest motion, fraction of the long side: flow_magnitude 1
        "motion_fraction_2": 0.15,     # ... flow_magnitude 2
        "motion_fraction_3": 0.35,     # ... flow_magnitude 3
        "lk_window": 7.0,              # Lucas-Kanade window
        "lk_damping": 1e-5,            # Tikhonov damping of the normal equations
        "lk_iterations": 2.0,          # iterations per level at substep_index 0
        "lk_max_step": 0.5,            # largest update per iteration (pixels of the level)
        "median_passes": 2.0,          # 3x3 median passes per iteration
        "time_iterations": 3.0,        # fixed-point iterations of the flow at the timestep
        "fb_alpha": 0.05,              # forward-backward tolerance, relative to the motion
        "fb_beta": 0.5,                # forward-backward tolerance, pixels squared
        "blend_floor": 1.0,            # weight kept by an occluded sample
        "select_window": 11.0,         # window of the candidate ratings (input pixels)
        "select_power": 1.5,           # candidate weight: (floor / (difference + floor)) ^ power
        "select_floor": 0.002,         # difference floor of the ratings (encoded units)
    }


def build_network(**overrides: float) -> TweenovaNet:
    """The network with `default_params`, any of them overridden by keyword."""
    params = default_params()
    for key, value in overrides.items():
        if key not in params:
            raise KeyError("unknown hyperparameter: " + key)
        params[key] = float(value)
    return TweenovaNet(params)
