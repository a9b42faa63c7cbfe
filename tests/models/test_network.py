"""Tests of the Tweenova interpolation network (eager and TorchScript)."""
import os
import sys

import pytest
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "models", "network"))
from tweenova_net import build_network, median3x3  # noqa: E402
from warping import warp  # noqa: E402

DEFAULTS = (1, 1, 0.001, 1.0)  # substep_index, flow_magnitude, threshold, warp_downscale


@pytest.fixture(scope="module")
def scripted():
    return torch.jit.script(build_network()).eval()


def texture(h, w, seed=0, cells=8):
    """Smooth random RGB texture in the encoded range, [1, 3, h, w]."""
    g = torch.Generator().manual_seed(seed)
    coarse = torch.rand(1, 3, h // cells + 3, w // cells + 3, generator=g)
    big = F.interpolate(coarse, scale_factor=float(cells), mode="bicubic", align_corners=False)
    return big[:, :, cells:cells + h, cells:cells + w].clamp(0.0, 1.0).contiguous() * 0.8 + 0.1


def shifted(img, dx, dy):
    """img translated by (dx, dy) pixels (content moves right / down)."""
    flow = torch.tensor([-dx, -dy], dtype=img.dtype).view(1, 2, 1, 1).expand(1, 2, img.shape[2], img.shape[3])
    return warp(img, flow)


def interior_error(a, b, margin):
    return (a - b)[:, :, margin:-margin, margin:-margin].abs().mean().item()


def test_eager_and_scripted_agree(scripted):
    net = build_network().eval()
    a = texture(64, 96, seed=1)
    b = shifted(a, 2.0, -1.0)
    with torch.no_grad():
        eager = net(a, b, 0.5, *DEFAULTS)
        script = scripted(a, b, 0.5, *DEFAULTS)
    # Same operations in the same order; allow float32 rounding differences.
    assert torch.allclose(eager, script, atol=1e-5, rtol=0.0)


@pytest.mark.parametrize("h,w", [(32, 32), (32, 96), (96, 64), (64, 160)])
def test_shape_and_dtype(scripted, h, w):
    a = texture(h, w, seed=2)
    b = shifted(a, 1.0, 1.0)
    with torch.no_grad():
        out = scripted(a, b, 0.5, *DEFAULTS)
    assert out.shape == (1, 3, h, w)
    assert out.dtype == torch.float32
    assert torch.isfinite(out).all()


def test_deterministic(scripted):
    a = texture(96, 128, seed=3)
    b = shifted(a, 3.0, 2.0)
    with torch.no_grad():
        first = scripted(a, b, 0.3, *DEFAULTS)
        second = scripted(a, b, 0.3, *DEFAULTS)
    assert torch.equal(first, second)


def test_identical_frames_give_that_frame(scripted):
    a = texture(64, 64, seed=4)
    with torch.no_grad():
        out = scripted(a, a.clone(), 0.5, *DEFAULTS)
    assert (out - a).abs().max().item() < 1e-4


def test_translation_is_interpolated_not_blended(scripted):
    a = texture(128, 128, seed=5)
    b = shifted(a, 6.0, -4.0)
    truth = shifted(a, 3.0, -2.0)
    with torch.no_grad():
        out = scripted(a, b, 0.5, *DEFAULTS)
    err = interior_error(out, truth, 12)
    blend_err = interior_error((a + b) * 0.5, truth, 12)
    assert err < 0.2 * blend_err, (err, blend_err)
    # Another timestep follows the motion too.
    with torch.no_grad():
        quarter = scripted(a, b, 0.25, *DEFAULTS)
    assert interior_error(quarter, shifted(a, 1.5, -1.0), 12) < 0.2 * blend_err


def test_threshold_returns_inputs(scripted):
    a = texture(64, 64, seed=6)
    b = shifted(a, 4.0, 0.0)
    with torch.no_grad():
        assert torch.equal(scripted(a, b, 0.0005, 1, 1, 0.001, 1.0), a)
        assert torch.equal(scripted(a, b, 0.9995, 1, 1, 0.001, 1.0), b)
        # threshold 0 interpolates even close to the ends.
        assert not torch.equal(scripted(a, b, 0.0005, 1, 1, 0.0, 1.0), a)


def test_flow_magnitude_reaches_larger_motion(scripted):
    a = texture(256, 256, seed=7, cells=16)
    b = shifted(a, 36.0, 0.0)
    truth = shifted(a, 18.0, 0.0)
    with torch.no_grad():
        low = scripted(a, b, 0.5, 1, 1, 0.001, 1.0)
        high = scripted(a, b, 0.5, 1, 3, 0.001, 1.0)
    err_low = interior_error(low, truth, 40)
    err_high = interior_error(high, truth, 40)
    assert err_high < 0.5 * err_low, (err_high, err_low)


def test_refinement_and_downscale_arguments_change_the_result(scripted):
    a = texture(128, 128, seed=8)
    b = shifted(a, 2.5, 1.5)
    truth = shifted(a, 1.25, 0.75)
    with torch.no_grad():
        base = scripted(a, b, 0.5, 0, 1, 0.001, 1.0)
        more = scripted(a, b, 0.5, 5, 1, 0.001, 1.0)
        coarse = scripted(a, b, 0.5, 0, 1, 0.001, 0.25)
    assert not torch.equal(base, more)
    assert not torch.equal(base, coarse)
    # Every setting still interpolates the motion far better than a blend
    # (flow from a 32x32 level is coarser, hence the wider margin).
    blend_err = interior_error((a + b) * 0.5, truth, 12)
    assert interior_error(base, truth, 12) < 0.3 * blend_err
    assert interior_error(more, truth, 12) < 0.3 * blend_err
    assert interior_error(coarse, truth, 12) < 0.6 * blend_err


def test_reduced_precision_inputs(scripted):
    a = texture(64, 96, seed=9)
    b = shifted(a, 2.0, 1.0)
    with torch.no_grad():
        ref = scripted(a, b, 0.5, *DEFAULTS)
        for dtype in (torch.bfloat16, torch.float16):
            out = scripted(a.to(dtype), b.to(dtype), 0.5, *DEFAULTS)
            assert out.dtype == dtype
            assert out.shape == ref.shape
            # Inputs rounded to 8 (bfloat16) or 11 (float16) significant bits.
            assert (out.float() - ref).abs().mean().item() < 0.02


def test_half_casting_attributes(scripted, tmp_path):
    assert scripted.cast_half is False or scripted.cast_half is True
    assert hasattr(scripted, "synth_fp32")
    path = str(tmp_path / "net.pt")
    scripted.save(path)
    loaded = torch.jit.load(path)
    # The plug-in switches both flags off for the CPU; the network must still run.
    loaded.cast_half = False
    loaded.synth_fp32 = False
    a = texture(32, 64, seed=10)
    with torch.no_grad():
        out = loaded(a, a, 0.5, *DEFAULTS)
    assert torch.allclose(out, a, atol=1e-4)


def test_median_network_matches_sorting():
    g = torch.Generator().manual_seed(11)
    for x in (torch.rand(1, 2, 17, 23, generator=g),
              torch.randint(0, 3, (1, 2, 9, 12), generator=g).float()):  # many ties
        p = F.pad(x, [1, 1, 1, 1], mode="replicate")
        taps = [p[:, :, dy:dy + x.shape[2], dx:dx + x.shape[3]] for dy in range(3) for dx in range(3)]
        expected = torch.stack(taps, dim=0).median(dim=0)[0]
        assert torch.equal(median3x3(x), expected)
        assert torch.equal(torch.jit.script(median3x3)(x), expected)


def test_brightness_change_without_motion_gives_the_blend(scripted):
    # Flicker: no motion explains the change better than none, so the
    # result leans on the time-weighted blend (the motion candidates keep a
    # share: warps to nearby positions explain a brightness change about as
    # badly as no motion does).
    a = texture(96, 96, seed=12)
    b = a * 0.7
    with torch.no_grad():
        out = scripted(a, b, 0.25, *DEFAULTS)
    blend = a * 0.75 + b * 0.25
    assert interior_error(out, blend, 8) < 0.35 * interior_error(a, blend, 8)
