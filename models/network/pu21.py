"""PU21 encoding and decoding (the perceptually uniform encoding the network
expects, normalised so that linear 1.0 encodes to 1.0) and the sRGB transfer
functions used to feed 8-bit images to it. Float32 tensors, double scalars."""
import torch
from torch import Tensor

P1 = 0.353487901
P2 = 0.3734658629
P3 = 8.277049286e-05
P4 = 0.9062562627
P5 = 0.09150303166
P6 = 0.9099517204
P7 = 596.3148142
NORM = 256.38714480338587


def pu21_encode(x: Tensor) -> Tensor:
    a = x * 100.0
    a = torch.clamp(a, min=0.0)
    a = a + 0.005
    y = a.pow(P4)
    d = y * P3 + 1.0
    u = y * P2 + P1
    v = u / d
    s = v.pow(P5)
    s = (s - P6) * P7
    s = torch.clamp(s, min=0.0)
    return s / NORM


def pu21_decode(v: Tensor) -> Tensor:
    big_v = torch.clamp(v, min=0.0) * NORM
    big_v = big_v / P7 + P6
    big_v = torch.clamp(big_v, min=1e-9)
    vp = big_v.pow(1.0 / P5)
    den = torch.full_like(vp, P2) - vp * P3
    den = torch.clamp(den, min=0.001)
    num = vp - P1
    r = torch.clamp(num / den, min=1e-9)
    y = r.pow(1.0 / P4)
    y = torch.clamp(y - 0.005, 0.0, 50000.0)
    return y / 100.0


def srgb_to_linear(x: Tensor) -> Tensor:
    """Exact piecewise sRGB EOTF, x in 0..1."""
    return torch.where(x <= 0.04045, x / 12.92, ((x + 0.055) / 1.055).pow(2.4))


def linear_to_srgb(x: Tensor) -> Tensor:
    """Inverse of `srgb_to_linear`, input clamped to 0..1."""
    x = torch.clamp(x, 0.0, 1.0)
    return torch.where(x <= 0.0031308, x * 12.92, 1.055 * x.pow(1.0 / 2.4) - 0.055)
