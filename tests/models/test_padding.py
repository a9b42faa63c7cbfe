"""The padding of the network's inputs (models/network/padding.py), on the
sides the plug-in's own padder is tested with (tests/inference/
NetworkPaddingTest.cpp, which also reads the multiple the export records)."""
import torch

import padding

SIDES = [(1, 32), (31, 32), (32, 32), (33, 64), (65, 96), (1080, 1088)]


def test_sides_pad_to_the_plugins_multiples():
    assert padding.PAD_MULTIPLE == 32
    for side, padded in SIDES:
        assert side + padding.pad_amount(side) == padded, side
        assert padding.pad(torch.zeros(1, 1, side, 7)).shape[2] == padded, side
        assert padding.pad(torch.zeros(1, 1, 7, side)).shape[3] == padded, side


def test_pad_repeats_the_edge_and_unpad_takes_the_tile_back():
    x = torch.arange(2 * 33 * 65, dtype=torch.float32).reshape(1, 2, 33, 65)
    y = padding.pad(x)
    assert y.shape == (1, 2, 64, 96)
    assert torch.equal(y[:, :, :33, :65], x)
    assert (y[:, :, 33:, :65] == x[:, :, 32:33]).all()       # rows below: the last row
    assert (y[:, :, :33, 65:] == x[:, :, :, 64:65]).all()    # columns to the right: the last column
    assert (y[:, :, 33:, 65:] == x[:, :, 32:33, 64:65]).all()
    assert torch.equal(padding.unpad(y, 33, 65), x)
