#!/usr/bin/env python3
"""Imports standard image classifiers of torchvision (random weights,
exported by torch.onnx.export at operator set 17) and runs each through
the exporter and the interpreter against ONNX Runtime: the largest
difference of the outputs, or the importer's error. Nothing is committed;
the models are written to a temporary folder.

    scripts/setup.sh models && scripts/setup.sh test && make build
    PYTHONPATH=build/python /usr/bin/python3 scripts/try_architectures.py [NAME ...]
"""
import os
import sys
import tempfile
import time

import numpy as np
import torch
import torchvision

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "reference"))
import onnx_reference  # noqa: E402
import sarnic_exporter as se  # noqa: E402

ARCHITECTURES = ["resnet18", "mobilenet_v2", "mobilenet_v3_small", "mobilenet_v3_large",
                 "efficientnet_b0", "regnet_x_400mf", "shufflenet_v2_x0_5", "squeezenet1_1",
                 "mnasnet0_5", "densenet121", "googlenet", "convnext_tiny", "vit_b_16",
                 "swin_t", "resnext50_32x4d", "alexnet", "vgg11"]


def randomise(net: torch.nn.Module) -> torch.nn.Module:
    """Batch norms with random statistics, and the parameters a network
    starts at zero (heads, biases) random: outputs of ordinary size."""
    with torch.no_grad():
        for m in net.modules():
            if isinstance(m, torch.nn.BatchNorm2d):
                m.running_mean.uniform_(-0.1, 0.1)
                m.running_var.uniform_(0.5, 1.5)
        for p in net.parameters():
            if not p.any():
                p.normal_(0.0, 0.05)
    return net.eval()


def main(names: list) -> None:
    runtime = onnx_reference.OnnxRuntime()
    x = np.random.default_rng(0).uniform(-2, 2, (1, 3, 224, 224)).astype(np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        for name in names or ARCHITECTURES:
            torch.manual_seed(0)
            kwargs = {"aux_logits": False, "init_weights": True} if name == "googlenet" else {}
            net = randomise(getattr(torchvision.models, name)(weights=None, **kwargs))
            path = os.path.join(tmp, f"{name}.onnx")
            # With gradients on, attention does not take its fused inference
            # path, which has no export.
            with torch.set_grad_enabled(name.startswith(("vit", "swin"))):
                torch.onnx.export(net, (torch.from_numpy(x),), path, input_names=["x"],
                                  output_names=["y"], opset_version=17)
            start = time.perf_counter()
            try:
                blob = se.SarnicExporter(se.load_onnx(path), name).run()
                got = se.Interpreter(blob).run({"x": x})["y"]
            except Exception as e:  # noqa: BLE001 - reported, the next one tried
                print(f"{name:22} refused: {e}")
                continue
            want = runtime.run(path, {"x": x})["y"]
            diff = float(np.abs(got - want).max())
            scale = float(np.abs(want).max())
            print(f"{name:22} max |diff| {diff:.2e} (outputs up to {scale:.2e}), "
                  f"{time.perf_counter() - start:.1f} s", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
