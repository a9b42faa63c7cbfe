#!/usr/bin/python3
"""Interpolation quality on the developer test triplets.

For every triplet the middle frame is interpolated at t = 0.5 from the outer
two, the way the plug-in feeds the network: 8-bit sRGB -> linear (exact sRGB
EOTF) -> PU21 -> replicate padding to multiples of 32 -> scripted network
(default arguments unless given) -> crop -> PU21 decode -> sRGB -> 8 bit
(clamp, round half up). PSNR over all pixels and channels; SSIM with an 11x11
Gaussian window (sigma 1.5) per channel, averaged. Frame averaging
(round((I0 + I1) / 2) in 8 bit) is measured alongside.

Usage: evaluate.py [--data DIR] [--weights PATH | --model ARCHIVE] [--set name=value ...] [--bf16]
"""
import argparse
import ast
import math
import os
import subprocess
import sys
import time
from typing import Dict, List, Tuple

import numpy as np
import torch
import torch.nn.functional as F
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import padding  # noqa: E402
from pu21 import linear_to_srgb, pu21_decode, pu21_encode, srgb_to_linear  # noqa: E402
from tweenova_net import build_network  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "..", "..", "..", "shared", "testdata")


def default_weights() -> str:
    """The learned weights, fetched into the cache by scripts/fetch-weights."""
    script = os.path.join(HERE, "..", "..", "scripts", "fetch-weights")
    folder = subprocess.run([script], check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    return os.path.join(folder.splitlines()[-1], "flownet.pkl")


def triplets(root: str) -> Dict[str, List[Tuple[str, str, str, str]]]:
    """Set name -> [(label, first, second, ground truth)]."""
    sets: Dict[str, List[Tuple[str, str, str, str]]] = {}
    ucf = os.path.join(root, "ucf101-dvf")
    sets["ucf101-dvf"] = [
        (i, os.path.join(ucf, i, "frame_00.png"), os.path.join(ucf, i, "frame_02.png"),
         os.path.join(ucf, i, "frame_01_gt.png"))
        for i in ["31", "501", "971", "1441", "1921", "2391", "2871", "3341"]]
    davis = os.path.join(root, "davis")
    sets["davis"] = [
        (s, os.path.join(davis, s, "frame10.png"), os.path.join(davis, s, "frame11.png"),
         os.path.join(davis, s, "frame10i11.png"))
        for s in ["kart-turn", "dog-control", "juggle", "e-bike"]]
    video = os.path.join(root, "opencv-doc-video")

    def frame(folder: str, n: int) -> str:
        return os.path.join(video, folder, "frame_%06d.png" % n)

    sets["opencv-doc-video"] = [
        ("vtest 200|201|202", frame("vtest", 200), frame("vtest", 202), frame("vtest", 201)),
        ("vtest 202|203|204", frame("vtest", 202), frame("vtest", 204), frame("vtest", 203)),
        ("box 120|121|122", frame("box", 120), frame("box", 122), frame("box", 121)),
        ("cup 120|121|122", frame("cup", 120), frame("cup", 122), frame("cup", 121)),
    ]
    cube = os.path.join(root, "visp-mbt-cube-gray")
    sets["visp-mbt-cube-gray (extra)"] = [
        ("0060|0061|0062", os.path.join(cube, "image0060.png"), os.path.join(cube, "image0062.png"),
         os.path.join(cube, "image0061.png"))]
    return sets


def load_rgb8(path: str) -> np.ndarray:
    """[H, W, 3] uint8; grayscale replicated to three channels."""
    img = Image.open(path)
    if img.mode != "RGB":
        img = img.convert("L").convert("RGB") if img.mode in ("L", "I", "I;16", "P") else img.convert("RGB")
    return np.asarray(img, dtype=np.uint8)


def to_network(rgb8: np.ndarray) -> torch.Tensor:
    x = torch.from_numpy(rgb8.astype(np.float32) / 255.0).permute(2, 0, 1).unsqueeze(0)
    return padding.pad(pu21_encode(srgb_to_linear(x)))


def from_network(y: torch.Tensor, h: int, w: int) -> np.ndarray:
    y = padding.unpad(y.float(), h, w)
    s = linear_to_srgb(pu21_decode(y))
    s = torch.floor(s * 255.0 + 0.5).clamp(0, 255)
    return s[0].permute(1, 2, 0).numpy().astype(np.uint8)


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 20.0 * math.log10(255.0 / math.sqrt(mse))


def ssim(a: np.ndarray, b: np.ndarray) -> float:
    """Mean SSIM, 11x11 Gaussian window (sigma 1.5), valid region, per
    channel then averaged; 8-bit dynamic range."""
    g = torch.exp(-((torch.arange(11, dtype=torch.float64) - 5.0) ** 2) / (2 * 1.5 ** 2))
    g = g / g.sum()
    win = (g[:, None] * g[None, :]).view(1, 1, 11, 11).repeat(3, 1, 1, 1)
    x = torch.from_numpy(a.astype(np.float64)).permute(2, 0, 1).unsqueeze(0)
    y = torch.from_numpy(b.astype(np.float64)).permute(2, 0, 1).unsqueeze(0)

    def filt(z: torch.Tensor) -> torch.Tensor:
        return F.conv2d(z, win, groups=3)

    c1 = (0.01 * 255) ** 2
    c2 = (0.03 * 255) ** 2
    mx, my = filt(x), filt(y)
    sxx = filt(x * x) - mx * mx
    syy = filt(y * y) - my * my
    sxy = filt(x * y) - mx * my
    m = ((2 * mx * my + c1) * (2 * sxy + c2)) / ((mx * mx + my * my + c1) * (sxx + syy + c2))
    return float(m.mean(dim=(2, 3)).mean())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=DEFAULT_DATA)
    ap.add_argument("--model", help="TorchScript archive (default: script the network here)")
    ap.add_argument("--weights", help="learned weights (default: those of scripts/fetch-weights)")
    ap.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                    help="override a hyperparameter of build_network (a Python literal)")
    ap.add_argument("--substep-index", type=int, default=1)
    ap.add_argument("--flow-magnitude", type=int, default=1)
    ap.add_argument("--threshold", type=float, default=0.001)
    ap.add_argument("--warp-downscale", type=float, default=1.0)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--bf16", action="store_true",
                    help="convolutions in bfloat16 under CPU autocast, as renders on CPUs with native bfloat16 run")
    ap.add_argument("--only", action="append", default=[], metavar="SET",
                    help="evaluate only these sets (for tuning)")
    args = ap.parse_args()
    torch.set_num_threads(args.threads)

    if args.model:
        net = torch.jit.load(args.model)
    else:
        overrides = {k: ast.literal_eval(v) for k, v in (s.split("=", 1) for s in args.set)}
        net = torch.jit.script(build_network(args.weights or default_weights(), **overrides))
    net.eval()

    print("arguments: substep_index %d, flow_magnitude %d, threshold %g, warp_downscale %g%s"
          % (args.substep_index, args.flow_magnitude, args.threshold, args.warp_downscale,
             ", bfloat16 convolutions" if args.bf16 else ""))
    print("%-28s %-20s %8s %7s   %8s %7s" % ("set", "triplet", "net PSNR", "SSIM", "blendPSNR", "SSIM"))
    main16: List[Tuple[float, float, float, float]] = []
    start = time.time()
    for name, items in triplets(args.data).items():
        if args.only and not any(name.startswith(o) for o in args.only):
            continue
        rows = []
        for label, p0, p1, pg in items:
            i0, i1, gt = load_rgb8(p0), load_rgb8(p1), load_rgb8(pg)
            h, w = gt.shape[0], gt.shape[1]
            with torch.no_grad(), torch.autocast("cpu", dtype=torch.bfloat16, enabled=args.bf16):
                # As the node calls it: the small-frame decision made for the whole frame.
                out = net(to_network(i0), to_network(i1), 0.5, args.substep_index, args.flow_magnitude,
                          args.threshold, net.frame_warp_downscale(h, w, args.warp_downscale))
            pred = from_network(out, h, w)
            blend = np.floor((i0.astype(np.float64) + i1.astype(np.float64)) / 2.0 + 0.5).astype(np.uint8)
            row = (psnr(pred, gt), ssim(pred, gt), psnr(blend, gt), ssim(blend, gt))
            rows.append(row)
            print("%-28s %-20s %8.2f %7.4f   %8.2f %7.4f" % (name, label, *row))
        mean = np.mean(np.array(rows), axis=0)
        print("%-28s %-20s %8.2f %7.4f   %8.2f %7.4f" % (name, "MEAN", *mean))
        if "extra" not in name:
            main16.extend(rows)
    mean = np.mean(np.array(main16), axis=0)
    print("%-28s %-20s %8.2f %7.4f   %8.2f %7.4f" % ("all 16 triplets", "MEAN", *mean))
    print("elapsed %.1f s" % (time.time() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
