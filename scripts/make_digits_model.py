#!/usr/bin/env python3
"""Trains the small digits classifier of examples/digits and writes it as
ONNX, with its calibration and held-out samples.

The data set is scikit-learn's 8x8 digits (1,797 images). A fixed shuffle
splits it: the first 1,197 images train the network, 200 of them become
the calibration set, the last 600 (never trained on) the validation set.
The network, trained with NumPy alone: a 3x3 convolution of 1 to 64
channels with a ReLU, 2x2 max pooling, a second 3x3 convolution of 64 to
48 channels with a ReLU, flattening and a dense layer to the 10 classes
(about 36,000 weights: enough for the int8 model's flash and arena to show
their size against the float model's).

    /usr/bin/python3 scripts/make_digits_model.py examples/digits
"""
import pathlib
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper, TensorProto
from sklearn.datasets import load_digits

rng = np.random.default_rng(7)
C1, C2 = 64, 48


def split():
    d = load_digits()
    x = (d.images / 16.0).astype(np.float32)[:, None]  # N, 1, 8, 8
    order = np.random.default_rng(0).permutation(len(x))
    x, y = x[order], d.target[order]
    return x[:1197], y[:1197], x[1197:], y[1197:]


def im2col(x, k=3, pad=1):
    n, c, h, w = x.shape
    p = np.pad(x, ((0, 0), (0, 0), (pad, pad), (pad, pad)))
    cols = np.empty((n, c, k, k, h, w), x.dtype)
    for i in range(k):
        for j in range(k):
            cols[:, :, i, j] = p[:, :, i:i + h, j:j + w]
    return cols.transpose(0, 4, 5, 1, 2, 3).reshape(n * h * w, c * k * k)


def col2im(cols, shape, k=3, pad=1):
    n, c, h, w = shape
    cols = cols.reshape(n, h, w, c, k, k).transpose(0, 3, 4, 5, 1, 2)
    p = np.zeros((n, c, h + 2 * pad, w + 2 * pad), cols.dtype)
    for i in range(k):
        for j in range(k):
            p[:, :, i:i + h, j:j + w] += cols[:, :, i, j]
    return p[:, :, pad:pad + h, pad:pad + w]


class Net:
    def __init__(self):
        self.p = {
            "w1": rng.normal(0, np.sqrt(2 / 9), (C1, 1, 3, 3)),
            "b1": np.zeros(C1),
            "w2": rng.normal(0, np.sqrt(2 / (9 * C1)), (C2, C1, 3, 3)),
            "b2": np.zeros(C2),
            "w3": rng.normal(0, np.sqrt(1 / (16 * C2)), (10, 16 * C2)),
            "b3": np.zeros(10),
        }

    def conv(self, x, w, b):
        n, c, h, wd = x.shape
        cols = im2col(x)
        y = cols @ w.reshape(len(w), -1).T + b
        return y.reshape(n, h, wd, -1).transpose(0, 3, 1, 2), cols

    def forward(self, x):
        p = self.p
        z1, c1 = self.conv(x, p["w1"], p["b1"])
        a1 = np.maximum(z1, 0)
        n = len(x)
        blocks = a1.reshape(n, C1, 4, 2, 4, 2)
        m1 = blocks.max(axis=(3, 5))
        mask = blocks == m1[:, :, :, None, :, None]
        z2, c2 = self.conv(m1, p["w2"], p["b2"])
        a2 = np.maximum(z2, 0)
        f = a2.reshape(n, -1)
        out = f @ p["w3"].T + p["b3"]
        return out, (x, c1, z1, mask, m1, c2, z2, f)

    def backward(self, g, cache):
        x, c1, z1, mask, m1, c2, z2, f = cache
        p, n = self.p, len(x)
        grads = {"w3": g.T @ f, "b3": g.sum(0)}
        gf = (g @ p["w3"]).reshape(z2.shape) * (z2 > 0)
        g2 = gf.transpose(0, 2, 3, 1).reshape(-1, C2)
        grads["w2"] = (g2.T @ c2).reshape(p["w2"].shape)
        grads["b2"] = g2.sum(0)
        gm1 = col2im(g2 @ p["w2"].reshape(C2, -1), m1.shape)
        ga1 = (mask * gm1[:, :, :, None, :, None]).reshape(z1.shape)
        g1 = (ga1 * (z1 > 0)).transpose(0, 2, 3, 1).reshape(-1, C1)
        grads["w1"] = (g1.T @ c1).reshape(p["w1"].shape)
        grads["b1"] = g1.sum(0)
        return grads


def train(x, y, epochs=30):
    net = Net()
    m = {k: np.zeros_like(v) for k, v in net.p.items()}
    v = {k: np.zeros_like(w) for k, w in net.p.items()}
    t = 0
    for _ in range(epochs):
        order = rng.permutation(len(x))
        for s in range(0, len(x), 32):
            idx = order[s:s + 32]
            out, cache = net.forward(x[idx].astype(np.float64))
            e = np.exp(out - out.max(1, keepdims=True))
            prob = e / e.sum(1, keepdims=True)
            prob[np.arange(len(idx)), y[idx]] -= 1
            grads = net.backward(prob / len(idx), cache)
            t += 1
            for k in net.p:
                m[k] = 0.9 * m[k] + 0.1 * grads[k]
                v[k] = 0.999 * v[k] + 0.001 * grads[k] ** 2
                mh, vh = m[k] / (1 - 0.9 ** t), v[k] / (1 - 0.999 ** t)
                net.p[k] -= 0.003 * mh / (np.sqrt(vh) + 1e-8)
    return net


def to_onnx(net):
    p = {k: v.astype(np.float32) for k, v in net.p.items()}
    inits = [numpy_helper.from_array(p[k], k) for k in p]
    inits.append(numpy_helper.from_array(np.array([1, 16 * C2], np.int64), "flat"))
    nodes = [
        helper.make_node("Conv", ["image", "w1", "b1"], ["z1"],
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["z1"], ["a1"]),
        helper.make_node("MaxPool", ["a1"], ["m1"], kernel_shape=[2, 2],
                         strides=[2, 2]),
        helper.make_node("Conv", ["m1", "w2", "b2"], ["z2"],
                         kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["z2"], ["a2"]),
        helper.make_node("Reshape", ["a2", "flat"], ["f"]),
        helper.make_node("Gemm", ["f", "w3", "b3"], ["logits"], transB=1),
    ]
    graph = helper.make_graph(
        nodes, "digits",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT,
                                       [1, 1, 8, 8])],
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, [1, 10])],
        inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "examples/digits")
    out.mkdir(parents=True, exist_ok=True)
    x, y, xt, yt = split()
    net = train(x, y)
    acc = (net.forward(xt.astype(np.float64))[0].argmax(1) == yt).mean()
    print(f"held-out accuracy {acc:.4f}")
    onnx.save(to_onnx(net), out / "digits.onnx")
    np.savez(out / "calibration.npz", image=x[:200])
    np.savez(out / "validation.npz", image=xt)
    np.save(out / "validation_labels.npy", yt.astype(np.int64))


if __name__ == "__main__":
    main()
