#!/usr/bin/env python3
"""Makes the small networks of tests/data/torch_networks with PyTorch:
random weights, batch norms with random statistics, each exported by
torch.onnx.export at operator set 17 with static shapes. The ONNX files
are committed; the tests never need PyTorch.

    scripts/setup.sh models   # PyTorch, from Debian
    /usr/bin/python3 scripts/make_onnx_networks.py tests/data/torch_networks
"""
import pathlib
import sys

import torch
from torch import nn

torch.manual_seed(11)


def randomise_norms(net: nn.Module) -> nn.Module:
    for m in net.modules():
        if isinstance(m, (nn.BatchNorm1d, nn.BatchNorm2d)):
            m.running_mean.uniform_(-0.5, 0.5)
            m.running_var.uniform_(0.5, 2.0)
            m.weight.data.uniform_(0.5, 1.5)
            m.bias.data.uniform_(-0.5, 0.5)
        if isinstance(m, nn.LayerNorm):
            m.weight.data.uniform_(0.5, 1.5)
            m.bias.data.uniform_(-0.5, 0.5)
    return net.eval()


class EncoderBlock(nn.Module):
    """A transformer encoder block (pre-norm attention and a GELU MLP) over
    a class token and patches, classified from the class token (x[:, 0])."""

    def __init__(self, d: int = 32, heads: int = 4, tokens: int = 9) -> None:
        super().__init__()
        self.embed = nn.Linear(12, d)
        self.cls = nn.Parameter(torch.randn(1, 1, d))
        self.pos = nn.Parameter(torch.randn(1, tokens + 1, d) * 0.1)
        self.norm1 = nn.LayerNorm(d)
        self.attn = nn.MultiheadAttention(d, heads, dropout=0.1, batch_first=True)
        self.norm2 = nn.LayerNorm(d)
        self.mlp = nn.Sequential(nn.Linear(d, 2 * d), nn.GELU(), nn.Dropout(0.1),
                                 nn.Linear(2 * d, d))
        self.head = nn.Linear(d, 5)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.embed(x)
        x = torch.cat([self.cls.expand(x.shape[0], -1, -1), x], dim=1) + self.pos
        y = self.norm1(x)
        x = x + self.attn(y, y, y, need_weights=False)[0]
        x = x + self.mlp(self.norm2(x))
        return self.head(x[:, 0])


class AudioClassifier(nn.Module):
    """1-D convolutions over [N, mel bands, frames], as keyword spotters
    have them."""

    def __init__(self) -> None:
        super().__init__()
        self.body = nn.Sequential(
            nn.Conv1d(16, 24, 5, padding=2), nn.BatchNorm1d(24), nn.ReLU(),
            nn.MaxPool1d(2),
            nn.Conv1d(24, 24, 3, padding=1, groups=24), nn.BatchNorm1d(24), nn.ReLU(),
            nn.Conv1d(24, 32, 1), nn.BatchNorm1d(32), nn.ReLU(),
            nn.AvgPool1d(2),
            nn.Conv1d(32, 32, 3, stride=2, dilation=2), nn.ReLU(),
            nn.AdaptiveAvgPool1d(1), nn.Flatten(), nn.Linear(32, 6))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.body(x)


class Sequence(nn.Module):
    """A recurrent sequence classifier: two stacked layers (the first
    bidirectional for the LSTM), classified from the last step."""

    def __init__(self, cell: str) -> None:
        super().__init__()
        kind = nn.LSTM if cell == "lstm" else nn.GRU
        self.first = kind(10, 16, batch_first=True, bidirectional=cell == "lstm")
        self.second = kind(32 if cell == "lstm" else 16, 16, batch_first=True)
        self.head = nn.Linear(16, 4)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y, _ = self.first(x)
        y, _ = self.second(y)
        return self.head(y[:, -1])


class Activations(nn.Module):
    """Every activation the importer decomposes, each on its own branch."""

    def __init__(self) -> None:
        super().__init__()
        self.fc = nn.Linear(8, 16)
        self.acts = nn.ModuleList([
            nn.ELU(), nn.ELU(alpha=0.4), nn.SELU(), nn.Softplus(), nn.Softsign(), nn.Mish(),
            nn.PReLU(), nn.PReLU(16, init=0.1), nn.Hardtanh(-0.5, 1.5), nn.ReLU6(), nn.GELU(),
            nn.GELU(approximate="tanh"), nn.SiLU(), nn.Hardswish(), nn.Hardsigmoid(),
            nn.LeakyReLU(0.2), nn.Tanh(), nn.Sigmoid()])
        self.out = nn.Linear(16 * 18, 3)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        h = self.fc(x) * 3.0
        return self.out(torch.cat([a(h) for a in self.acts], dim=1))


NETWORKS = {
    "encoder_block": (EncoderBlock, (1, 9, 12)),
    "audio_conv1d": (AudioClassifier, (1, 16, 40)),
    "lstm_classifier": (lambda: Sequence("lstm"), (1, 12, 10)),
    "gru_classifier": (lambda: Sequence("gru"), (1, 12, 10)),
    "activations": (Activations, (2, 8)),
}


def main(out: pathlib.Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    for name, (make, shape) in NETWORKS.items():
        net = randomise_norms(make())
        x = torch.randn(*shape)
        path = out / f"{name}.onnx"
        with torch.no_grad():
            torch.onnx.export(net, (x,), str(path), input_names=["x"], output_names=["y"],
                              opset_version=17, do_constant_folding=True)
        print(f"{path}: {path.stat().st_size} bytes")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "tests/data/torch_networks"))
