"""Tweenova frame interpolator: motion-compensated interpolation from tensor
operations only (no learned weights; every constant is set by hand in
`build_network`).

Method, top to bottom:

1. Luma. Both frames (PU21-encoded RGB, perceptually uniform, [1, 3, H, W])
   are reduced to one luma plane and box-downsampled to the flow resolution
   (a power-of-two fraction of the input, set by a pixel budget and the
   `warp_downscale` argument).
2. Pyramid. The luma planes are halved until the coarsest level's search
   radius covers the largest motion asked for (`flow_magnitude`) or the
   level gets too small (the depth adapts, down to a single level for
   32x32 inputs).
3. Coarse search. At the coarsest level a local cost volume (box-filtered
   absolute differences over every integer shift within the search radius,
   with a small penalty on the length of the shift) gives a winner-take-all
   integer flow in each direction.
4. Refinement. At every level, coarse to fine, the flow is refined by
   iterated Lucas-Kanade updates (windowed least squares on the linearised
   brightness constancy between frame A and frame B warped by the current
   flow, Tikhonov-damped so flat areas keep their flow), followed by a 3x3
   median of the flow (robust, edge-preserving smoothing).
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
7. Candidates. Three pairs of flows from the in-between frame are compared
   per pixel by how well the two frames they warp agree (windowed absolute
   difference): both projected flows, and each one mirrored onto the other
   frame under linear motion. A soft minimum picks among them. The same
   measure decides, softly, between the motion-compensated result and the
   plain time-weighted blend (right where no motion explains the frames
   better than none, e.g. flicker or flat areas).
8. Synthesis at full resolution. The flows and weights are upsampled to the
   input size, both frames are backward-warped with bilinear sampling and
   blended.

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

VERSION = "1.0.0"

def luma(img: Tensor) -> Tensor:
    """[1, 3, H, W] -> [1, 1, H, W], Rec. 709 weights on the encoded channels."""
    return img[:, 0:1] * 0.2126 + img[:, 1:2] * 0.7152 + img[:, 2:3] * 0.0722


def downsample(x: Tensor, factor: int) -> Tensor:
    """Box-filter reduction by an integer factor; odd sizes round up."""
    if factor <= 1:
        return x
    return F.avg_pool2d(x, factor, factor, 0, True, False)


def box(x: Tensor, size: int) -> Tensor:
    """Mean over a size x size window (size odd), same output size."""
    return F.avg_pool2d(x, size, 1, size // 2, False, False)


def gradients(x: Tensor) -> Tuple[Tensor, Tensor]:
    """Central differences of [1, C, H, W] along columns and rows."""
    p = F.pad(x, [1, 1, 1, 1], mode="replicate")
    gx = (p[:, :, 1:-1, 2:] - p[:, :, 1:-1, :-2]) * 0.5
    gy = (p[:, :, 2:, 1:-1] - p[:, :, :-2, 1:-1]) * 0.5
    return gx, gy


def median3x3(flow: Tensor) -> Tensor:
    """Per-channel 3x3 median of [1, C, H, W]."""
    c = flow.shape[1]
    h = flow.shape[2]
    w = flow.shape[3]
    p = F.pad(flow, [1, 1, 1, 1], mode="replicate")
    taps: List[Tensor] = []
    for dy in range(3):
        for dx in range(3):
            taps.append(p[:, :, dy:dy + h, dx:dx + w])
    stack = torch.stack(taps, dim=0)
    return stack.median(dim=0)[0].view(1, c, h, w)


def coarse_search(a: Tensor, b: Tensor, radius: int, window: int,
                  motion_penalty: float) -> Tensor:
    """Winner-take-all integer flow from a to b by exhaustive local search.

    a, b: [1, 1, h, w]. For every shift s with |sx|, |sy| <= radius the cost
    is the box-filtered |a(x) - b(x + s)| plus motion_penalty * |s|.
    Returns flow [1, 2, h, w] (float, integer values)."""
    h = a.shape[2]
    w = a.shape[3]
    pb = F.pad(b, [radius, radius, radius, radius], mode="replicate")
    best = torch.full_like(a, 1e30)
    fx = torch.zeros_like(a)
    fy = torch.zeros_like(a)
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            shifted = pb[:, :, radius + dy:radius + dy + h, radius + dx:radius + dx + w]
            cost = box((a - shifted).abs(), window)
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

    a, b: [1, 1, h, w]; flow [1, 2, h, w]. Each iteration warps b by the
    flow, solves the 2x2 windowed normal equations of
    gx * du + gy * dv = a - b_warped (gradients averaged over a and the
    warped b), damped by `damping` on the diagonal, adds the update (at
    most max_step pixels per component) and smooths the flow with
    `median_passes` 3x3 medians."""
    agx, agy = gradients(a)
    for _ in range(iterations):
        bw = warp(b, flow)
        bgx, bgy = gradients(bw)
        gx = (agx + bgx) * 0.5
        gy = (agy + bgy) * 0.5
        dt = a - bw
        terms = box(torch.cat([gx * gx, gx * gy, gy * gy, gx * dt, gy * dt], dim=1), window)
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


def bilateral_cost(a: Tensor, b: Tensor, va: Tensor, vb: Tensor, window: int) -> Tensor:
    """Windowed mean absolute difference [1, 1, h, w] between a warped by va
    and b warped by vb (a, b: [1, C, h, w])."""
    return box((warp(a, va) - warp(b, vb)).abs().mean(dim=1, keepdim=True), window)


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
        self.select_softness = float(params["select_softness"])
        self.candidate_softness = float(params["candidate_softness"])

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
        a = downsample(luma(img0.to(flow_dtype)), factor)
        b = downsample(luma(img1.to(flow_dtype)), factor)
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

        # Candidates for the pair of flows from the in-between frame: both
        # projected flows, or either one mirrored onto the other frame
        # (linear motion). Per pixel the pair whose two warped frames agree
        # best wins (soft minimum of the windowed difference).
        rgb0 = downsample(img0.to(flow_dtype), factor)
        rgb1 = downsample(img1.to(flow_dtype), factor)
        ratio = (1.0 - t) / t
        pairs: List[Tuple[Tensor, Tensor]] = [(vt0, vt1), (vt0, vt0 * -ratio), (vt1 / -ratio, vt1)]
        costs: List[Tensor] = []
        for pair in pairs:
            costs.append(bilateral_cost(rgb0, rgb1, pair[0], pair[1], self.select_window))
        choice = torch.softmax(torch.cat(costs, dim=1) / -self.candidate_softness, dim=1)
        vt0 = pairs[0][0] * choice[:, 0:1] + pairs[1][0] * choice[:, 1:2] + pairs[2][0] * choice[:, 2:3]
        vt1 = pairs[0][1] * choice[:, 0:1] + pairs[1][1] * choice[:, 1:2] + pairs[2][1] * choice[:, 2:3]

        # Keep the motion-compensated result where its two warped frames
        # agree better than the frames do without motion.
        cost_motion = bilateral_cost(rgb0, rgb1, vt0, vt1, self.select_window)
        cost_still = box((rgb0 - rgb1).abs().mean(dim=1, keepdim=True), self.select_window)
        motion = torch.sigmoid((cost_still - cost_motion) / self.select_softness)

        vt0 = resize_flow(vt0.to(synth_dtype), h, w)
        vt1 = resize_flow(vt1.to(synth_dtype), h, w)
        weight0 = F.interpolate(weight0.to(synth_dtype), size=[h, w], mode="bilinear",
                                align_corners=False)
        motion = F.interpolate(motion.to(synth_dtype), size=[h, w], mode="bilinear",
                               align_corners=False)
        s0 = img0.to(synth_dtype)
        s1 = img1.to(synth_dtype)
        i0 = warp(s0, vt0)
        i1 = warp(s1, vt1)
        moved = i1 + (i0 - i1) * weight0
        still = s1 + (s0 - s1) * (1.0 - t)
        out = still + (moved - still) * motion
        return out.to(out_dtype)


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
        "median_passes": 1.0,          # 3x3 median passes per iteration
        "time_iterations": 3.0,        # fixed-point iterations of the flow at the timestep
        "fb_alpha": 0.05,              # forward-backward tolerance, relative to the motion
        "fb_beta": 0.5,                # forward-backward tolerance, pixels squared
        "blend_floor": 1.0,            # weight kept by an occluded sample
        "select_window": 7.0,          # window of the motion / no-motion comparison
        "select_softness": 0.02,       # softness of that choice (encoded units)
        "candidate_softness": 0.003,   # softness of the choice among flow candidates
    }


def build_network(**overrides: float) -> TweenovaNet:
    """The network with `default_params`, any of them overridden by keyword."""
    params = default_params()
    for key, value in overrides.items():
        if key not in params:
            raise KeyError("unknown hyperparameter: " + key)
        params[key] = float(value)
    return TweenovaNet(params)
