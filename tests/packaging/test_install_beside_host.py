"""The back-end wheel installs beside a host compiler's own ``zerav`` package without touching it.

Builds the wheel from this checkout, installs it into a fresh venv that already holds a fake host
distribution named ``zerav``, runs the three modules on the host's own classes, and uninstalls it
again. Slow (a venv, the runtime dependencies), so it runs once per suite, not under the sanitizer.
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

from tests.packaging import fake_host

ROOT = Path(__file__).resolve().parents[2]
MODULES = ("partition", "placement", "resource", "mapping")

pytestmark = pytest.mark.skipif(
    os.environ.get("ZERAV_SANITIZED") == "1", reason="packaging does not depend on the build flavour"
)


def run(*args, **kw):
    done = subprocess.run(args, capture_output=True, text=True, **kw)
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def pip(venv: Path, *args):
    return run(
        sys.executable,
        "-m",
        "pip",
        "--python",
        str(venv / "bin" / "python"),
        "--disable-pip-version-check",
        "-q",
        *args,
    )


def host_files(site: Path) -> dict[str, str]:
    return {p: hashlib.sha256((site / p).read_bytes()).hexdigest() for p in fake_host.FILES}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("dist")
    run(
        sys.executable,
        "-m",
        "pip",
        "wheel",
        "-q",
        "--disable-pip-version-check",
        "--no-build-isolation",
        "--no-deps",
        "-w",
        str(out),
        str(ROOT),
    )
    (built,) = out.glob("zerav_graph-*.whl")
    return built


def test_wheel_holds_only_the_modules_and_their_stubs(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = {n for n in z.namelist() if ".dist-info/" not in n}
    suffix = next(n for n in names if n.endswith(".so")).split(".", 1)[1]
    expected = {f"zerav/graph/{m}.{suffix}" for m in MODULES}
    expected |= {f"zerav/graph/{m}.pyi" for m in MODULES} | {"zerav/graph/py.typed"}
    assert names == expected


HOST_PROGRAM = textwrap.dedent("""
    import numpy as np
    import zerav, zerav.ir as ir, zerav.graph as zg
    from zerav.graph.constraints import HardwareSpec
    from zerav.graph import partition, placement, resource
    assert zerav.HOST == "fake-host" and zg.GRAPH_HOST
    assert placement.ir is ir and placement.HardwareSpec is HardwareSpec

    g = ir.Graph()
    g.nodes["in"] = ir.Input()
    for i in range(4):
        g.nodes[f"n{i}"] = ir.HostNeuron(weight=np.zeros((8, 8)), v_threshold=np.zeros(8))
    g.nodes["out"] = ir.Output()
    g.edges = [("in", "n0"), ("n0", "n1"), ("n1", "n2"), ("n2", "n3"), ("n3", "out")]
    hw = HardwareSpec(num_cores=4, max_neurons_per_core=2, core_mesh_topology=(2, 2),
                      sram_bytes_per_core=4096, max_feedback_delay=4)
    result = partition.partition(g, hw, "greedy")
    assert hw.validated and g.made_by == "fake-host"
    print(sorted(g.partition_metadata["assignments"].items()))
    print(placement.place(g, hw).total_hop_distance)
    budgets = resource.allocate(g, hw).budgets
    print(sorted((core, b.weight_bytes, b.state_bytes) for core, b in budgets.items()))
""")


def test_install_run_and_uninstall_beside_the_host(tmp_path, wheel):
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    python = str(venv / "bin" / "python")
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip())
    pip(venv, "install", str(fake_host.build_wheel(tmp_path)))
    before = host_files(site)

    pip(venv, "install", str(wheel))
    assert host_files(site) == before
    out = run(python, "-c", HOST_PROGRAM, cwd=tmp_path).splitlines()
    assert out[0] == "[('in', 0), ('n0', 0), ('n1', 0), ('n2', 1), ('n3', 1), ('out', 1)]"
    assert out[1] == "1"
    assert out[2] == "[(0, 128, 64), (1, 128, 64)]"  # 2 nodes of 64 int8 weights, 8 fp32 state values

    pip(venv, "uninstall", "-y", "zerav-graph")
    assert host_files(site) == before
    assert not list((site / "zerav" / "graph").glob("partition*"))
    run(
        python,
        "-c",
        "import zerav.ir, zerav.graph.constraints; assert zerav.HOST == 'fake-host'",
        cwd=tmp_path,
    )

    # Without a host the modules fail to import with the host's own ImportError.
    pip(venv, "uninstall", "-y", "zerav")
    pip(venv, "install", "--no-deps", str(wheel))

    def last_line(code):
        done = subprocess.run([python, "-c", code], capture_output=True, text=True, cwd=tmp_path)
        assert done.returncode == 1
        return done.stderr.splitlines()[-1]

    assert last_line("import zerav.graph.partition") == last_line("from zerav import ir")
    assert (
        last_line("import zerav.graph.resource")
        == "ImportError: cannot import name 'ir' from 'zerav' (unknown location)"
    )
