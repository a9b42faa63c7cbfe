"""The padding of the network's inputs, as the plug-in pads every tile (the
C++ side is inference/NetworkPadding): rows below and columns to the right of
the image (rows top-down) up to multiples of PAD_MULTIPLE, repeating the last
row and column; and the crop back to the tile's size. The export records
PAD_MULTIPLE next to the archive."""
from torch import Tensor

from tweenova_net import pad_to

PAD_MULTIPLE = 32


def pad_amount(n: int) -> int:
    """Rows or columns that bring a side of n pixels up to the pad multiple."""
    return -n % PAD_MULTIPLE


def pad(x: Tensor) -> Tensor:
    """[N, C, h, w] with the padding added, the last row and column repeated into it."""
    return pad_to(x, PAD_MULTIPLE)


def unpad(y: Tensor, h: int, w: int) -> Tensor:
    """The [0, h) x [0, w) region of a padded [N, C, H, W] tensor."""
    return y[:, :, :h, :w]
