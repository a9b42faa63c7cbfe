"""Tests of the Tweenova interpolation network: the learned weights on our
modules against the module they were published with, TorchScript, the call
contract and the effect of every argument."""
import os

import pytest
import torch

import tweenova_net
from conftest import encoded, srgb
from reference import reference_network
from pu21 import pu21_decode, pu21_encode, srgb_to_linear
from tweenova_net import TweenovaNet, build_network, default_params, load_weights, pad_to, synthesise
from warping import pixel_grid

DEFAULTS = (1, 1, 0.001, 1.0)  # substep_index, flow_magnitude, threshold, warp_downscale


def interior_psnr(out, truth, margin):
    """PSNR (peak 1) of [1, C, H, W] tensors away from a margin of columns."""
    d = (out - truth)[:, :, :, margin:-margin]
    return -10.0 * torch.log10(d.pow(2).mean()).item()


def test_matches_the_published_module(scripted, weights_dir):
    # Same frames in [0, 1], padded as the published module expects (multiples
    # of 128), scales 16, 8, 4, 2, 1. Our blocks read the warped frames only at
    # the pixels each reduction averages, where the published module warps
    # whole frames and reduces them: the sums run in another order, so float32
    # rounding differs (measured up to 8.4e-5 on these frames, 1.5e-4 on others).
    reference = reference_network(os.path.join(weights_dir, "flownet.pkl"))
    blend = torch.jit.script(synthesise)
    cases = [("ucf101-dvf/1921/frame_00.png", "ucf101-dvf/1921/frame_02.png", 0.5),   # 256x256
             ("davis/kart-turn/frame10.png", "davis/kart-turn/frame11.png", 0.3),      # 320x180 -> 384x256
             ("opencv-doc-video/box/frame_000120.png", "opencv-doc-video/box/frame_000122.png", 0.8)]
    scales = [16, 8, 4, 2, 1]
    for first, second, t in cases:
        a = pad_to(srgb(first), 128)
        b = pad_to(srgb(second), 128)
        assert (a - b).abs().mean().item() > 0.02  # frames that move
        h, w = a.shape[2], a.shape[3]
        with torch.no_grad():
            expected = reference(torch.cat([a, b], dim=1), t, scales)[2][4]
            flows, mask = scripted.estimate(scripted.sources(a), scripted.sources(b), t, scales)
            ours = blend(a, b, flows, mask, pixel_grid(h, w, 1, a))
        assert ours.shape == expected.shape
        assert (ours - expected).abs().max().item() <= 1e-3, (first, t)


def test_eager_and_scripted_agree(network, scripted):
    a = encoded("davis/juggle/frame10.png")[:, :, 96:160, 160:256]
    b = encoded("davis/juggle/frame11.png")[:, :, 96:160, 160:256]
    with torch.no_grad():
        eager = network(a, b, 0.4, 2, 1, 0.001, 1.0)
        script = scripted(a, b, 0.4, 2, 1, 0.001, 1.0)
    # The same operations in the same order: float32 rounding at most.
    assert (eager - script).abs().max().item() <= 1e-5


def test_strips_give_the_whole_frame_result(weights_dir, scripted):
    # 768x576: the last two blocks go through in strips of 64 and 128 rows
    # (each with 64 halo rows either side), the earlier ones whole. Another
    # summation order in the convolutions at most; a halo narrower than
    # the blocks' receptive field differs by 1e-2 and more.
    a = encoded("opencv-doc-video/vtest/frame_000200.png")
    b = encoded("opencv-doc-video/vtest/frame_000202.png")
    strips = torch.jit.script(build_network(os.path.join(weights_dir, "flownet.pkl"), strip_pixels=64 * 768))
    with torch.no_grad():
        for substep in (1, 2):
            whole = scripted(a, b, 0.5, substep, 1, 0.001, 1.0)
            striped = strips(a, b, 0.5, substep, 1, 0.001, 1.0)
            assert (whole - striped).abs().max().item() <= 1e-4, substep


def test_every_size_and_argument_value(scripted):
    frame0 = encoded("opencv-doc-video/cup/frame_000120.png")
    frame1 = encoded("opencv-doc-video/cup/frame_000122.png")

    def check(out, a, b):
        assert out.shape == a.shape and out.dtype == a.dtype
        # Warps and a convex blend of the inputs: never outside their range.
        lo = torch.minimum(a.min(), b.min()).item()
        hi = torch.maximum(a.max(), b.max()).item()
        assert torch.isfinite(out).all()
        assert lo - 1e-5 <= out.min().item() and out.max().item() <= hi + 1e-5

    with torch.no_grad():
        for h, w in [(32, 32), (32, 96), (96, 32), (96, 160), (160, 480)]:
            a, b = frame0[:, :, 100:100 + h, 40:40 + w], frame1[:, :, 100:100 + h, 40:40 + w]
            check(scripted(a, b, 0.5, *DEFAULTS), a, b)
        a, b = frame0[:, :, 64:128, 64:160], frame1[:, :, 64:128, 64:160]
        for substep in range(6):
            check(scripted(a, b, 0.3, substep, 1, 0.001, 1.0), a, b)
        for magnitude in (1, 2, 3):
            for downscale in (1.0, 0.5, 0.25):
                check(scripted(a, b, 0.3, 1, magnitude, 0.001, downscale), a, b)


def test_threshold_returns_the_input(scripted):
    a = encoded("ucf101-dvf/31/frame_00.png")
    b = encoded("ucf101-dvf/31/frame_02.png")
    with torch.no_grad():
        assert torch.equal(scripted(a, b, 0.0005, 1, 1, 0.001, 1.0), a)
        assert torch.equal(scripted(a, b, 0.9995, 1, 1, 0.001, 1.0), b)
        assert torch.equal(scripted(a, b, 0.4, 1, 1, 0.45, 1.0), a)
        # Threshold 0 interpolates even next to the inputs.
        assert not torch.equal(scripted(a, b, 0.0005, 1, 1, 0.0, 1.0), a)


def test_reduced_precision_leaves_the_plate_values_alone(scripted):
    # Mixed precision is autocast over float32 inputs (bfloat16 here, as the
    # CPU allows it; float16 or bfloat16 on the GPU). A held frame comes back
    # as it went in. Where half the frame holds still and half moves, the held
    # half differs from the float32 result only as much as the flows do: a
    # small fraction of what rounding the inputs to bfloat16 costs.
    a = encoded("davis/juggle/frame10.png")[:, :, 0:192, 0:320]
    b = encoded("davis/juggle/frame11.png")[:, :, 0:192, 0:320].clone()
    b[:, :, :, 160:] = a[:, :, :, 160:]
    held = slice(192, 320)  # away from the moving half
    with torch.no_grad():
        full = scripted(a, b, 0.5, *DEFAULTS)
        with torch.autocast("cpu", dtype=torch.bfloat16):
            assert torch.equal(scripted(a, a.clone(), 0.5, *DEFAULTS), a)
            mixed = scripted(a, b, 0.5, *DEFAULTS)
            rounded = scripted(a.bfloat16(), b.bfloat16(), 0.5, *DEFAULTS).float()
    assert mixed.dtype == torch.float32
    mixed_error = (mixed - full)[:, :, :, held].abs()
    rounded_error = (rounded - full)[:, :, :, held].abs()
    assert mixed_error.max().item() <= 1e-3
    assert mixed_error.mean().item() * 10 <= rounded_error.mean().item(), (mixed_error.mean(), rounded_error.mean())
    # The moving half still moves: the result is no copy of either frame.
    assert (mixed - a)[:, :, :, 0:128].abs().mean().item() > 1e-3


def converted(x: torch.Tensor) -> torch.Tensor:
    return x.to(tweenova_net.convolution_type(x))


def test_blocks_get_their_input_in_the_autocast_type(network, scripted, monkeypatch):
    # Under autocast a block's input is put together in the convolutions'
    # type rather than converted by its first convolution: the same values,
    # so the same result as the network that leaves the conversion to
    # autocast, in the scripted network too.
    a = encoded("davis/juggle/frame10.png")[:, :, 0:192, 0:320]
    b = encoded("davis/juggle/frame11.png")[:, :, 0:192, 0:320]
    probe = torch.jit.script(converted)
    with torch.no_grad(), torch.autocast("cpu", dtype=torch.bfloat16):
        assert probe(a).dtype == torch.bfloat16 and probe(a.bfloat16()).dtype == torch.bfloat16
        fast = scripted(a, b, 0.5, 2, 1, 0.001, 1.0)
        monkeypatch.setattr(tweenova_net, "convolution_type", lambda like: like.dtype)
        converted_by_autocast = network(a, b, 0.5, 2, 1, 0.001, 1.0)
    assert torch.equal(fast, converted_by_autocast)
    with torch.autocast("cpu", dtype=torch.float16):
        assert probe(a).dtype == torch.float16
    assert probe(a).dtype == torch.float32 and probe(a.half()).dtype == torch.float16


def test_dtype_in_is_dtype_out(scripted):
    a = encoded("davis/kart-turn/frame10.png")[:, :, 0:96, 0:128]
    b = encoded("davis/kart-turn/frame11.png")[:, :, 0:96, 0:128]
    with torch.no_grad():
        for dtype in (torch.float16, torch.bfloat16):
            a16, b16 = a.to(dtype), b.to(dtype)
            out = scripted(a16, b16, 0.5, *DEFAULTS)
            assert out.dtype == dtype
            # On the CPU the network runs in float32 whatever the input type.
            expected = scripted(a16.float(), b16.float(), 0.5, *DEFAULTS).to(dtype)
            assert torch.equal(out, expected)


def test_saved_archive_runs_with_the_plugin_settings(scripted, tmp_path):
    path = str(tmp_path / "net.pt")
    scripted.save(path)
    loaded = torch.jit.load(path)
    assert loaded.cast_half is False and loaded.synth_fp32 is True
    # The plug-in switches both off on the CPU and converts to float32.
    loaded.cast_half = False
    loaded.synth_fp32 = False
    loaded.to(torch.float32)
    a = encoded("ucf101-dvf/971/frame_00.png")
    b = encoded("ucf101-dvf/971/frame_02.png")
    with torch.no_grad():
        assert torch.equal(loaded(a, b, 0.5, *DEFAULTS), scripted(a, b, 0.5, *DEFAULTS))


def test_highlights_survive_a_translation(scripted):
    # A real frame expanded in linear light so that its highlights reach
    # 10-50, and the same frame 6 pixels to the left: halfway, the content
    # is 3 pixels to the left, bright values included.
    lin = srgb_to_linear(srgb("opencv-doc-video/box/frame_000120.png")[:, :, 96:224, 96:304])
    hdr = lin * (1.0 + 4999.0 * lin.pow(4))  # up to 5000: beyond PU21's own range, which ends at 500
    assert hdr.max().item() > 1000.0
    frame0 = pu21_encode(hdr[:, :, :, 6:198])
    frame1 = pu21_encode(hdr[:, :, :, 12:204])
    truth = pu21_encode(hdr[:, :, :, 9:201])
    with torch.no_grad():
        out = scripted(frame0, frame1, 0.5, *DEFAULTS)
    inner = (slice(None), slice(None), slice(8, -8), slice(8, -8))
    bright = hdr[:, :, :, 9:201][inner] > 5.0
    assert bright.sum().item() > 100
    got = pu21_decode(out[inner])[bright]
    want = hdr[:, :, :, 9:201][inner][bright]
    assert got.max().item() > 1000.0
    assert ((got - want).abs() / want).median().item() < 0.05
    assert (out - truth)[inner].abs().mean().item() < 0.01


def test_bad_pixels_stay_where_they_are(scripted):
    # A NaN pixel, an infinite one and a NaN row: the flows, which every
    # pixel of the coarse blocks reaches, stay finite; the result holds
    # non-finite values only where the network reads those pixels.
    a = encoded("davis/kart-turn/frame10.png")
    b = encoded("davis/kart-turn/frame11.png")
    a[0, 1, 90, 150] = float("nan")
    a[0, 0, 30, 40] = float("inf")
    b[0, 2, 60, :] = float("nan")
    with torch.no_grad():
        out = scripted(a, b, 0.5, *DEFAULTS)
    bad = ~torch.isfinite(out)
    assert 0 < bad.sum().item() < 2000
    rows, columns = torch.nonzero(bad[0].any(0), as_tuple=True)
    near_pixel = ((rows - 90).abs() <= 16) & ((columns - 150).abs() <= 16)
    near_inf = ((rows - 30).abs() <= 16) & ((columns - 40).abs() <= 16)
    near_row = (rows - 60).abs() <= 16
    assert bool((near_pixel | near_inf | near_row).all())
    assert out[0, 0, 30, 40].item() == float("inf")  # where it is read whole


def test_non_finite_frames_are_told_from_finite_ones():
    # The check reads sums: one bad value anywhere in either frame makes it
    # say no; a sum that overflows says no too (the extended path, which is
    # also right for finite frames), a finite one in half precision is summed
    # in float32 and says yes.
    a = torch.rand(1, 3, 64, 96)
    b = torch.rand(1, 3, 64, 96)
    assert tweenova_net.all_finite(a, b) and tweenova_net.all_finite(a.half() * 60000.0, b.half())
    for bad in (float("nan"), float("inf"), -float("inf")):
        c = b.clone()
        c[0, 2, 63, 95] = bad
        assert not tweenova_net.all_finite(a, c) and not tweenova_net.all_finite(c, a)
    assert not tweenova_net.all_finite(a.fill_(3e38), b)


def test_substeps_are_symmetric_ensembles(scripted):
    # Index 2 averages a pass and its time-reversed twin, so swapping the
    # inputs (timestep 1 - t) gives the same frame; index 4 adds the
    # left-right mirror of both, so mirroring the inputs mirrors the result
    # (widths a multiple of 64, which the network does not pad).
    a = encoded("davis/dog-control/frame10.png")[:, :, :, 0:448]
    b = encoded("davis/dog-control/frame11.png")[:, :, :, 0:448]
    with torch.no_grad():
        one = scripted(a, b, 0.3, 1, 1, 0.001, 1.0)
        forth = scripted(a, b, 0.3, 2, 1, 0.001, 1.0)
        back = scripted(b, a, 0.7, 2, 1, 0.001, 1.0)
        four = scripted(a, b, 0.3, 4, 1, 0.001, 1.0)
        mirrored = scripted(a.flip(3), b.flip(3), 0.3, 4, 1, 0.001, 1.0).flip(3)
    assert (forth - back).abs().max().item() < 1e-4
    assert (four - mirrored).abs().max().item() < 1e-4
    # The plain pass has neither symmetry: the passes do add information.
    assert (one - forth).abs().mean().item() > 1e-3
    assert (forth - four).abs().mean().item() > 1e-4


def test_substeps_and_downscale_trade_quality(scripted):
    a = encoded("davis/dog-control/frame10.png")
    b = encoded("davis/dog-control/frame11.png")
    truth = encoded("davis/dog-control/frame10i11.png")
    rows = slice(0, 270)  # the rows padding added are not compared

    def error(x):
        return (x - truth)[:, :, rows].pow(2).mean().sqrt().item()

    with torch.no_grad():
        results = {args: scripted(a, b, 0.5, args[0], 1, 0.001, args[1])
                   for args in [(0, 1.0), (1, 1.0), (2, 1.0), (5, 1.0), (1, 0.5), (1, 0.25)]}
    blend = error((a + b) * 0.5)
    # The draft is one pass with the flows at half resolution; more passes
    # come closer to the real middle frame (measured 0.066, 0.057, 0.052, 0.050).
    assert torch.equal(results[(0, 1.0)], results[(1, 0.5)])
    assert error(results[(2, 1.0)]) < error(results[(1, 1.0)]) - 0.002
    assert error(results[(5, 1.0)]) < error(results[(2, 1.0)])
    # Coarser flows change the result, a little more at each step, and at
    # half resolution still interpolate the motion (blend: 0.084).
    diff_half = (results[(1, 0.5)] - results[(1, 1.0)]).abs().mean().item()
    diff_quarter = (results[(1, 0.25)] - results[(1, 1.0)]).abs().mean().item()
    assert 0.002 < diff_half < diff_quarter < 0.08
    assert error(results[(1, 1.0)]) < error(results[(1, 0.5)]) < 0.85 * blend


def test_flow_magnitude_reaches_larger_motion(scripted):
    # A real frame and the same frame 128, 160 and 192 pixels further left
    # (a third of the 448 columns compared and more): first blocks 2 and 4
    # times coarser than the published one find more of the motion. Single
    # shifts vary by several dB either way, so the mean over the three is
    # compared (measured 37.5, 39.5 and 42.5 dB in encoded units).
    frame = encoded("opencv-doc-video/cup/frame_000120.png")
    means = []
    with torch.no_grad():
        for magnitude in (1, 2, 3):
            scores = []
            for shift in (128, 160, 192):
                a = frame[:, :, :, 0:448]
                b = frame[:, :, :, shift:448 + shift]
                truth = frame[:, :, :, shift // 2:448 + shift // 2]
                scores.append(interior_psnr(scripted(a, b, 0.5, 1, magnitude, 0.001, 1.0), truth, shift))
            means.append(sum(scores) / len(scores))
    assert means[1] > means[0] + 1.0 and means[2] > means[0] + 3.0, means


def test_small_frames_get_their_flows_at_twice_their_size(scripted):
    # Three real DAVIS pairs of 180 to 360 rows: flows estimated on the frames
    # enlarged twice come closer to the real middle frame (measured +1.1 dB
    # on average in encoded units). The decision is the frame's, made by the
    # caller, so a tile of a small frame is treated as the frame and a tile
    # of a large one as the large frame.
    assert scripted.frame_warp_downscale(180, 320, 1.0) == 2.0
    assert scripted.frame_warp_downscale(576, 1024, 0.5) == 1.0
    assert scripted.frame_warp_downscale(608, 640, 1.0) == 1.0
    assert scripted.frame_warp_downscale(1080, 1920, 0.25) == 0.25
    gains = []
    with torch.no_grad():
        for name in ("kart-turn", "dog-control", "juggle"):
            a = encoded(f"davis/{name}/frame10.png")
            b = encoded(f"davis/{name}/frame11.png")
            truth = encoded(f"davis/{name}/frame10i11.png")
            fine = scripted(a, b, 0.5, 1, 1, 0.001, 2.0)
            coarse = scripted(a, b, 0.5, 1, 1, 0.001, 1.0)
            gains.append(interior_psnr(fine, truth, 8) - interior_psnr(coarse, truth, 8))
        assert sum(gains) / len(gains) > 0.5, gains
        # A call follows its argument whatever the size it is given.
        tile0 = encoded("davis/juggle/frame10.png")[:, :, 0:96, 0:128]
        tile1 = encoded("davis/juggle/frame11.png")[:, :, 0:96, 0:128]
        assert not torch.equal(scripted(tile0, tile1, 0.5, 1, 1, 0.001, 1.0),
                               scripted(tile0, tile1, 0.5, 1, 1, 0.001, 2.0))


def test_weights_that_do_not_fit_are_named(weights_dir):
    state = torch.load(os.path.join(weights_dir, "flownet.pkl"), map_location="cpu", weights_only=True)
    assert any(k.startswith("teacher.") for k in state)  # training-only entries are ignored
    net = TweenovaNet(default_params())
    load_weights(net, state)
    assert torch.equal(net.blocks[4].res[7].beta, state["block4.convblock.7.beta"])

    broken = dict(state)
    del broken["block2.convblock.3.conv.bias"]
    broken["block5.lastconv.0.weight"] = torch.zeros(1)
    broken["encode.cnn1.weight"] = torch.zeros(16, 16, 5, 5)
    with pytest.raises(ValueError) as error:
        load_weights(TweenovaNet(default_params()), broken)
    message = str(error.value)
    assert "missing entry block2.convblock.3.conv.bias" in message
    assert "unexpected entry block5.lastconv.0.weight" in message
    assert "entry encode.cnn1.weight has shape [16, 16, 5, 5], expected [16, 16, 3, 3]" in message
