#!/usr/bin/python3
"""Convert frame triplets (or pairs) of sRGB PNG files into the frame files
tweenova-device-check reads.

Usage: write_frame_files.py --out DIR NAME=FIRST,SECOND[,MIDDLE] ...

Each NAME becomes DIR/NAME.frames: one text line
"tweenova-frames 1 WIDTH HEIGHT COUNT", then COUNT images (FIRST, SECOND
and, when given, the true MIDDLE frame), each as three planes (red, green,
blue) of WIDTH x HEIGHT little-endian float32 values in linear light, rows
top-down.
"""
import argparse
import os
import sys

import numpy as np
from PIL import Image

MAGIC = "tweenova-frames 1"


def srgb_to_linear(v: np.ndarray) -> np.ndarray:
    """The sRGB decoding curve, on values in [0, 1]."""
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def read_linear_planes(path: str) -> np.ndarray:
    """[3, H, W] float32 linear values of an 8-bit sRGB image."""
    with Image.open(path) as im:
        rgb = np.asarray(im.convert("RGB"), dtype=np.float64) / 255.0
    return srgb_to_linear(rgb).astype("<f4").transpose(2, 0, 1).copy()


def write_frame_file(out_path: str, image_paths: list) -> int:
    images = [read_linear_planes(p) for p in image_paths]
    shape = images[0].shape
    for path, image in zip(image_paths, images):
        if image.shape != shape:
            raise SystemExit("write_frame_files: error: %s is %dx%d, the first frame %dx%d"
                             % (path, image.shape[2], image.shape[1], shape[2], shape[1]))
    with open(out_path, "wb") as f:
        f.write(("%s %d %d %d\n" % (MAGIC, shape[2], shape[1], len(images))).encode("ascii"))
        for image in images:
            f.write(image.tobytes())
    return os.path.getsize(out_path)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True, help="folder to write the frame files into")
    ap.add_argument("sets", nargs="+", metavar="NAME=FIRST,SECOND[,MIDDLE]")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for entry in args.sets:
        name, _, files = entry.partition("=")
        paths = files.split(",")
        if not name or len(paths) not in (2, 3):
            ap.error("expected NAME=FIRST,SECOND[,MIDDLE], got " + entry)
        size = write_frame_file(os.path.join(args.out, name + ".frames"), paths)
        print("  %s.frames: %d bytes" % (name, size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
