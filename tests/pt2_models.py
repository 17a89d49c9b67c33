"""Small PyTorch programs of every signature the converters take, exported
with `torch.export` and saved as .pt2 files for the tests: one image input,
several inputs, integer token ids feeding an embedding, a bool input,
dynamic height and width, channels last, outputs of different shapes (one
set returned under names). Each is made once per session folder."""

import numpy as np

from conftest import later

torch = later("torch")


def _modules():
    nn = torch.nn

    class Image(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.head = nn.Conv2d(3, 4, 3, padding=1), nn.Linear(4, 2)

        def forward(self, x):
            return torch.softmax(self.head(torch.relu(self.conv(x)).mean((2, 3))), -1)

    class TwoInputs(nn.Module):
        def __init__(self):
            super().__init__()
            self.num, self.cat = nn.Linear(12, 3), nn.Linear(4, 3)

        def forward(self, num, cat):
            return self.num(num) + self.cat(cat)

    class Tokens(nn.Module):
        def __init__(self):
            super().__init__()
            self.embed = nn.Embedding(50, 8)
            self.encoder = nn.TransformerEncoder(nn.TransformerEncoderLayer(8, 2, 16, dropout=0.0,
                                                                            batch_first=True), 1)
            self.head = nn.Linear(8, 5)

        def forward(self, tokens):
            states = self.encoder(self.embed(tokens))
            return {"scores": self.head(states.mean(1)), "states": states}

    class Masked(nn.Module):
        def __init__(self):
            super().__init__()
            self.head = nn.Linear(6, 3)

        def forward(self, x, keep):
            return self.head(torch.where(keep, x, torch.zeros_like(x)))

    class AnySize(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.head = nn.Conv2d(3, 4, 3, padding=1), nn.Linear(4, 3)

        def forward(self, x):
            return self.head(torch.relu(self.conv(x)).mean((2, 3)))

    class ChannelsLast(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.head = nn.Conv2d(3, 4, 3), nn.Linear(4, 2)

        def forward(self, x):
            return self.head(self.conv(x.permute(0, 3, 1, 2)).amax((2, 3)))

    return Image, TwoInputs, Tokens, Masked, AnySize, ChannelsLast


def build(folder):
    """Save every program in `folder`; {name: (path, module, example feed)}."""
    Image, TwoInputs, Tokens, Masked, AnySize, ChannelsLast = _modules()
    batch, sequence = torch.export.Dim("batch"), torch.export.Dim("sequence", min=2, max=32)
    height, width = torch.export.Dim("height", min=8, max=64), torch.export.Dim("width", min=8, max=64)
    rng = np.random.default_rng(0)
    table = {
        "image": (Image, {"x": rng.random((2, 3, 16, 16), np.float32)}, ({0: batch},)),
        "two-inputs": (TwoInputs, {"num": rng.standard_normal((2, 12), np.float32),
                                   "cat": rng.standard_normal((2, 4), np.float32)}, ({0: batch}, {0: batch})),
        "tokens": (Tokens, {"tokens": rng.integers(0, 50, (2, 7))}, ({0: batch, 1: sequence},)),
        "bool": (Masked, {"x": rng.standard_normal((2, 6), np.float32), "keep": rng.random((2, 6)) > 0.5},
                 ({0: batch}, {0: batch})),
        "any-size": (AnySize, {"x": rng.random((2, 3, 16, 12), np.float32)}, ({0: batch, 2: height, 3: width},)),
        "channels-last": (ChannelsLast, {"x": rng.random((1, 16, 16, 3), np.float32)}, None),
    }
    made = {}
    for seed, (name, (kind, feed, dynamic)) in enumerate(table.items()):
        torch.manual_seed(seed)
        module = kind().eval()
        args = tuple(torch.from_numpy(a) for a in feed.values())
        program = torch.export.export(module, args, dynamic_shapes=dynamic)
        path = folder / ("%s.pt2" % name)
        torch.export.save(program, str(path))
        made[name] = (path, module, feed)
    return made


def expected_outputs(module, feed):
    """The module's outputs on `feed`, flattened in order, as NumPy arrays."""
    with torch.no_grad():
        out = module(*(torch.from_numpy(a) for a in feed.values()))
    leaves = out.values() if isinstance(out, dict) else out if isinstance(out, (tuple, list)) else [out]
    return [leaf.numpy() for leaf in leaves]
