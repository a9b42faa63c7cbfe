#!/usr/bin/env python3
"""End-to-end quality: interpolate the middle frame of every test triplet with
tweenova-render itself (frame mode, output frame 10 at source position 10.5 of
a two-frame sequence numbered 10 and 11) and measure it against the true
middle frame. Prints PSNR and SSIM per triplet, the means per set and over
the 16 triplets, and frame blending as a baseline in the same run.

    scripts/python eval/evaluate_render.py [--build build] [--data ../shared/testdata] [-- extra render options]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "models", "network"))
from evaluate import DEFAULT_DATA, load_rgb8, psnr, ssim, triplets  # noqa: E402


def render_middle(render: str, first: str, second: str, work: str, extra: list) -> np.ndarray:
    src = os.path.join(work, "in")
    out = os.path.join(work, "out")
    for d in (src, out):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    shutil.copyfile(first, os.path.join(src, "in.0010.png"))
    shutil.copyfile(second, os.path.join(src, "in.0011.png"))
    cmd = [render, os.path.join(src, "in.####.png"), os.path.join(out, "out.####.png"),
           "--set", "mode=Frame", "--set", "output_frame=10.5", "-F", "10-10", "-q"] + extra
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("tweenova-render failed (%d): %s" % (done.returncode, done.stderr.strip()))
    return load_rgb8(os.path.join(out, "out.0010.png"))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--data", default=DEFAULT_DATA)
    ap.add_argument("extra", nargs="*", help="further tweenova-render options (after --)")
    args = ap.parse_args()
    render = os.path.join(args.build, "tweenova-render")

    print("%-28s %-20s %8s %7s %8s %7s %7s" % ("set", "triplet", "PSNR", "SSIM", "blend", "SSIM", "s"))
    overall, overall_blend = [], []
    with tempfile.TemporaryDirectory() as work:
        for name, items in triplets(args.data).items():
            extra_set = "extra" in name
            scores, blends = [], []
            for label, a, b, gt in items:
                i0, i1, truth = load_rgb8(a), load_rgb8(b), load_rgb8(gt)
                t0 = time.time()
                out = render_middle(render, a, b, work, args.extra)
                seconds = time.time() - t0
                blend = np.floor((i0.astype(np.float64) + i1.astype(np.float64)) / 2.0 + 0.5).astype(np.uint8)
                s = (psnr(out, truth), ssim(out, truth))
                bl = (psnr(blend, truth), ssim(blend, truth))
                scores.append(s)
                blends.append(bl)
                print("%-28s %-20s %8.2f %7.4f %8.2f %7.4f %7.2f" % (name, label, s[0], s[1], bl[0], bl[1], seconds))
            mean = np.mean(scores, axis=0)
            mean_blend = np.mean(blends, axis=0)
            print("%-28s %-20s %8.2f %7.4f %8.2f %7.4f" % (name, "MEAN", mean[0], mean[1], mean_blend[0],
                                                             mean_blend[1]))
            if not extra_set:
                overall += scores
                overall_blend += blends
    m, mb = np.mean(overall, axis=0), np.mean(overall_blend, axis=0)
    print("%-28s %-20s %8.2f %7.4f %8.2f %7.4f" % ("all %d triplets" % len(overall), "MEAN", m[0], m[1], mb[0], mb[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
