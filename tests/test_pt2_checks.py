"""The checks of a .pt2 file, both ways: every program `torch.export.save`
writes for standard architectures loads and computes what its model
computes; crafted archives (names and strings that reach code, zip tricks,
declared sizes, compression, huge expressions) are refused with a clear
FAILURE, run nothing and stay within bounds."""

import warnings

import pytest

from conftest import later

torch = later("torch")


def _mlp():
    return torch.nn.Sequential(torch.nn.Linear(8, 16), torch.nn.ReLU(), torch.nn.Linear(16, 3), torch.nn.Softmax(-1)), \
        (torch.rand(2, 8),), {}, None


def _conv_dynamic():
    Dim = torch.export.Dim
    model = torch.nn.Sequential(torch.nn.Conv2d(3, 4, 3, padding=1), torch.nn.BatchNorm2d(4), torch.nn.ReLU(),
                                torch.nn.AdaptiveAvgPool2d(1), torch.nn.Flatten(), torch.nn.Linear(4, 2))
    return model, (torch.rand(2, 3, 16, 16),), {}, ({0: Dim("batch"), 2: Dim("h", min=8, max=64),
                                                      3: Dim("w", min=8, max=64)},)


def _lstm():
    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.rnn, self.head = torch.nn.LSTM(5, 7, batch_first=True), torch.nn.Linear(7, 2)

        def forward(self, x):
            return self.head(self.rnn(x)[0][:, -1])
    return Net(), (torch.rand(2, 6, 5),), {}, ({0: torch.export.Dim("batch")},)


def _encoder():
    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.embed = torch.nn.Embedding(50, 16)
            layer = torch.nn.TransformerEncoderLayer(16, 2, 32, batch_first=True)
            self.encode, self.head = torch.nn.TransformerEncoder(layer, 2), torch.nn.Linear(16, 3)

        def forward(self, tokens, mask):
            return self.head(self.encode(self.embed(tokens), src_key_padding_mask=mask).mean(1))
    Dim = torch.export.Dim
    batch, sequence = Dim("batch"), Dim("sequence", min=2, max=128)
    return Net(), (torch.randint(0, 50, (2, 10)), torch.zeros(2, 10, dtype=torch.bool)), {}, \
        ({0: batch, 1: sequence}, {0: batch, 1: sequence})


def _several():
    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.numbers, self.categories = torch.nn.Linear(12, 4), torch.nn.Embedding(10, 4)
            self.register_buffer("scale", torch.tensor([2.0]))

        def forward(self, num, cat):
            y = self.numbers(num) + self.categories(cat).sum(1)
            return y * self.scale, y.argmax(-1)
    batch = torch.export.Dim("batch")
    return Net(), (torch.rand(3, 12), torch.randint(0, 10, (3, 4))), {}, ({0: batch}, {0: batch})


def _bert():
    from transformers import BertConfig, BertModel
    model = BertModel(BertConfig(vocab_size=100, hidden_size=32, num_hidden_layers=2, num_attention_heads=2,
                                 intermediate_size=64, max_position_embeddings=64))
    Dim = torch.export.Dim
    batch, sequence = Dim("batch"), Dim("sequence", max=64)
    kwargs = {"input_ids": torch.randint(0, 100, (2, 12)), "attention_mask": torch.ones(2, 12, dtype=torch.long)}
    return model, (), kwargs, {"input_ids": {0: batch, 1: sequence}, "attention_mask": {0: batch, 1: sequence}}


def _vit():
    from transformers import ViTConfig, ViTForImageClassification
    return ViTForImageClassification(ViTConfig(image_size=32, patch_size=8, hidden_size=32, num_hidden_layers=2,
                                               num_attention_heads=2, intermediate_size=64, num_labels=3)), \
        (torch.rand(1, 3, 32, 32),), {}, None


def _gpt2():
    from transformers import GPT2Config, GPT2LMHeadModel
    model = GPT2LMHeadModel(GPT2Config(vocab_size=100, n_positions=64, n_embd=32, n_layer=2, n_head=2,
                                       bos_token_id=0, eos_token_id=0))
    Dim = torch.export.Dim
    kwargs = {"input_ids": torch.randint(0, 100, (2, 12)), "use_cache": False}
    return model, (), kwargs, {"input_ids": {0: Dim("batch"), 1: Dim("sequence", max=64)}, "use_cache": None}


# name: (builder, run PyTorch's decompositions to core ATen before saving)
STANDARD = {"mlp": (_mlp, False), "conv-batchnorm-dynamic-hw": (_conv_dynamic, False), "lstm": (_lstm, False),
            "encoder-attention-mask": (_encoder, False), "two-in-two-out-int": (_several, False),
            "bert": (_bert, False), "bert-core-aten": (_bert, True), "vit": (_vit, False), "gpt2": (_gpt2, False)}


def _flat(value):
    if isinstance(value, torch.Tensor):
        return [value]
    if isinstance(value, dict):
        return [t for v in value.values() for t in _flat(v)]
    if isinstance(value, (list, tuple)):
        return [t for v in value for t in _flat(v)]
    if hasattr(value, "to_tuple"):  # a library's output class
        return _flat(value.to_tuple())
    return []


@pytest.fixture(scope="module")
def standard(tmp_path_factory):
    """Each standard program saved as NAME.pt2, with its inputs and its
    model's outputs on them."""
    folder = tmp_path_factory.mktemp("standard")
    made = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, (build, decompose) in STANDARD.items():
            torch.manual_seed(0)
            model, args, kwargs, dynamic = build()
            model.eval()
            program = torch.export.export(model, args, kwargs, dynamic_shapes=dynamic)
            if decompose:
                program = program.run_decompositions()
            torch.export.save(program, str(folder / (name + ".pt2")))
            with torch.no_grad():
                made[name] = (args, kwargs, _flat(model(*args, **kwargs)))
    return folder, made


@pytest.mark.parametrize("name", list(STANDARD))
def test_every_standard_program_loads_and_computes_its_model(standard, name):
    from veltrix.converter.plugin_api.helpers import load_program
    folder, made = standard
    args, kwargs, expected = made[name]
    program = load_program("veltrix-torch", str(folder / (name + ".pt2")))
    with torch.no_grad():
        got = _flat(program.module()(*args, **kwargs))
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert a.shape == b.shape and torch.allclose(a, b, atol=1e-5)
