#!/usr/bin/python3
"""Script the Tweenova network and save it as a TorchScript archive.

Usage: export.py --out PATH

Writes PATH (torch.jit.script(...).save) and PATH.json, which records what
the network expects from its caller. Nothing is downloaded: the network has
no learned weights.
"""
import argparse
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tweenova_net import VERSION, build_network, default_params  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", required=True, help="path of the TorchScript archive to write")
    args = ap.parse_args()

    net = build_network().eval()
    scripted = torch.jit.script(net)
    out_dir = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(out_dir, exist_ok=True)
    scripted.save(args.out)

    meta = {
        "name": "tweenova_net",
        "version": VERSION,
        "value_range": "PU21",
        "pad_multiple": 32,
        "channel_order": "RGB",
        "rows": "top-down",
        "input_shape": "[1, 3, H, W], H and W multiples of 32",
        "output_shape": "[1, 3, H, W]",
        "forward": ["img0", "img1", "timestep: float", "substep_index: int (0-5)",
                    "flow_magnitude: int (1-3)", "threshold: float", "warp_downscale: float (1.0, 0.5, 0.25)"],
        "defaults": {"substep_index": 1, "flow_magnitude": 1, "threshold": 0.001, "warp_downscale": 1.0},
        "attributes": {"cast_half": bool(scripted.cast_half), "synth_fp32": bool(scripted.synth_fp32)},
        "hyperparameters": default_params(),
        "torch_version": torch.__version__,
    }
    with open(args.out + ".json", "w") as f:
        json.dump(meta, f, indent=2, sort_keys=True)
        f.write("\n")
    print("wrote %s and %s.json" % (args.out, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
