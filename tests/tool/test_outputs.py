"""Outputs never touch an input and never leave half a file."""

from __future__ import annotations

import json
import os

import pytest

from zerav_map.errors import InputError
from zerav_map.outputs import write_output


def test_outputs_refuse_the_files_the_run_reads(tool, small_model, write_json, tmp_path):
    chip = write_json("chip.json", {"num_cores": 16, "core_mesh_topology": [4, 4]})
    (tmp_path / "m.nir").write_bytes(b"\x89HDF\r\n\x1a\nnot really a network")
    before = {p: p.read_bytes() for p in (small_model, chip, tmp_path / "m.nir")}
    cases = [
        # The slip of the issue: the model named where the JSON output goes.
        (["--json", "m.nir"], "--json m.nir: the file must end in .json (or be - for stdout)"),
        (["--json", small_model.name], "refusing to write over a model file"),
        ([small_model, "--json", small_model], "refusing to write over the model, which this run reads"),
        ([small_model, "--export-model", small_model], "refusing to write over"),
        ([small_model, "--chip", chip, "--json", chip], "refusing to write over the chip file"),
        ([small_model, "--json", "a.json", "--export-model", "a.json"], "--json writes the same file"),
        ([small_model, "--export-model", "m.txt"], "the file must end in .json"),
    ]
    for flags, problem in cases:
        r = tool(*flags)
        assert r.code == 2 and problem in r.err, (flags, r)
    assert {p: p.read_bytes() for p in before} == before
    assert not (tmp_path / "a.json").exists()
    assert tool("--json").code == 2  # the file is required: "-" is stdout


def test_write_output_replaces_whole_or_not_at_all(tmp_path):
    path = tmp_path / "out.json"
    path.write_text("old")
    os.chmod(path, 0o640)

    def fail(f):
        f.write("half of the new")
        raise RuntimeError("interrupted")

    with pytest.raises(RuntimeError):
        write_output(str(path), fail)
    assert path.read_text() == "old" and os.listdir(tmp_path) == ["out.json"]
    write_output(str(path), lambda f: f.write("new"))
    assert path.read_text() == "new" and os.stat(path).st_mode & 0o777 == 0o640
    with pytest.raises(InputError, match="cannot write the plot"):
        write_output(str(tmp_path / "absent" / "x.png"), lambda f: f.write(b""), binary=True, what="plot")


def test_json_result_to_a_file(tool, small_model, backend):
    r = tool(small_model, "--json", "result.json")
    assert r.code in (0, 1) and "Summary" in r.out, r
    doc = json.loads((small_model.parent / "result.json").read_text())
    assert doc["model"]["name"] == "small"
