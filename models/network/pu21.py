"""PU21 encoding and decoding (the perceptually uniform encoding the network
receives, normalised so that linear 1.0 encodes to 1.0) and the sRGB transfer
functions. Float32 tensors; the functions compile with TorchScript, so the
constants live in `pu21_params`."""
from typing import List

import torch
from torch import Tensor


def pu21_params() -> List[float]:
    """p1 ... p7 of PU21 (banding, glare-free fit), then the normalisation
    (the encoding of linear 1.0 before normalising)."""
    return [0.353487901, 0.3734658629, 8.277049286e-05, 0.9062562627, 0.09150303166,
            0.9099517204, 596.3148142, 256.38714480338587]


def _curve_and_slope(x: float) -> List[float]:
    """PU21 at linear x >= 0 and its derivative by x, in double precision."""
    p = pu21_params()
    a = x * 100.0 + 0.005
    y = a ** p[3]
    v = (y * p[1] + p[0]) / (y * p[2] + 1.0)
    dvdy = (p[1] - p[0] * p[2]) / ((y * p[2] + 1.0) ** 2)
    slope = p[6] / p[7] * p[4] * v ** (p[4] - 1.0) * dvdy * p[3] * a ** (p[3] - 1.0) * 100.0
    return [(v ** p[4] - p[5]) * p[6] / p[7], slope]


def pu21_continuation() -> List[float]:
    """Where the encoding leaves PU21, which saturates towards about 2.9 and
    sends negatives to 0: linear 100 (encoded about 2.3222), above which it
    goes on logarithmically with the curve's slope by ln(x) there (about
    0.2728), then the slope at 0 (about 30.2), with which it goes on below 0.
    The node derives the same continuation (inference/PU21.h)."""
    high = 100.0
    at_high = _curve_and_slope(high)
    return [high, at_high[0], at_high[1] * high, _curve_and_slope(0.0)[1]]


def _curve_encode(x: Tensor) -> Tensor:
    p = pu21_params()
    y = (torch.clamp(x * 100.0, min=0.0) + 0.005).pow(p[3])
    v = ((y * p[1] + p[0]) / (y * p[2] + 1.0)).pow(p[4])
    return torch.clamp((v - p[5]) * p[6], min=0.0) / p[7]


def _curve_decode(v: Tensor) -> Tensor:
    p = pu21_params()
    big_v = torch.clamp(torch.clamp(v, min=0.0) * p[7] / p[6] + p[5], min=1e-9)
    vp = big_v.pow(1.0 / p[4])
    den = torch.clamp(p[1] - vp * p[2], min=0.001)
    r = torch.clamp((vp - p[0]) / den, min=1e-9)
    y = torch.clamp(r.pow(1.0 / p[3]) - 0.005, 0.0, 50000.0)
    return y / 100.0


def pu21_encode(x: Tensor) -> Tensor:
    """Linear values to encoded ones: PU21 on [0, 100], continued beyond so
    that every value, negatives and highlights too, comes back."""
    c = pu21_continuation()
    high = torch.log(torch.clamp(x, min=c[0]) / c[0]) * c[2] + c[1]
    inside = _curve_encode(torch.clamp(x, max=c[0]))
    return torch.where(x > c[0], high, torch.where(x < 0.0, x * c[3], inside))


def pu21_decode(v: Tensor) -> Tensor:
    """The inverse of `pu21_encode`."""
    c = pu21_continuation()
    high = torch.exp((torch.clamp(v, min=c[1]) - c[1]) / c[2]) * c[0]
    inside = _curve_decode(torch.clamp(v, max=c[1]))
    return torch.where(v > c[1], high, torch.where(v < 0.0, v / c[3], inside))


def srgb_to_linear(x: Tensor) -> Tensor:
    """Exact piecewise sRGB EOTF, x in 0..1."""
    return torch.where(x <= 0.04045, x / 12.92, ((x + 0.055) / 1.055).pow(2.4))


def linear_to_srgb(x: Tensor) -> Tensor:
    """Inverse of `srgb_to_linear`, input clamped to 0..1."""
    x = torch.clamp(x, 0.0, 1.0)
    return torch.where(x <= 0.0031308, x * 12.92, 1.055 * x.pow(1.0 / 2.4) - 0.055)
