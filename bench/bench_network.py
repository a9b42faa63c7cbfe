#!/usr/bin/python3
"""Speed of the Tweenova network on one 1920x1080 frame pair, on the CPU.

The pair is a real frame pair from the developer test data (DAVIS e-bike,
960x540) upscaled 2x with bicubic filtering. The network sees it the way the
plug-in sends it: sRGB -> linear -> PU21, padded by replication to 1920x1088,
default arguments (t = 0.5, substep_index 1, flow_magnitude 1, threshold
0.001, warp_downscale 1.0). One warm-up call, then the median of the
repeats, in seconds per in-between frame.

Reference, timed in the same run on the same two frames: ffmpeg
`minterpolate=fps=2:mi_mode=mci:mc_mode=aobmc:me_mode=bidir` doubling a 1 fps
sequence of the two frames alternating (8 PNGs: A B A B ...; the filter
needs a few frames of look-ahead and emits nothing for a 2-frame input),
output discarded (`-f null`). Its time per in-between frame is (time with
minterpolate - time of the same command with the filter replaced by `fps=2`,
which decodes the same PNGs and discards their duplicates) / (frames output
- frames at whole input times, i.e. the in-between frames it made). Median
over three repeats.

Usage: bench_network.py [--threads N] [--ffmpeg-threads N] [--repeats N] [--data DIR] [--model ARCHIVE]
"""
import argparse
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import List, Tuple

import numpy as np
import torch
import torch.nn.functional as F
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "models", "network"))
from pu21 import pu21_encode, srgb_to_linear  # noqa: E402
from tweenova_net import build_network  # noqa: E402

DEFAULT_DATA = os.path.join(HERE, "..", "..", "shared", "testdata")


def machine() -> str:
    name = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    name = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d logical CPUs, %s" % (name, os.cpu_count() or 0, platform.platform())


SEQUENCE = 8  # frames of the alternating sequence given to ffmpeg


def make_pair(data: str, tmp: str) -> Tuple[str, str]:
    paths = []
    for i, name in enumerate(["frame10.png", "frame11.png"]):
        img = Image.open(os.path.join(data, "davis", "e-bike", name)).convert("RGB")
        img = img.resize((1920, 1080), Image.BICUBIC)
        for k in range(i, SEQUENCE, 2):
            img.save(os.path.join(tmp, "in_%d.png" % (k + 1)))
        paths.append(os.path.join(tmp, "in_%d.png" % (i + 1)))
    return paths[0], paths[1]


def to_network(path: str) -> torch.Tensor:
    rgb = np.asarray(Image.open(path).convert("RGB"), dtype=np.float32) / 255.0
    x = torch.from_numpy(rgb).permute(2, 0, 1).unsqueeze(0).contiguous()
    x = pu21_encode(srgb_to_linear(x))
    h, w = x.shape[2], x.shape[3]
    return F.pad(x, [0, 32 * ((w - 1) // 32 + 1) - w, 0, 32 * ((h - 1) // 32 + 1) - h], mode="replicate")


def time_network(net: torch.jit.ScriptModule, a: torch.Tensor, b: torch.Tensor, repeats: int) -> List[float]:
    times = []
    with torch.inference_mode():
        net(a, b, 0.5, 1, 1, 0.001, 1.0)  # warm-up (profiling run of the JIT)
        for _ in range(repeats):
            start = time.perf_counter()
            out = net(a, b, 0.5, 1, 1, 0.001, 1.0)
            times.append(time.perf_counter() - start)
    assert out.shape == a.shape
    return times


def run_ffmpeg(ffmpeg: str, tmp: str, vf: str, threads: int) -> Tuple[float, int]:
    cmd = [ffmpeg, "-hide_banner", "-nostdin", "-y", "-threads", str(threads), "-framerate", "1",
           "-i", os.path.join(tmp, "in_%d.png"), "-vf", vf, "-f", "null", "-"]
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
    elapsed = time.perf_counter() - start
    frames = [int(m) for m in re.findall(r"frame=\s*(\d+)", proc.stderr.replace("\r", "\n"))]
    return elapsed, frames[-1] if frames else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    # One libtorch thread is what tweenova-render uses by default: on this
    # 2-core machine OpenMP's spin-waiting makes two threads collapse as soon
    # as anything else runs. ffmpeg keeps its own threading (0 = automatic).
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--ffmpeg-threads", type=int, default=0)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--data", default=DEFAULT_DATA)
    ap.add_argument("--model", help="TorchScript archive (default: script the network here)")
    ap.add_argument("--ffmpeg", default=shutil.which("ffmpeg") or "/usr/bin/ffmpeg")
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    print("machine: %s" % machine())
    print("torch %s, threads %d (interop %d)" % (torch.__version__, torch.get_num_threads(),
                                                  torch.get_num_interop_threads()))

    tmp = tempfile.mkdtemp(prefix="tweenova_bench_")
    try:
        p0, p1 = make_pair(args.data, tmp)
        a, b = to_network(p0), to_network(p1)
        print("input: DAVIS e-bike pair upscaled to 1920x1080, padded to %dx%d" % (a.shape[3], a.shape[2]))
        net = torch.jit.load(args.model) if args.model else torch.jit.script(build_network())
        net.eval()
        times = time_network(net, a, b, args.repeats)
        net_s = statistics.median(times)
        print("network: median %.3f s per in-between frame (runs: %s)"
              % (net_s, ", ".join("%.3f" % t for t in times)))

        if os.path.exists(args.ffmpeg):
            mci = "minterpolate=fps=2:mi_mode=mci:mc_mode=aobmc:me_mode=bidir"
            per_frame = []
            for _ in range(3):
                t_mci, n_mci = run_ffmpeg(args.ffmpeg, tmp, mci, args.ffmpeg_threads)
                t_base, _ = run_ffmpeg(args.ffmpeg, tmp, "fps=2", args.ffmpeg_threads)
                interp = n_mci - (n_mci + 1) // 2  # outputs at half-integer times
                if interp < 1:
                    raise RuntimeError("ffmpeg made no in-between frames")
                per_frame.append((t_mci - t_base) / interp)
            ff_s = statistics.median(per_frame)
            print("ffmpeg minterpolate (mci, aobmc, bidir): median %.3f s per in-between frame "
                  "(%d frames out of %d, %d in-between; runs: %s)" % (ff_s, n_mci, SEQUENCE, interp, ", ".join("%.3f" % t for t in per_frame)))
            print("ratio network / ffmpeg: %.2f" % (net_s / ff_s))
        else:
            print("ffmpeg not found at %s: reference skipped" % args.ffmpeg)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
        print("peak memory (ru_maxrss of this process): %.0f MiB" % peak)
        print("target: at most 1.000 s per in-between frame: %s" % ("met" if net_s <= 1.0 else "NOT met"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
