"""The network's C++ operators (torch.ops.tweenova) against the torch
operations they replace, and their two instruction-set versions against
each other."""
import os
import subprocess
import sys

import pytest
import torch

import operators
from tweenova_net import (UpConv, composed_block_input, composed_bounded, composed_residual, composed_sources,
                          enlarge)
from warping import grid_rows, points

H, W = 96, 160


def block_case(factor: int, rest_factor: int, seed: int, flow_scale: float = 20.0):
    """Sources, the flows at the block's points and the previous block's
    output, for a block at 1/factor of an H x W frame."""
    g = torch.Generator().manual_seed(seed)
    source0 = torch.rand(1, 7, H, W, generator=g).contiguous(memory_format=torch.channels_last)
    source1 = torch.rand(1, 7, H, W, generator=g) * 4.0 - 1.0  # plain layout, values outside [0, 1]
    flows = torch.randn(1, 4, H, W, generator=g) * flow_scale
    n, m = H // factor, W // factor
    rest = torch.randn(1, 9, n // rest_factor, m // rest_factor, generator=g)
    return source0, source1, points(flows, factor), rest


def both(case, factor, rest_factor, a0, a1, dtype, timestep=0.3):
    source0, source1, at, rest = case
    p = grid_rows(at, factor, 2, a0, a1)
    rest = rest.to(dtype)
    expected = composed_block_input(source0, source1, p, factor, a0, timestep, rest, rest_factor, dtype)
    got = torch.ops.tweenova.block_input(source0, source1, p, factor, a0, timestep, rest, rest_factor, dtype)
    return expected, got


def test_block_input_is_its_composition():
    # Every block resolution and enlargement of the previous block's output,
    # whole blocks and strips that start inside one, flows reaching far
    # outside the frame (edges held). Float32 sums in another order; in
    # bfloat16 the same values rounded once, at most one unit apart.
    for factor in (1, 2, 4, 8):
        for rest_factor in (1, 2, 4):
            n = H // factor
            if n % rest_factor or (W // factor) % rest_factor:
                continue
            case = block_case(factor, rest_factor, seed=factor * 10 + rest_factor, flow_scale=3.0 * H)
            for a0, a1 in ((0, n), (1, n - 1), (n - 2, n)):
                for dtype in (torch.float32, torch.bfloat16):
                    expected, got = both(case, factor, rest_factor, a0, a1, dtype)
                    assert got.dtype == dtype and got.shape == expected.shape
                    assert got.is_contiguous(memory_format=torch.channels_last)
                    e, g = expected.float(), got.float()
                    tolerance = 1e-4 if dtype == torch.float32 else 2.0 ** -7
                    assert ((e - g).abs() <= tolerance * e.abs().clamp(min=1.0)).all(), (factor, rest_factor, a0, dtype)


def test_bad_flows_read_the_frame_not_past_it():
    # NaN and infinite flows give positions at the frame's first pixel or its
    # edges: the samples stay finite, the flows channels keep what came in.
    source0, source1, at, rest = block_case(1, 2, seed=3)
    at = at.clone()
    at[0, 0, 5, 7] = float("nan")
    at[0, 1, 6, 8] = float("inf")
    at[0, 2, 7, 9] = float("-inf")
    out = torch.ops.tweenova.block_input(source0, source1, at, 1, 0, 0.5, rest, 2, torch.float32)
    assert torch.isfinite(out[:, 0:24]).all()
    assert torch.isnan(out[0, 24, 5, 7]) and out[0, 25, 6, 8] == float("inf") and out[0, 26, 7, 9] == -float("inf")


def test_block_input_refuses_what_it_cannot_read():
    source0, source1, at, rest = block_case(2, 2, seed=4)
    with pytest.raises(RuntimeError, match="7, H, W"):
        torch.ops.tweenova.block_input(source0[:, 0:6], source1[:, 0:6], at, 2, 0, 0.5, rest, 2, torch.float32)
    with pytest.raises(RuntimeError, match="outside the block"):
        torch.ops.tweenova.block_input(source0, source1, at, 2, 1, 0.5, rest, 2, torch.float32)
    with pytest.raises(RuntimeError, match="has 9 channels"):
        torch.ops.tweenova.block_input(source0, source1, at, 2, 0, 0.5, rest[:, 0:8], 2, torch.float32)
    with pytest.raises(RuntimeError, match="does not enlarge"):
        torch.ops.tweenova.block_input(source0, source1, at, 2, 0, 0.5, rest, 4, torch.float32)
    with pytest.raises(RuntimeError, match="float32"):
        torch.ops.tweenova.block_input(source0.double(), source1, at, 2, 0, 0.5, rest, 2, torch.float32)


def test_bounded_is_its_composition():
    # The whole encoded range and beyond: negatives, the knee, highlights far
    # above it, NaN and both infinities; plain and channels-last frames.
    g = torch.Generator().manual_seed(5)
    frame = torch.randn(1, 3, 37, 53, generator=g) * 40.0
    frame[0, 0, 0, 0:5] = torch.tensor([float("nan"), float("inf"), -float("inf"), 2.0, 3.0])
    for v in (frame, frame.contiguous(memory_format=torch.channels_last)):
        got = torch.ops.tweenova.bounded(v, 2.0, 3.0)
        assert torch.equal(got, composed_bounded(v, 2.0, 3.0))
        assert got.is_contiguous(memory_format=torch.channels_last) == v.is_contiguous(memory_format=torch.channels_last)
    assert torch.isfinite(got).all() and got.min() == 0.0 and got.max() < 3.0
    with pytest.raises(RuntimeError, match="float32"):
        torch.ops.tweenova.bounded(frame.double(), 2.0, 3.0)
    with pytest.raises(RuntimeError, match="not above the knee"):
        torch.ops.tweenova.bounded(frame, 3.0, 2.0)


def test_add_enlarged_is_its_composition():
    # Every block's enlargement, residuals as the blocks give them: float32,
    # and the first channels of a channels-last bfloat16 output.
    g = torch.Generator().manual_seed(6)
    for factor in (1, 2, 4, 8, 16):
        flows = torch.randn(1, 4, H, W, generator=g) * 30.0
        out = torch.randn(1, 13, H // factor, W // factor, generator=g)
        for delta in (out[:, 0:4], out.to(torch.bfloat16).contiguous(memory_format=torch.channels_last)[:, 0:4]):
            expected = flows + enlarge(delta.float() * float(factor), factor)
            got = torch.ops.tweenova.add_enlarged_(flows.clone(), delta, factor, float(factor))
            assert ((got - expected).abs() <= 1e-5 * expected.abs().clamp(min=1.0)).all(), (factor, delta.dtype)
    with pytest.raises(RuntimeError, match="is not the size of the flows"):
        torch.ops.tweenova.add_enlarged_(flows, out[:, 0:4], 2, 1.0)
    with pytest.raises(RuntimeError, match="contiguous float32"):
        torch.ops.tweenova.add_enlarged_(flows.transpose(2, 3), out[:, 0:4], 16, 1.0)


def test_sources_are_their_composition():
    # The head's transposed convolution as four phases at half resolution,
    # then the frame and the shuffled phases in one pass: the same features,
    # the same layout and values as the concatenation, whatever the phases'
    # type.
    g = torch.Generator().manual_seed(7)
    up = UpConv(16, 4)
    with torch.no_grad():
        up.weight.copy_(torch.randn(16, 4, 4, 4, generator=g))
        up.bias.copy_(torch.randn(4, generator=g))
    x = torch.randn(1, 16, H // 2, W // 2, generator=g)
    phases = up.phases(x, 4)
    assert (torch.nn.functional.pixel_shuffle(phases, 2) - up(x, 4)).abs().max() < 1e-4
    frame = torch.rand(1, 3, H, W, generator=g)
    for p in (phases, phases.to(torch.bfloat16).contiguous(memory_format=torch.channels_last)):
        got = torch.ops.tweenova.sources(frame, p)
        assert torch.equal(got, composed_sources(frame, p)) and got.dtype == torch.float32
        assert got.is_contiguous(memory_format=torch.channels_last)
    with pytest.raises(RuntimeError, match="float32 frame of 3 channels"):
        torch.ops.tweenova.sources(frame[:, 0:2], phases)
    with pytest.raises(RuntimeError, match="not four per feature at half the frame"):
        torch.ops.tweenova.sources(frame[:, :, 0:H // 2], phases)


def test_shuffle_into_is_pixel_shuffle_and_a_copy():
    # A block's output phases, float32 and channels-last bfloat16, into a
    # strip of rows of the result; the rows outside it stay as they were.
    g = torch.Generator().manual_seed(8)
    for channels in (5, 13):
        phases = torch.randn(1, 4 * channels, 10, W // 2, generator=g)
        for p in (phases, phases.to(torch.bfloat16).contiguous(memory_format=torch.channels_last)):
            out = torch.randn(1, channels, H, W, generator=g)
            expected = out.clone()
            expected[:, :, 6:26] = torch.nn.functional.pixel_shuffle(p, 2)
            assert torch.equal(torch.ops.tweenova.shuffle_into_(out, p, 6), expected)
    with pytest.raises(RuntimeError, match="outside"):
        torch.ops.tweenova.shuffle_into_(out, p, H - 10)
    with pytest.raises(RuntimeError, match="four per channel"):
        torch.ops.tweenova.shuffle_into_(out[:, 0:4].contiguous(), p, 0)


def same(a: torch.Tensor, b: torch.Tensor) -> bool:
    """The same values, NaN where the other has NaN."""
    return torch.equal(a.isnan(), b.isnan()) and torch.equal(a.nan_to_num(), b.nan_to_num())


def residual_case(channels: int, dtype: torch.dtype, seed: int):
    """A residual convolution's input x and output y, channels-last, with
    NaN, both infinities and values that round to even in bfloat16."""
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(1, channels, 7, 9, generator=g) * 3.0
    y = torch.randn(1, channels, 7, 9, generator=g) * 3.0
    x[0, :, 0, 0] = float("nan")
    y[0, :, 0, 1] = float("inf")
    y[0, :, 0, 2] = -float("inf")
    x[0, :, 1, 0] = 1.0 + 2.0 ** -8  # halfway between two bfloat16 values
    y[0, :, 1, 0] = 0.0
    beta = torch.rand(1, channels, 1, 1, generator=g) * 2.0 - 0.5
    layout = torch.channels_last
    return x.to(dtype).contiguous(memory_format=layout), y.to(dtype).contiguous(memory_format=layout), beta.to(dtype)


def test_residual_is_its_composition():
    # The blocks' widths (multiples of sixteen) and others, whose last
    # channels take the loop's remainder; bfloat16 as the composition rounds
    # it, to the bit; float32 within the rounding of a product, which the
    # composition may fuse with the sum.
    for channels in (96, 40, 5):
        for dtype in (torch.bfloat16, torch.float32):
            x, y, beta = residual_case(channels, dtype, seed=channels)
            expected = composed_residual(y.clone(), x, beta, 0.2)
            # float32: at most a rounding of the product and one of the sum apart.
            bound = 2.0 ** -23 * (x.abs() + (y * beta).abs())
            got = torch.ops.tweenova.residual_(y, x, beta, 0.2)
            assert got.data_ptr() == y.data_ptr() and got.is_contiguous(memory_format=torch.channels_last)
            if dtype == torch.bfloat16:
                assert same(got, expected), channels
            else:
                finite = torch.isfinite(expected)
                assert torch.equal(finite, torch.isfinite(got)) and same(got[~finite], expected[~finite])
                assert ((got - expected).abs() <= bound)[finite].all(), channels
    with pytest.raises(RuntimeError, match="channels-last"):
        torch.ops.tweenova.residual_(y.contiguous(), x.contiguous(), beta, 0.2)
    with pytest.raises(RuntimeError, match="of one type"):
        torch.ops.tweenova.residual_(y, x.double(), beta, 0.2)
    with pytest.raises(RuntimeError, match="4 scales for 5 channels"):
        torch.ops.tweenova.residual_(y, x, beta[:, 0:4], 0.2)
    with pytest.raises(RuntimeError, match="0 scales for 0 channels"):
        empty = torch.empty(1, 0, 7, 9, dtype=y.dtype, memory_format=torch.channels_last)
        torch.ops.tweenova.residual_(empty, empty.clone(), beta[:, 0:0], 0.2)


BASELINE_RUN = """
import sys, torch
sys.path.insert(0, sys.argv[1])
import operators
torch.save([getattr(torch.ops.tweenova, op)(*args) for op, args in torch.load(sys.argv[2])], sys.argv[3])
"""


def test_every_instruction_set_gives_the_same_values(tmp_path):
    # The library chooses its AVX2 versions on CPUs that have it; the baseline
    # build is what any other x86-64 CPU runs. Both give the same bits.
    baseline = os.path.join(os.path.dirname(operators.library_path()), "tweenova_operators_baseline.so")
    assert os.path.exists(baseline), baseline
    cases = []
    for factor, rest_factor, dtype in ((1, 2, torch.bfloat16), (2, 2, torch.float32), (8, 1, torch.float16)):
        source0, source1, at, rest = block_case(factor, rest_factor, seed=factor)
        cases.append(("block_input", (source0, source1, at, factor, 0, 0.4, rest, rest_factor, dtype)))
        delta = rest[:, 0:4].to(dtype) if rest_factor == 2 else at[:, :, 0:H // factor, 0:W // factor]
        cases.append(("add_enlarged_", (source1[:, 0:4].contiguous(), delta, H // delta.shape[2], float(factor))))
    frame = block_case(1, 1, seed=9)[1]
    cases.append(("bounded", (frame * 3.0, 2.0, 3.0)))
    phases = torch.randn(1, 16, H // 2, W // 2).to(torch.bfloat16)
    cases.append(("sources", (frame[:, 0:3], phases)))
    cases.append(("shuffle_into_", (frame[:, 0:4].contiguous(), phases[:, :, 0:5], 2)))
    for dtype in (torch.bfloat16, torch.float32):
        x, y, beta = residual_case(40, dtype, seed=10)
        cases.append(("residual_", (y, x, beta, 0.2)))
    torch.save(cases, tmp_path / "cases.pt")
    subprocess.run([sys.executable, "-c", BASELINE_RUN, os.path.dirname(operators.__file__),
                    str(tmp_path / "cases.pt"), str(tmp_path / "out.pt")],
                   env=dict(os.environ, TWEENOVA_OPERATORS=baseline), check=True)
    for (op, args), out in zip(cases, torch.load(tmp_path / "out.pt")):
        args = tuple(a.clone() if isinstance(a, torch.Tensor) else a for a in args)
        assert same(out, getattr(torch.ops.tweenova, op)(*args)), op
