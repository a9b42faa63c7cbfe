"""How the render's scene-cut test decides on real frame pairs: pairs from
one shot (the developer triplets' outer frames, consecutive frames of the
demo clip) must be interpolated, pairs across a cut (a triplet's first
frame against another triplet's last, the demo clip against another video)
must hold the nearer frame. Runs build/tweenova-render with debug on and
reads its scene check line.

Usage: scripts/python eval/scene_cuts.py [--data DIR] [--render PROGRAM]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
CLIP = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi"
OTHER_CLIP = "/usr/share/doc/opencv-doc/examples/data/vtest.avi"
CHECK = re.compile(r"scene check: ([0-9.e+-]+)% of the blocks unmatched")


def triplets(data):
    """(name, first input, last input) of every developer triplet."""
    out = []
    for i in sorted(os.listdir(os.path.join(data, "ucf101-dvf"))):
        d = os.path.join(data, "ucf101-dvf", i)
        out.append(("ucf101 " + i, os.path.join(d, "frame_00.png"), os.path.join(d, "frame_02.png")))
    for s in sorted(os.listdir(os.path.join(data, "davis"))):
        d = os.path.join(data, "davis", s)
        out.append(("davis " + s, os.path.join(d, "frame10.png"), os.path.join(d, "frame11.png")))
    for v in sorted(os.listdir(os.path.join(data, "opencv-doc-video"))):
        d = os.path.join(data, "opencv-doc-video", v)
        frames = sorted(f for f in os.listdir(d) if f.endswith(".png"))
        out.append(("video " + v, os.path.join(d, frames[0]), os.path.join(d, frames[-1])))
    d = os.path.join(data, "visp-mbt-cube-gray")
    out.append(("visp cube", os.path.join(d, "image0060.png"), os.path.join(d, "image0062.png")))
    return out


def clip_frames(path, first, count, folder):
    """Frames first ... first + count - 1 of a movie as PNG files."""
    pattern = os.path.join(folder, os.path.basename(path) + ".%04d.png")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", path, "-vf", f"select='gte(n,{first})'",
                    "-vsync", "0", "-frames:v", str(count), pattern], check=True)
    return [pattern % (i + 1) for i in range(count)]


def unmatched(render, first, second, folder):
    """The share of unmatched blocks the render reports for a pair, as sRGB 8-bit frames of one size."""
    a = Image.open(first).convert("RGB")
    b = Image.open(second).convert("RGB").resize(a.size, Image.BILINEAR)
    a.save(os.path.join(folder, "pair.0001.png"))
    b.save(os.path.join(folder, "pair.0002.png"))
    r = subprocess.run([render, os.path.join(folder, "pair.####.png"), os.path.join(folder, "out.####.png"),
                        "-F", "2", "--set", "debug=1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    m = CHECK.search(r.stdout)
    if r.returncode != 0 or not m:
        sys.exit("tweenova-render failed on %s and %s:\n%s" % (first, second, r.stdout[-2000:]))
    return float(m.group(1)) / 100.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=os.path.join(ROOT, "..", "shared", "testdata"))
    ap.add_argument("--render", default=os.path.join(ROOT, "build", "tweenova-render"))
    ap.add_argument("--cut-above", type=float, default=0.7, help="the render's threshold, for the verdicts")
    args = ap.parse_args()
    sets = triplets(args.data)
    with tempfile.TemporaryDirectory() as folder:
        demo = clip_frames(CLIP, 60, 24, folder)
        other = clip_frames(OTHER_CLIP, 100, 6, folder)
        same = [(name, a, b) for name, a, b in sets]
        same += [("demo %d|%d" % (60 + i, 61 + i), demo[i], demo[i + 1]) for i in range(len(demo) - 1)]
        cuts = [("%s | %s" % (sets[i][0], sets[(i + 1) % len(sets)][0]), sets[i][1], sets[(i + 1) % len(sets)][2])
                for i in range(len(sets))]
        cuts += [("demo %d | vtest" % (60 + i), demo[i], other[i]) for i in range(len(other))]
        failures = 0
        for title, pairs, cut in (("one shot (interpolate)", same, False), ("across a cut (hold)", cuts, True)):
            print(title)
            shares = []
            for name, a, b in pairs:
                share = unmatched(args.render, a, b, folder)
                shares.append(share)
                wrong = (share > args.cut_above) != cut
                failures += wrong
                print("  %-40s %5.1f %% unmatched%s" % (name, 100 * share, "  WRONG" if wrong else ""))
            print("  %d pairs, unmatched %.1f to %.1f %%" % (len(shares), 100 * min(shares), 100 * max(shares)))
        print("wrong decisions: %d" % failures)
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
