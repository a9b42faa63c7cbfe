#!/usr/bin/env python3
"""End-to-end speed and memory of tweenova-render on the CPU.

1. Retime: a 1920x1080 source of 13 frames (a synthetic texture moving 6 px
   per frame, with an orbiting disc, written as 8-bit PNGs) slowed to 0.5
   gives 24 output frames, each interpolated (source positions 1.25, 1.75,
   ...), written as half-float ZIP EXRs. Rendered one frame at a time and
   with the default (frames side by side). Reported: seconds per output
   frame, peak memory, and the share of the render spent outside the
   network's forward call (fetching, conversion, tiling, merge, writing),
   from the node's own timing lines (-v) and the render loop's elapsed time.
   ffmpeg's minterpolate (mci, aobmc, bidir) doubles the same 13 frames in
   the same run; its time per in-between frame is (time with the filter -
   time with fps doubling only) / in-between frames made.
2. Six in-between frames, whole processes: the first 7 frames of that source
   doubled by ffmpeg's minterpolate (mci, aobmc, bidir; its 6 in-between
   frames, output discarded) and the same 6 in-between frames by
   tweenova-render at default knobs (EXR files written), each timed as a
   whole process (start, model load, reading and writing included), in
   turns; the target is tweenova-render in at most 1.0x ffmpeg's time with
   at most 2.5 GiB peak memory; and one 64x64 in-between frame, for what a
   process costs beside its frames. The CPU's way of running the network
   (bfloat16 or float32 convolutions, from --version) is printed with it.
3. Memory: one 8192x4320 in-between frame with max_size 1024 (tiled) and with
   tiling off (max_size above the frame), peak resident memory of each run.

Usage: bench_render.py [--build build] [--repeats N] [--skip-8k | --only-8k] [--only-six]
"""
import argparse
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))


def machine() -> str:
    name = platform.machine()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                name = line.split(":", 1)[1].strip()
                break
    return "%s, %d logical CPUs, load average %.2f" % (name, os.cpu_count() or 0, os.getloadavg()[0])


def write_sequence(folder: str, width: int, height: int, frames: int, step: float) -> str:
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(7)
    base = rng.random((height // 8 + 2, width // 8 + 2, 3))
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    for f in range(1, frames + 1):
        sx = (xx + step * f) / 8.0
        sy = yy / 8.0
        x0 = np.floor(sx).astype(np.int64) % (base.shape[1] - 1)
        y0 = np.floor(sy).astype(np.int64) % (base.shape[0] - 1)
        fx = (sx - np.floor(sx))[..., None]
        fy = (sy - np.floor(sy))[..., None]
        img = (base[y0, x0] * (1 - fx) * (1 - fy) + base[y0, x0 + 1] * fx * (1 - fy) +
               base[y0 + 1, x0] * (1 - fx) * fy + base[y0 + 1, x0 + 1] * fx * fy)
        # A disc orbiting the centre: motion that is not a global shift.
        cx = width / 2 + width / 5 * np.cos(f * 0.3)
        cy = height / 2 + height / 5 * np.sin(f * 0.3)
        disc = ((xx - cx) ** 2 + (yy - cy) ** 2) < (height / 8) ** 2
        img[disc] = [0.9, 0.3, 0.1]
        path = os.path.join(folder, "src.%04d.png" % f)
        Image.fromarray((img * 255 + 0.5).astype(np.uint8), mode="RGB").save(path)
    return os.path.join(folder, "src.####.png")


def run(cmd):
    t0 = time.time()
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(cmd), done.stderr[-2000:]))
    return time.time() - t0, done.stdout, done.stderr


def peak_mib(stderr: str) -> float:
    m = re.search(r"peak memory (\d+) MiB", stderr)
    return float(m.group(1)) if m else float("nan")


def ffmpeg_per_inbetween(pattern: str, frames: int) -> float:
    src = pattern.replace("####", "%04d")
    base = ["ffmpeg", "-loglevel", "error", "-framerate", "24", "-i", src]
    with_filter = base + ["-vf", "minterpolate=fps=48:mi_mode=mci:mc_mode=aobmc:me_mode=bidir", "-f", "null", "-"]
    plain = base + ["-vf", "fps=48", "-f", "null", "-"]
    t_filter, _, _ = run(with_filter)
    t_plain, _, _ = run(plain)
    return (t_filter - t_plain) / (frames - 1)


def forward_seconds(output: str) -> float:
    """The node's forward timings, which tweenova-render passes on to stderr
    with the rest of the node's output."""
    times = re.findall(r"Inference time \(forward\): (\d+)ms", output)
    if not times:
        raise RuntimeError("no forward timings in the render's output (-v)")
    return sum(int(m) for m in times) / 1000.0


def render_seconds(stderr: str) -> float:
    """The render loop's own elapsed time: first frame started to last file written."""
    return float(re.search(r"([0-9.]+) s in all", stderr).group(1))


def hd_part(render: str, work: str, repeats: int) -> None:
    out = os.path.join(work, "out", "out.####.exr")
    pattern = write_sequence(os.path.join(work, "hd"), 1920, 1080, 13, 6.0)
    n_out = 24
    cores = os.cpu_count() or 1
    single, side = [], []
    for _ in range(repeats):
        # One frame at a time: the network's forward calls follow each other,
        # so the render's elapsed time splits into network and everything else.
        _, stdout, stderr = run([render, pattern, out, "-v", "--threads", "1", "--set", "speed=0.5"])
        single.append((render_seconds(stderr), forward_seconds(stdout + stderr), peak_mib(stderr)))
        # The default: frames side by side, one per core.
        _, stdout, stderr = run([render, pattern, out, "-v", "--set", "speed=0.5"])
        side.append((render_seconds(stderr), forward_seconds(stdout + stderr), peak_mib(stderr)))

    def median_run(runs, share):
        # The run with the median share, so that its figures belong together.
        return sorted(runs, key=share)[len(runs) // 2]

    wall, forward, _ = median_run(single, lambda r: 1.0 - r[1] / r[0])
    print("retime 1920x1080, 13 source frames at speed 0.5 -> %d output frames, all in-between "
          "(the run with the median share of %d)" % (n_out, repeats))
    print("one frame at a time (--threads 1, one libtorch thread):")
    print("  per output frame:      %.3f s  (render %.2f s, of it network forward %.2f s)"
          % (wall / n_out, wall, forward))
    print("  outside the network:   %.1f %% of the render's elapsed time (fetching, conversion, merge, writing; "
          "model load and the last file included)" % (100.0 * (wall - forward) / wall))
    print("  peak memory:           %.0f MiB" % max(r[2] for r in single))
    wall2, forward2, _ = median_run(side, lambda r: 1.0 - r[1] / (cores * r[0]))
    print("default (frames side by side, one per core, %d cores):" % cores)
    print("  per output frame:      %.3f s  (render %.2f s)" % (wall2 / n_out, wall2))
    print("  outside the network:   %.1f %% of the cores' time (forward calls %.2f s over %d cores x %.2f s)"
          % (100.0 * (1.0 - forward2 / (cores * wall2)), forward2, cores, wall2))
    print("  peak memory:           %.0f MiB" % max(r[2] for r in side))
    ff = ffmpeg_per_inbetween(pattern, 13)
    print("ffmpeg minterpolate:     %.3f s per in-between frame; tweenova (default) / ffmpeg = %.2f"
          % (ff, (wall2 / n_out) / ff if ff > 0 else float("nan")))


def six_frames(render: str, work: str, repeats: int) -> None:
    pattern = write_sequence(os.path.join(work, "six"), 1920, 1080, 7, 6.0)
    out = os.path.join(work, "out", "six.####.exr")
    ffmpeg = ["ffmpeg", "-loglevel", "error", "-framerate", "24", "-i", pattern.replace("####", "%04d"),
              "-vf", "minterpolate=fps=48:mi_mode=mci:mc_mode=aobmc:me_mode=bidir", "-f", "null", "-"]
    # At speed 0.5 every output frame lies between two source frames: 2, 4, ... 12 are
    # the positions 1.75, 2.75, ... 6.75, one between each pair, as ffmpeg's.
    tweenova = [render, pattern, out, "--set", "speed=0.5", "-F", "2,4,6,8,10,12"]
    # One 64x64 in-between frame: what a process costs beside its frames
    # (loading its libraries and the model, exiting).
    small = write_sequence(os.path.join(work, "small"), 64, 64, 2, 2.0)
    fixed_cost = [render, small, os.path.join(work, "out", "small.####.exr"), "--set", "speed=0.5", "-F", "2"]
    cpu = [l for l in run([render, "--version"])[1].splitlines() if l.startswith("CPU:")]
    native_bf16 = bool(cpu) and "bfloat16 (" in cpu[0]
    ff, tw, fp32, peaks, fixed, fixed_peaks = [], [], [], [], [], []
    for _ in range(repeats):
        ff.append(run(ffmpeg)[0])
        wall, _, stderr = run(tweenova)
        tw.append(wall)
        peaks.append(peak_mib(stderr))
        wall, _, stderr = run(fixed_cost)
        fixed.append(wall)
        fixed_peaks.append(peak_mib(stderr))
        if native_bf16:  # what the bfloat16 convolutions gain
            fp32.append(run(tweenova + ["--set", "use_bfloat16=off"])[0])
    ratios = sorted(t / f for t, f in zip(tw, ff))
    print("six 1920x1080 in-between frames, whole processes (%d turns): %s" % (repeats, cpu[0] if cpu else ""))
    print("  ffmpeg minterpolate:   %s s" % ", ".join("%.2f" % t for t in ff))
    print("  tweenova-render:       %s s, peak memory %.0f MiB" % (", ".join("%.2f" % t for t in tw), max(peaks)))
    print("  tweenova / ffmpeg:     median %.2f (turns: %s); target at most 1.0, peak at most 2560 MiB"
          % (ratios[len(ratios) // 2], ", ".join("%.2f" % r for r in ratios)))
    print("  one 64x64 frame:       %s s, peak memory %.0f MiB (a process's fixed cost)"
          % (", ".join("%.2f" % t for t in fixed), max(fixed_peaks)))
    if fp32:
        print("  float32 convolutions:  %s s (use_bfloat16=off); / ffmpeg median %.2f"
              % (", ".join("%.2f" % t for t in fp32), sorted(t / f for t, f in zip(fp32, ff))[len(ff) // 2]))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--skip-8k", action="store_true")
    ap.add_argument("--only-8k", action="store_true")
    ap.add_argument("--only-six", action="store_true", help="only the six frames against ffmpeg")
    args = ap.parse_args()
    render = os.path.join(args.build, "tweenova-render")
    print("machine:", machine())

    with tempfile.TemporaryDirectory() as work:
        os.makedirs(os.path.join(work, "out"))
        if not args.only_8k:
            six_frames(render, work, args.repeats)
        if args.only_six:
            return 0
        if not args.only_8k:
            hd_part(render, work, args.repeats)
        if not args.skip_8k:
            big = write_sequence(os.path.join(work, "8k"), 8192, 4320, 2, 12.0)
            for label, max_size in (("max_size 1024", "1024"), ("tiling off", "100000")):
                wall, _, stderr = run([render, big, os.path.join(work, "out", "big.####.exr"),
                                       "--set", "mode=Frame", "--set", "output_frame=1.5", "-F", "1-1",
                                       "--set", "max_size=" + max_size])
                print("8192x4320 in-between, %-14s %6.1f s, peak memory %.0f MiB" % (label, wall, peak_mib(stderr)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
