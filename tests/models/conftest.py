"""Shared fixtures of the network tests: the learned weights, the network
(eager and scripted) and the developer test frames."""
import os
import subprocess
import sys

import numpy as np
import pytest
import torch
from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "models", "network"))
import padding  # noqa: E402
from pu21 import pu21_encode, srgb_to_linear  # noqa: E402
from tweenova_net import build_network  # noqa: E402

TESTDATA = os.environ.get("TWEENOVA_TESTDATA", os.path.join(ROOT, "..", "shared", "testdata"))

torch.set_num_threads(2)
torch._C._set_graph_executor_optimize(False)  # as the plug-in runs the network


def pytest_configure(config):
    # The plug-in loads TorchScript archives; torch's advice to move away from
    # TorchScript is not news to these tests.
    config.addinivalue_line("filterwarnings", "ignore:`torch.jit.:DeprecationWarning")


@pytest.fixture(scope="session")
def weights_dir() -> str:
    """TWEENOVA_WEIGHTS_DIR, or the folder scripts/fetch-weights fills."""
    folder = os.environ.get("TWEENOVA_WEIGHTS_DIR")
    if not folder:
        out = subprocess.run([os.path.join(ROOT, "scripts", "fetch-weights")], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        folder = out.strip().splitlines()[-1]
    return folder


@pytest.fixture(scope="session")
def network(weights_dir):
    return build_network(os.path.join(weights_dir, "flownet.pkl"))


@pytest.fixture(scope="session")
def scripted(network):
    return torch.jit.script(network)


def testdata_path(relpath: str) -> str:
    """The path of a developer test frame; skips the test, naming the folder,
    when the folder it lies in is not on this machine."""
    path = os.path.join(TESTDATA, relpath)
    folder = os.path.normpath(os.path.dirname(path))
    if not os.path.isdir(folder):
        pytest.skip(f"the developer test frames are not here: no folder {folder} (the shared test data "
                    "beside the checkout; TWEENOVA_TESTDATA names another place)")
    return path


def srgb(relpath: str) -> torch.Tensor:
    """A test frame as [1, 3, H, W] sRGB values in [0, 1]."""
    rgb = np.asarray(Image.open(testdata_path(relpath)).convert("RGB"), dtype=np.float32) / 255.0
    return torch.from_numpy(rgb).permute(2, 0, 1).unsqueeze(0).contiguous()


def encoded(relpath: str) -> torch.Tensor:
    """A test frame as the plug-in sends it: linear, PU21-encoded, padded to 32."""
    return padding.pad(pu21_encode(srgb_to_linear(srgb(relpath))))
