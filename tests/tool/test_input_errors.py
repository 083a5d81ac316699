"""Files and flags the tool cannot use: a message naming the file and the problem, exit 2.

None of these needs the mapping back end: the tool checks its inputs before mapping.
"""

from __future__ import annotations

import copy

import pytest

from tests.tool.conftest import SMALL_MODEL


def _model(**change):
    doc = copy.deepcopy(SMALL_MODEL)
    for key, value in change.items():
        doc[key] = value
    return doc


def _node(i, **change):
    doc = copy.deepcopy(SMALL_MODEL)
    doc["nodes"][i].update(change)
    return doc


BAD_MODELS = [
    ("empty.json", "", "not valid JSON"),
    ("broken.json", '{"nodes": [', "not valid JSON: Expecting value (line 1, column 12)"),
    ("list.json", "[1, 2]", "a JSON model is an object"),
    ("twice.json", '{"nodes": [], "nodes": []}', "key 'nodes' appears twice"),
    ("nonodes.json", {"edges": []}, '"nodes" must be a list'),
    ("topkey.json", _model(chip={}), "unknown top-level key 'chip'"),
    ("kind.json", _node(1, kind="Conv3d"), "node 1 ('c1'): unknown kind 'Conv3d'"),
    ("dup.json", _node(2, name="c1"), "node 2 ('c1'): duplicate node name 'c1'"),
    ("prec.json", _node(1, precision="int7"), "node 1 ('c1'): unknown precision 'int7'"),
    ("field.json", _node(1, arrays={"bias": [1.0]}), "Linear has no array 'bias'"),
    ("param.json", _node(1, params={"stride": [2, 2]}), "Linear has no parameter 'stride'"),
    (
        "shape.json",
        _node(1, arrays={"weight": {"shape": [4, -1]}}),
        "array 'weight': \"shape\" must be a list of non-negative integers",
    ),
    (
        "ragged.json",
        _node(1, arrays={"weight": [[1, 2], [3]]}),
        "array 'weight': values must be numbers in nested lists of equal length",
    ),
    ("words.json", _node(1, arrays={"weight": ["a"]}), "values must be numbers"),
    (
        "edge.json",
        _model(edges=[["in", "c1"], ["c1", "ghost"]]),
        'inconsistent model: edge 1 ["c1", "ghost"] names node \'ghost\', which does not exist',
    ),
    ("edge3.json", _model(edges=[["in", "c1", "l1"]]), "edge 0: expected [source, destination] node names"),
    ("noname.json", _node(0, name=""), 'node 0: "name" must be a non-empty string'),
]


@pytest.mark.parametrize("name, content, problem", BAD_MODELS, ids=[b[0] for b in BAD_MODELS])
def test_bad_model_file(tool, write_json, name, content, problem):
    path = write_json(name, content)
    r = tool(path)
    assert r.code == 2, r
    assert r.out == ""
    assert r.err.startswith(f"zerav-map: error: {path}: "), r
    assert problem in r.err, r


def test_unknown_format_and_missing_files(tool, tmp_path):
    (tmp_path / "model.txt").write_text("conv -> lif\n")
    r = tool("model.txt")
    assert (r.code, r.err) == (
        2,
        "zerav-map: error: model.txt: unknown model format: expected "
        "a JSON model (.json) or a NIR file (.nir, HDF5)\n",
    ), r
    r = tool("absent.json")
    assert r.code == 2 and "absent.json: cannot read the model file: No such file" in r.err, r
    r = tool(".")
    assert r.code == 2 and ".: is a directory" in r.err, r


def test_damaged_nir_file(tool, tmp_path):
    pytest.importorskip("nir")
    # An HDF5 signature followed by garbage: h5py cannot open it.
    (tmp_path / "bad.nir").write_bytes(b"\x89HDF\r\n\x1a\n" + b"\x00garbage" * 20)
    r = tool("bad.nir")
    assert r.code == 2 and r.err.startswith("zerav-map: error: bad.nir: not a readable NIR file"), r


BAD_CHIPS = [
    ('{"num_cores": 4, "cores": 2}', "unknown chip member 'cores'"),
    ('{"num_cores": "64"}', "'num_cores' must be an integer, got \"64\""),
    ('{"num_cores": true}', "'num_cores' must be an integer, got true"),
    ('{"core_mesh_topology": [8]}', '"core_mesh_topology" must be [rows, cols] or null'),
    (
        '{"num_cores": 64, "core_mesh_topology": [4, 4]}',
        "the chip is not consistent: core_mesh_topology 4x4 has 16 cells, fewer than num_cores=64",
    ),
    ("[64]", "a chip file is a JSON object"),
    ("{num_cores: 1}", "not valid JSON"),
    (
        '{"nodes_per_core": 4, "max_neurons_per_core": 4}',
        '"nodes_per_core" and "max_neurons_per_core" name the same',
    ),
    ('{"nodes_per_core": "4"}', "'nodes_per_core' must be an integer"),
]


@pytest.mark.parametrize("content, problem", BAD_CHIPS)
def test_bad_chip_file(tool, write_json, content, problem):
    path = write_json("chip.json", content)
    r = tool("--chip", path)
    assert r.code == 2, r
    assert r.err.startswith(f"zerav-map: error: {path}: "), r
    assert problem in r.err, r


BAD_FLAGS = [
    (["--mesh", "8by8"], "argument --mesh: not a mesh: '8by8'"),
    (["--sram", "12X"], "argument --sram: not a size in bytes: '12X'"),
    (["--cores", "many"], "argument --cores: invalid int value: 'many'"),
    (["--algorithm", "random"], "argument --algorithm/-a: invalid choice: 'random'"),
    (["--compare", "--algorithm", "greedy"], "not allowed with argument --compare"),
    (["--precision", "bf16"], "argument --precision: invalid choice: 'bf16'"),
    (["--cores", "0"], "the chip is not consistent: num_cores must be at least 1, got 0"),
    (["--mesh", "2x2"], "has 4 cells, fewer than num_cores=64"),
    (["--nodes-per-core", "-3"], "max_neurons_per_core must be at least 1, got -3"),
    (["--plot", "mesh.pdf"], "mesh.pdf: the plot file must end in .png or .svg"),
    (["--plot", "no/such/dir/mesh.png"], "does not exist"),
    (["one.json", "two.json"], "unrecognized arguments: two.json"),
    # Two flags that contradict each other: 4096 // 64 = 64 nodes per core, not 16.
    (
        ["--group-size", "64", "--nodes-per-core", "16", "--lower"],
        "--group-size 64 gives 64 nodes per core on a core of 4096 neurons, but 16 nodes per core",
    ),
]


@pytest.mark.parametrize("flags, problem", BAD_FLAGS, ids=[" ".join(f) for f, _ in BAD_FLAGS])
def test_bad_flags(tool, flags, problem):
    r = tool(*flags)
    assert r.code == 2, r
    assert r.out == ""
    assert problem in r.err, r


def test_help_and_version(tool):
    r = tool("--help")
    assert r.code == 0 and "--compare" in r.out and "Exit status" in r.out
    r = tool("--version")
    assert r.code == 0 and r.out.startswith("zerav-map ")


@pytest.mark.parametrize("flag", ["--help", "--version"])
def test_help_and_version_import_nothing_heavy(flag):
    import subprocess
    import sys

    heavy = ("numpy", "scipy", "nir", "h5py", "matplotlib", "zerav.graph.partition", "zerav.graph.mapping")
    code = (
        f"import sys\nfrom zerav_map.cli import main\ntry:\n    main([{flag!r}])\nexcept SystemExit:\n"
        f"    pass\nprint(sorted(m for m in {heavy!r} if m in sys.modules), file=sys.stderr)"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stderr.strip().splitlines()[-1] == "[]", proc.stderr
