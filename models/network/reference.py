"""The module the network's weights were published with, kept beside the
weights by scripts/fetch-weights. Only the tests and the benchmark load it, to
check our network against it; the plug-in never does."""
import importlib.util
import os

import torch

from tweenova_net import TRAINING_ONLY


def reference_network(weights: str) -> torch.nn.Module:
    """The published module with the weights in `weights` (its flownet.pkl), eval mode, on the CPU."""
    source = importlib.util.spec_from_file_location(
        "reference_ifnet", os.path.join(os.path.dirname(os.path.abspath(weights)), "reference_ifnet.py"))
    module = importlib.util.module_from_spec(source)
    source.loader.exec_module(module)
    net = module.IFNet(torch.device("cpu"))
    state = torch.load(weights, map_location="cpu", weights_only=True)
    net.load_state_dict({k: v for k, v in state.items() if not k.startswith(TRAINING_ONLY)})
    return net.eval()
