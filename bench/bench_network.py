#!/usr/bin/python3
"""Speed and memory of the Tweenova network on one 1920x1080 frame pair, on
the CPU.

The pair is a real frame pair from the developer test data (DAVIS e-bike,
960x540) upscaled 2x with bicubic filtering. The network sees it the way the
plug-in sends it: sRGB -> linear -> PU21, padded by replication to 1920x1088,
scripted and run with the graph optimiser off (as the plug-in runs it),
default arguments (t = 0.5, substep_index 1: one pass, flow_magnitude 1,
threshold 0.001, warp_downscale 1.0), then substep_index 0 (the draft) and 2
(two passes). One warm-up call, then the median of the rounds, in seconds
per in-between frame. Peak
memory is the process's resident peak after the first default call, then
after the other settings' first calls (before the reference below is loaded).
The process allocates as tweenova-render does (keep_buffers_on_the_heap).

Reference network, timed in the same run with the same thread count: the
module the learned weights were published with (reference_ifnet.py in the
weights folder) on the same frames as sRGB in [0, 1], padded alike to
1920x1088 (its own rule, multiples of 128, would give 1920x1152), scales 16,
8, 4, 2, 1: the work of the default (one pass).

ffmpeg, timed in the same run on the same two frames:
`minterpolate=fps=2:mi_mode=mci:mc_mode=aobmc:me_mode=bidir` doubling a 1 fps
sequence of the two frames alternating (8 PNGs: A B A B ...; the filter
needs a few frames of look-ahead and emits nothing for a 2-frame input),
output discarded (`-f null`). Its time per in-between frame is (time with
minterpolate - time of the same command with the filter replaced by `fps=2`,
which decodes the same PNGs and discards their duplicates) / (frames output
- frames at whole input times, i.e. the in-between frames it made).

The measurements run in rounds, each taking all of them in turn.

Usage: bench_network.py [--threads N] [--ffmpeg-threads N] [--repeats N] [--data DIR]
                        [--weights PATH] [--model ARCHIVE]
"""
import argparse
import ctypes
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
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "models", "network"))
import padding  # noqa: E402
from evaluate import default_weights  # noqa: E402
from pu21 import pu21_encode, srgb_to_linear  # noqa: E402
from reference import reference_network  # noqa: E402
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


def load_srgb(path: str) -> torch.Tensor:
    rgb = np.asarray(Image.open(path).convert("RGB"), dtype=np.float32) / 255.0
    return torch.from_numpy(rgb).permute(2, 0, 1).unsqueeze(0).contiguous()


def to_network(path: str) -> torch.Tensor:
    return padding.pad(pu21_encode(srgb_to_linear(load_srgb(path))))


def time_call(call, warm_up: bool) -> float:
    """Seconds one call takes (after one untimed call when warm_up: the
    profiling run of the JIT)."""
    with torch.inference_mode():
        if warm_up:
            call()
        start = time.perf_counter()
        call()
        return time.perf_counter() - start


def runs(times: List[float]) -> str:
    return "median %.3f s per in-between frame (runs: %s)" % (
        statistics.median(times), ", ".join("%.3f" % t for t in times))


def run_ffmpeg(ffmpeg: str, tmp: str, vf: str, threads: int) -> Tuple[float, int]:
    cmd = [ffmpeg, "-hide_banner", "-nostdin", "-y", "-threads", str(threads), "-framerate", "1",
           "-i", os.path.join(tmp, "in_%d.png"), "-vf", vf, "-f", "null", "-"]
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
    elapsed = time.perf_counter() - start
    frames = [int(m) for m in re.findall(r"frame=\s*(\d+)", proc.stderr.replace("\r", "\n"))]
    return elapsed, frames[-1] if frames else 0


def keep_buffers_on_the_heap() -> None:
    """glibc's allocation settings of tweenova-render (cli/main.cpp): large
    buffers stay on the heap instead of being mapped and faulted in afresh
    for every call, which costs the network about a fifth of its time."""
    libc = ctypes.CDLL("libc.so.6")
    m_trim_threshold, m_mmap_threshold, m_mmap_max, m_arena_max = -1, -3, -4, -8
    libc.mallopt(m_mmap_threshold, 32 << 20)
    libc.mallopt(m_trim_threshold, 1 << 30)
    libc.mallopt(m_mmap_max, 0)
    libc.mallopt(m_arena_max, 1)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    # One libtorch thread is what tweenova-render uses by default: on this
    # 2-core machine OpenMP's spin-waiting makes two threads collapse as soon
    # as anything else runs. ffmpeg keeps its own threading (0 = automatic).
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--ffmpeg-threads", type=int, default=0)
    ap.add_argument("--repeats", type=int, default=3, help="rounds of measurements")
    ap.add_argument("--data", default=DEFAULT_DATA)
    ap.add_argument("--model", help="TorchScript archive (default: script the network here)")
    ap.add_argument("--weights", help="learned weights (default: those of scripts/fetch-weights)")
    ap.add_argument("--ffmpeg", default=shutil.which("ffmpeg") or "/usr/bin/ffmpeg")
    args = ap.parse_args()
    keep_buffers_on_the_heap()
    torch.set_num_threads(args.threads)
    torch._C._set_graph_executor_optimize(False)  # as the plug-in runs the network
    weights = args.weights or default_weights()
    print("machine: %s" % machine())
    print("torch %s, threads %d (interop %d)" % (torch.__version__, torch.get_num_threads(),
                                                  torch.get_num_interop_threads()))

    tmp = tempfile.mkdtemp(prefix="tweenova_bench_")
    try:
        p0, p1 = make_pair(args.data, tmp)
        a, b = to_network(p0), to_network(p1)
        print("input: DAVIS e-bike pair upscaled to 1920x1080, padded to %dx%d" % (a.shape[3], a.shape[2]))
        net = torch.jit.load(args.model) if args.model else torch.jit.script(build_network(weights))
        net.eval()
        ref = None
        ra, rb = padding.pad(load_srgb(p0)), padding.pad(load_srgb(p1))
        mci = "minterpolate=fps=2:mi_mode=mci:mc_mode=aobmc:me_mode=bidir"
        have_ffmpeg = os.path.exists(args.ffmpeg)
        # Where the CPU computes bfloat16, renders run the convolutions in it (CPU autocast).
        native_bf16 = bool(torch._C._cpu._get_cpu_capability().get("avx512_bf16")) or \
            bool(torch._C._cpu._get_cpu_capability().get("amx_bf16"))
        print("CPU path of renders: %s" % ("bfloat16 convolutions" if native_bf16 else "float32 (no native bfloat16)"))
        bf16_s: List[float] = []
        default_s: List[float] = []
        draft_s: List[float] = []
        two_s: List[float] = []
        ref_s: List[float] = []
        ff_s: List[float] = []
        # Rounds of every measurement in turn, so that a change in the
        # machine's load shows in all of them alike.
        for round_index in range(args.repeats):
            default_s.append(time_call(lambda: net(a, b, 0.5, 1, 1, 0.001, 1.0), round_index == 0))
            if native_bf16:
                with torch.autocast("cpu", dtype=torch.bfloat16):
                    bf16_s.append(time_call(lambda: net(a, b, 0.5, 1, 1, 0.001, 1.0), round_index == 0))
            if round_index == 0:
                peak_default = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
            draft_s.append(time_call(lambda: net(a, b, 0.5, 0, 1, 0.001, 1.0), round_index == 0))
            two_s.append(time_call(lambda: net(a, b, 0.5, 2, 1, 0.001, 1.0), round_index == 0))
            if ref is None:
                peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
                ref = reference_network(weights)
            ref_s.append(time_call(lambda: ref(torch.cat([ra, rb], 1), 0.5, [16, 8, 4, 2, 1]), round_index == 0))
            if have_ffmpeg:
                t_mci, n_mci = run_ffmpeg(args.ffmpeg, tmp, mci, args.ffmpeg_threads)
                t_base, _ = run_ffmpeg(args.ffmpeg, tmp, "fps=2", args.ffmpeg_threads)
                interp = n_mci - (n_mci + 1) // 2  # outputs at half-integer times
                if interp < 1:
                    raise RuntimeError("ffmpeg made no in-between frames")
                ff_s.append((t_mci - t_base) / interp)

        print("network, default arguments (substep_index 1, one pass): %s" % runs(default_s))
        if bf16_s:
            print("network, default arguments, bfloat16 convolutions (the render's path here): %s" % runs(bf16_s))
        print("network, substep_index 0 (draft): %s" % runs(draft_s))
        print("network, substep_index 2 (two passes): %s" % runs(two_s))
        print("peak memory (ru_maxrss of this process) after the default runs: %.0f MiB (target at most "
              "2048: %s); after substep_index 0 and 2 too, before the reference module is loaded: %.0f MiB"
              % (peak_default, "met" if peak_default <= 2048 else "NOT met", peak))
        net_s, reference = statistics.median(default_s), statistics.median(ref_s)
        print("reference module, one pass (%dx%d): %s" % (ra.shape[3], ra.shape[2], runs(ref_s)))
        print("ratio network (default arguments) / reference: %.2f (target at most 0.60: %s)"
              % (net_s / reference, "met" if net_s <= 0.6 * reference else "NOT met"))
        if bf16_s:
            print("ratio network (bfloat16 convolutions) / reference: %.2f" % (statistics.median(bf16_s) / reference))
        if have_ffmpeg:
            ff = statistics.median(ff_s)
            print("ffmpeg minterpolate (mci, aobmc, bidir): %s" % runs(ff_s))
            # One forward call on one core; the render's own target (bench_render.py) counts
            # whole frames on every core, files and model load included.
            print("ratio network (default arguments) / ffmpeg: %.2f; substep_index 0: %.2f, 2: %.2f"
                  % (net_s / ff, statistics.median(draft_s) / ff, statistics.median(two_s) / ff))
        else:
            print("ffmpeg not found at %s: its timing skipped" % args.ffmpeg)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
