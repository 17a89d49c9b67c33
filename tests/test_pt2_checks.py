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


def _derived_sizes():
    class Net(torch.nn.Module):
        def forward(self, x, y):
            pooled = torch.nn.functional.avg_pool1d(y.unsqueeze(1), 3, stride=2, ceil_mode=True).squeeze(1)
            halved = torch.nn.functional.interpolate(x.unsqueeze(1), scale_factor=0.5).squeeze(1)
            return x[:, 1::3].sum(1) + pooled.sum(1) + halved.sum(1), (x.shape[1] // 2) * torch.ones(1)
    n = torch.export.Dim("n", min=3, max=64)
    return Net(), (torch.rand(2, 10), torch.rand(2, 11)), {}, ({1: 2 * n}, {1: 2 * n + 1})


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


def _expanded_buffers():
    class Net(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.head = torch.nn.Linear(16, 2)
            self.register_buffer("mask", torch.ones(1, 1).expand(512, 512))  # 1 MiB declared over 4 bytes
            self.register_buffer("positions", torch.arange(16).expand(1, -1))

        def forward(self, x):
            return self.head(x * self.positions) + self.mask[: x.shape[0], :2]
    return Net(), (torch.rand(3, 16),), {}, ({0: torch.export.Dim("batch", max=512)},)


# name: (builder, run PyTorch's decompositions to core ATen before saving)
STANDARD = {"mlp": (_mlp, False), "conv-batchnorm-dynamic-hw": (_conv_dynamic, False), "lstm": (_lstm, False),
            "derived-dynamic-sizes": (_derived_sizes, False),
            "encoder-attention-mask": (_encoder, False), "two-in-two-out-int": (_several, False),
            "expanded-buffers": (_expanded_buffers, False), "bert": (_bert, False), "bert-core-aten": (_bert, True), "vit": (_vit, False), "gpt2": (_gpt2, False)}


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



# ---- crafted archives -------------------------------------------------------
# Each row changes a saved program the way an attacker would; loading it must
# be refused with the phrase given (None: refused or loaded, but nothing ran),
# write no marker, and stay under 1 GB of data and 30 s of CPU: the load runs
# in a child held to those limits, where a miss of the checks shows as a
# limit's FAILURE instead of the phrase.

MARK = "__import__('pathlib').Path('RAN').touch()"
QUOTED = "a\"); __import__('pathlib').Path('RAN').touch(); (\""


def _base_program(path):
    """A small program with what the rows need: parameters, buffers, a
    constant, a keyword input and a dynamic batch."""
    class Base(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.conv, self.norm, self.head = torch.nn.Conv2d(3, 4, 3), torch.nn.BatchNorm2d(4), torch.nn.Linear(4, 2)

        def forward(self, x, *, bias):
            return self.head(torch.relu(self.norm(self.conv(x))).mean((2, 3))) + bias * torch.tensor([1.0, 2.0])
    batch = torch.export.Dim("batch")
    program = torch.export.export(Base().eval(), (torch.rand(2, 3, 8, 8),), {"bias": torch.rand(2, 2)},
                                  dynamic_shapes={"x": {0: batch}, "bias": {0: batch}})
    torch.export.save(program, str(path))


def _members(data):
    import io
    import zipfile
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {info.filename: archive.read(info) for info in archive.infolist()}


def _zip(members):
    """An archive of `members` (name: bytes, or (name, bytes) pairs), written plainly by Python's zipfile."""
    import io
    import warnings
    import zipfile
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a duplicate name is the point of a row
        for name, data in (members.items() if isinstance(members, dict) else members):
            archive.writestr(name, data)
    return out.getvalue()


def _json_edit(member, edit):
    """A row changing the JSON document `member` (below the root) with edit(document)."""
    import json

    def change(data):
        members = _members(data)
        name = next(n for n in members if n.split("/", 1)[1] == member)
        document = json.loads(members[name])
        edit(document)
        members[name] = json.dumps(document).encode()
        return _zip(members)
    return change


def _program(edit):
    return _json_edit("models/model.json", edit)


def _graph(document):
    return document["graph_module"]["graph"]


def _signature(document):
    return document["graph_module"]["signature"]


def _call_signature(document):
    return document["graph_module"]["module_call_graph"][0]["signature"]


def _first_size(document):
    return _graph(document)["tensor_values"]["x"]["sizes"][0]


def _member_edit(change_member):
    """A row changing members: change_member(members) in place."""
    def change(data):
        members = _members(data)
        change_member(members)
        return _zip(members)
    return change


def _root(members, below):
    return next(n for n in members if n.split("/", 1)[1] == below)


def _empty_weight(members):
    """The first weight's bytes gone, its declared size 2**30 (4 GB of zeros if believed)."""
    import json
    config = _root(members, "data/weights/model_weights_config.json")
    document = json.loads(members[config])
    entry = document["config"]["conv.weight"]
    entry["tensor_meta"]["sizes"] = [{"as_int": 2 ** 30}]
    entry["tensor_meta"]["strides"] = [{"as_int": 1}]
    members[config] = json.dumps(document).encode()
    members[_root(members, "data/weights/" + entry["path_name"])] = b""


def _expanded_weight(members):
    """The first weight declared as 2**28 values repeating one (a stride of 0): 1 GiB once materialised."""
    import json
    config = _root(members, "data/weights/model_weights_config.json")
    document = json.loads(members[config])
    meta = document["config"]["conv.weight"]["tensor_meta"]
    meta.update(sizes=[{"as_int": 2 ** 28}], strides=[{"as_int": 0}])
    members[config] = json.dumps(document).encode()


def _example_inputs(edit):
    """A row changing the example inputs' pickle (a torch.save archive inside the archive)."""
    def change_member(members):
        name = _root(members, "data/sample_inputs/model.pt")
        inner = _members(members[name])
        pickle_name = next(n for n in inner if n.endswith("data.pkl"))
        inner[pickle_name] = edit(inner[pickle_name])
        members[name] = _zip(inner)
    return _member_edit(change_member)


def _custom_object(members):
    import json
    config = _root(members, "data/constants/model_constants_config.json")
    document = json.loads(members[config])
    document["config"]["lifted_tensor_0"].update(path_name="custom_obj_0", use_pickle=True, tensor_meta=None)
    members[config] = json.dumps(document).encode()


def _duplicate(name_of):
    """A second copy of models/model.json (under name_of(name)) whose shape expression SymPy would evaluate."""
    import json

    def change(data):
        members = _members(data)
        name = _root(members, "models/model.json")
        document = json.loads(members[name])
        _first_size(document)["as_expr"]["expr_str"] = MARK
        return _zip(list(members.items()) + [(name_of(name), json.dumps(document).encode())])
    return change


def _prefixed(data):
    """Another archive before this one: Python's zipfile reads this one, a reader taking offsets as written the other."""
    evil = _zip({"base/archive_format": b"pt2", "base/models/model.json": MARK.encode()})
    return evil + data


def _overlapping(data):
    """Two central directory entries for one member, under two names."""
    import struct
    data = _zip(_members(data))  # a plain archive, without zip64 records
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    entry = data[offset:offset + 46 + struct.unpack_from("<H", data, offset + 28)[0]]
    twin = entry[:-1] + b"Z"  # the same local header under another name
    directory = data[offset:offset + size] + twin
    return (data[:offset] + directory + data[end:end + 8] + struct.pack("<HHII", count + 1, count + 1, size + len(twin),
                                                                        offset) + data[end + 20:])


def _renamed_local(data):
    """The local header of the first member names another member than the central directory does."""
    import struct
    data = _zip(_members(data))  # a plain archive, without zip64 records
    length = struct.unpack_from("<H", data, 26)[0]
    name = data[30:30 + length]
    return data[:30] + name[:-1] + (b"X" if name[-1:] != b"X" else b"Y") + data[30 + length:]


def _hidden_bytes(data):
    """Bytes between the last member and the central directory (another reader could find a member there)."""
    import struct
    data = _zip(_members(data))  # a plain archive, without zip64 records
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    hidden = MARK.encode()
    return data[:offset] + hidden + data[offset:end + 16] + struct.pack("<I", offset + len(hidden)) + data[end + 20:]


def _inflated_storage(pickle):
    """The first storage of the example inputs declared with 2**30 values."""
    import pickletools
    import struct
    after_cpu = False
    for opcode, argument, at in pickletools.genops(pickle):
        if opcode.name == "BINUNICODE" and argument == "cpu":
            after_cpu = True
        elif after_cpu and opcode.name in ("BININT1", "BININT2", "BININT"):
            width = {"BININT1": 1, "BININT2": 2, "BININT": 4}[opcode.name]
            return pickle[:at] + b"J" + struct.pack("<i", 2 ** 30) + pickle[at + 1 + width:]
    raise AssertionError("no storage in the example inputs")


def _bomb(data):
    """archive_format deflated from 2 GB of zeros into a few MB, as the only
    change (written by hand: zipfile would have to compress it)."""
    import struct
    import zlib
    members = _members(data)
    chunk, repeats = bytes(16 << 20), 128
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    first = compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)
    again = compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)
    packed = first + again * (repeats - 1) + compressor.flush()
    crc = 0
    for _ in range(repeats):
        crc = zlib.crc32(chunk, crc)
    name = _root(members, "archive_format").encode()
    rest = _zip({n: d for n, d in members.items() if n.encode() != name})
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(packed), repeats * len(chunk), len(name), 0)
    entry = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(packed), repeats * len(chunk),
                        len(name), 0, 0, 0, 0, 0, 0)
    end = rest.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", rest, end + 10)
    shift = len(local) + len(name) + len(packed)
    directory = entry + name + _shifted(rest[offset:offset + size], shift)
    return (local + name + packed + rest[:offset] + directory
            + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count + 1, count + 1, len(directory), offset + shift, 0))


def _shifted(directory, shift):
    """Central directory entries with their local header offsets moved by `shift`."""
    import struct
    out, at = b"", 0
    while at < len(directory):
        lengths = struct.unpack_from("<HHH", directory, at + 28)
        size = 46 + sum(lengths)
        entry = bytearray(directory[at:at + size])
        struct.pack_into("<I", entry, 42, struct.unpack_from("<I", entry, 42)[0] + shift)
        out, at = out + bytes(entry), at + size
    return out


def _hop_keyword(document):
    node = _graph(document)["nodes"][0]
    node["target"] = "torch.ops.higher_order.wrap_with_set_grad_enabled"
    node["inputs"].append({"name": "x=" + MARK + ",y", "arg": {"as_none": True}, "kind": 2})


def _graph_argument(document):
    empty = {"inputs": [], "outputs": [], "nodes": [], "tensor_values": {}, "sym_int_values": {}, "sym_bool_values": {}}
    _graph(document)["nodes"][0]["inputs"].append({"name": "", "arg": {"as_graph": {"name": QUOTED, "graph": empty}}})


def _kwargs_key(document):
    """The keyword input's name as PyTorch writes it into the source of forward: `{'KEY': bias}`."""
    import json
    signature = _call_signature(document)
    protocol, spec = json.loads(signature["in_spec"])
    spec["children_spec"][1]["context"] = json.dumps(["bias':%s,'bias" % MARK])
    signature["in_spec"] = json.dumps([protocol, spec])


def _enum_context(document):
    signature = _call_signature(document)
    signature["in_spec"] = signature["in_spec"].replace(
        '[\\"bias\\"]', '[{\\"__enum__\\": true, \\"fqn\\": \\"ran_marker:x\\", \\"name\\": \\"y\\"}]')


def _import_structure(document):
    import json
    signature = _call_signature(document)
    context = json.dumps({"default_factory_module": "ran_marker", "default_factory_name": "x", "dict_context": []})
    signature["out_spec"] = json.dumps([1, {"type": "collections.defaultdict", "context": context, "children_spec": []}])


def _expression(text):
    return _program(lambda d: _first_size(d).update(as_expr={"expr_str": text, "hint": {"as_int": 2}}))


SYMBOL = "Symbol('s77', positive=True, integer=True)"


def _symbol(number):
    return SYMBOL.replace("s77", "s%d" % number)


def _sum(*numbers, constant=1):
    return "Add(%s, Integer(%d))" % (", ".join(_symbol(n) for n in numbers), constant)


def _divisions(count):
    inner = _symbol(0)
    for n in range(count):
        inner = "FloorDiv(Add(%s, %s, %s, Integer(1)), Integer(2))" % (inner, _symbol(2 * n + 1), _symbol(2 * n + 2))
    return inner


def _nested_choices(depth):
    inner = _symbol(0)
    for level in range(depth):
        inner = "%s(%s, %s)" % ("Max" if level % 2 else "Min", inner, _sum(level + 1, constant=level))
    return inner
CRAFTED = {
    # names and other strings PyTorch writes into Python source
    "placeholder-name": (_program(lambda d: _graph(d)["inputs"][-2]["as_tensor"].update(name="x=" + MARK)),
                         "not a plain name"),
    "node-name": (_program(lambda d: _graph(d)["nodes"][0].update(name="n=" + MARK)), "not a plain name"),
    "tensor-value-name": (_program(lambda d: _graph(d)["tensor_values"].update({"v=" + MARK: {}})),
                          "not a plain name"),
    "hop-keyword-name": (_program(_hop_keyword), "not a plain keyword name"),
    "graph-argument-name": (_program(_graph_argument), "not a plain name"),
    "parameter-path": (_program(lambda d: _signature(d)["input_specs"][0]["parameter"].update(parameter_name=QUOTED)),
                       "not a plain attribute path"),
    "buffer-path-to-class": (_program(lambda d: _signature(d)["input_specs"][6]["buffer"].update(
        buffer_name="__class__.forward")), "not a plain attribute path"),
    "constant-path": (_program(lambda d: _signature(d)["input_specs"][9]["tensor_constant"].update(
        tensor_constant_name=QUOTED)), "not a plain attribute path"),
    "weights-config-key": (_json_edit("data/weights/model_weights_config.json", lambda d: d["config"].update(
        {QUOTED: d["config"].pop("conv.weight")})), "not a plain attribute path"),
    "forward-argument-name": (_program(lambda d: _call_signature(d).update(forward_arg_names=["x=" + MARK, "bias"])),
                              "not a plain name"),
    "keyword-input-key": (_program(_kwargs_key), "keys that are not names"),
    "enum-in-structure": (_program(_enum_context), "keys that are not names"),
    "import-in-structure": (_program(_import_structure), None),
    "module-stack-path": (_program(lambda d: _graph(d)["nodes"][0]["metadata"].update(
        nn_module_stack="L__self__,%s,torch.nn.Conv2d" % QUOTED)), "module stack entry"),
    "source-function": (_program(lambda d: _graph(d)["nodes"][0]["metadata"].update(
        source_fn_stack="conv,os.system")), "source function"),
    "unknown-field": (_program(lambda d: _graph(d)["nodes"][0].update(code=MARK)), "does not have"),
    "guards-code": (_program(lambda d: d.update(guards_code=[MARK])), None),
    # operators
    "operator-module-walk": (_program(lambda d: _graph(d)["nodes"][0].update(target="torch.os.system")),
                             "torch.os.system, which is not a PyTorch operator"),
    "operator-attrgetter": (_program(lambda d: _graph(d)["nodes"][0].update(target="_operator.attrgetter")),
                            "not a PyTorch operator"),
    "operator-reading-files": (_program(lambda d: _graph(d)["nodes"][0].update(
        target="torch.ops.aten.from_file.default")), "not a PyTorch operator"),
    "operator-as-argument": (_program(lambda d: _graph(d)["nodes"][0]["inputs"].append(
        {"name": "", "arg": {"as_operator": "torch.os.system"}})), "not a PyTorch operator"),
    "compiled-code-delegate": (_program(lambda d: _graph(d)["nodes"][0].update(
        target="torch.ops.higher_order.aoti_call_delegate")), "not a PyTorch operator"),
    # shape expressions
    "power-tower-python": (_expression("s77 + 0*10**10**10"), "shape expression"),
    "python-in-expression": (_expression(MARK), "shape expression"),
    "power-tower": (_expression("Add(%s, Mul(Integer(0), Pow(Integer(10), Pow(Integer(10), Integer(10)))))" % SYMBOL),
                    "exponent"),
    "nested-powers": (_expression("Pow(Pow(%s, Integer(64)), Integer(64))" % SYMBOL), "degree"),
    "many-terms": (_expression("Add(%s, %s)" % (SYMBOL, ", ".join(["Integer(1)"] * 5000))), "terms"),
    "symbol-name": (_expression("Symbol('__import__(\"os\")')"), "shape expression"),
    # PyTorch's shape functions given arguments SymPy works hard on (common factors of expanded polynomials,
    # signs of high powers, pairwise comparisons)
    "floordiv-of-a-power": (_expression("FloorDiv(Pow(%s, Integer(63)), %s)" % (_sum(0, 1, 2, 3), _sum(0, constant=7))),
                            "degree is beyond"),
    "modular-indexing-of-products": (_expression("ModularIndexing(Mul(%s, %s, %s), %s, Integer(5))" % (
        _sum(0, 1), _sum(2, 3), _sum(4, 5), _sum(0, constant=7))), "arguments of ModularIndexing"),
    "python-mod-of-high-powers": (_expression("PythonMod(Pow(%s, Integer(9)), Pow(%s, Integer(8)))" % (
        _sum(0), _sum(0, constant=3))), "degree in one symbol"),
    "many-divisions": (_expression(_divisions(27)), "divisions and remainders take more than"),
    "max-of-many": (_expression("Max(%s)" % ", ".join(_symbol(n) for n in range(200))), "Max takes at most"),
    "min-max-nested": (_expression(_nested_choices(8)), "nests Max and Min"),
    "many-max-comparisons": (_expression("Mul(%s)" % ", ".join(
        "Max(%s)" % ", ".join(_sum(4 * k + n) for n in range(4)) for k in range(8))), "compare more than"),
    "range-symbol": (_program(lambda d: d["range_constraints"].update({"u99999999999": {"min_val": 0,
                                                                                        "max_val": None}})),
                     "not a shape symbol"),
    "range-key-code": (_program(lambda d: d["range_constraints"].update({MARK: {"min_val": 0, "max_val": None}})),
                       "not a shape symbol"),
    "integer-beyond-64-bits": (_program(lambda d: _first_size(d).update({"as_int": 2 ** 70}) or _first_size(d).pop(
        "as_expr")), "64-bit integer"),
    "deep-json": (_member_edit(lambda m: m.update({_root(m, "models/model.json"): b"[" * 200000})), "not JSON"),
    # payloads
    "pickled-weight": (_json_edit("data/weights/model_weights_config.json", lambda d: d["config"]["conv.weight"].update(
        use_pickle=True)), "pickled object"),
    "custom-object": (_member_edit(_custom_object), "pickled object or custom class"),
    "empty-weight-declared-huge": (_member_edit(_empty_weight), "declares a tensor of [1073741824]"),
    "weight-expanded-huge": (_member_edit(_expanded_weight), "declares a tensor of [268435456]"),
    "example-input-storage-huge": (_example_inputs(_inflated_storage), "declare a storage of 1073741824 values"),
    "example-input-global": (_example_inputs(lambda p: p.replace(b"collections\nOrderedDict", b"os\nsystem")),
                             "does not write for tensors"),
    "not-a-pt2-archive": (_member_edit(lambda m: m.update({_root(m, "archive_format"): b"zip"})), "not a pt2 archive"),
    "no-archive-format": (_member_edit(lambda m: m.pop(_root(m, "archive_format"))), "AOTInductor package"),
    "no-archive-version": (_member_edit(lambda m: m.pop(_root(m, "archive_version"))), "archive version is missing"),
    "compiled-code-member": (_member_edit(lambda m: m.update({"base/data/aotinductor/model/model.so": b"\x7fELF"})),
                             "compiled native code"),
    # zip tricks
    "prefixed-archive": (_prefixed, "bytes were added before the archive"),
    "suffixed-data": (lambda data: data + b"x" * 100, "does not end with a zip end record"),
    "duplicate-member": (_duplicate(lambda name: name), "two members named"),
    "duplicate-member-by-case": (_duplicate(lambda name: name.replace("model.json", "MODEL.json")), "two members named"),
    "overlapping-members": (_overlapping, "does not start where the previous one ends"),
    "local-header-disagrees": (_renamed_local, "does not match the central directory"),
    "hidden-bytes": (_hidden_bytes, "bytes hide"),
    "compressed-member": (_bomb, "is compressed"),
}


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    path = tmp_path_factory.mktemp("crafted") / "base.pt2"
    _base_program(path)
    return path.read_bytes()


def _load_in_child(path, run):
    """Load and run the program at `path` in a contained child; its outcome as text."""
    from veltrix.converter.plugin_api.helpers import contained, load_program

    def work():
        program = load_program("veltrix-torch", str(path))
        args, kwargs = program.example_inputs
        program.module()(*args, **kwargs)
        return "loaded"
    try:
        return contained(run, work, source=str(path))
    except Exception as exc:  # a refusal, or an error running what was loaded
        return "%s: %s" % (type(exc).__name__, exc)


@pytest.mark.parametrize("name", list(CRAFTED))
def test_a_crafted_archive_runs_nothing_and_stays_within_bounds(base, name, tmp_path, monkeypatch):
    import os
    from veltrix.converter.plugin_api.helpers import conversion_run
    craft, phrase = CRAFTED[name]
    path = tmp_path / "crafted.pt2"
    path.write_bytes(craft(base))
    (tmp_path / "ran_marker.py").write_text("import pathlib\npathlib.Path('RAN').touch()\nx = dict\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setenv("VELTRIX_MEMORY_LIMIT", "1G")
    monkeypatch.setenv("VELTRIX_CPU_LIMIT", "30")
    with conversion_run("veltrix-torch") as run:
        monkeypatch.chdir(run.workdir)  # where the child may write: a marker would land here
        outcome = _load_in_child(path, run)
        ran = os.path.exists("RAN")
    if phrase:
        assert phrase in outcome and "is not loaded" in outcome and "torch.export.save(program" in outcome, outcome
    else:  # loaded, or PyTorch's own error about what it loaded; never a limit or a crash
        assert "The work on" not in outcome, outcome
    assert not ran, outcome


# Rows tried through the command and the real plug-ins: the six attacks of
# the kinds above through veltrix-torch, two through veltrix-openvino (the
# same load; the table above tries every row at the kit's level).
THROUGH_PLUGINS = {"x.onnx": ["placeholder-name", "prefixed-archive", "duplicate-member-by-case", "power-tower-python",
                              "empty-weight-declared-huge", "compressed-member"],
                   "x.xml": ["node-name", "empty-weight-declared-huge"]}


def _command(words, cwd):
    """The command run in a child held to 60 s of CPU; (status, output, peak resident bytes of it and its children)."""
    import os
    import resource
    import subprocess
    import sys

    from conftest import COMMAND

    def limit():
        resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
    child = subprocess.Popen([COMMAND, *words], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, preexec_fn=limit, env=dict(os.environ, PYTHONPATH=str(cwd)))
    output = child.stdout.read().decode()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    child.stdout.close()
    return child.returncode, output, usage.ru_maxrss * (1 if sys.platform == "darwin" else 1024)


@pytest.mark.parametrize("destination", list(THROUGH_PLUGINS), ids=["veltrix-torch", "veltrix-openvino"])
def test_crafted_archives_are_a_failure_through_the_plug_ins(base, destination, tmp_path):
    pytest.importorskip("veltrix_torch" if destination.endswith("onnx") else "veltrix_openvino")
    (tmp_path / "ran_marker.py").write_text("import pathlib\npathlib.Path('RAN').touch()\nx = dict\n")
    for name in THROUGH_PLUGINS[destination]:
        craft, phrase = CRAFTED[name]
        (tmp_path / "x.pt2").write_bytes(craft(base))
        status, output, resident = _command(["x.pt2", destination], tmp_path)
        assert status == 1 and "FAILURE: x.pt2 is not loaded: " in output and phrase in output, (name, output)
        assert resident < 1 << 30, (name, resident)
        assert not (tmp_path / destination).exists() and not (tmp_path / "RAN").exists(), name
