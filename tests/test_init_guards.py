"""The initialisation guards of the three modules: once per process, one interpreter."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

MODULES = ["partition", "placement", "resource"]


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize("name", MODULES)
def test_reinitialisation_is_refused(name):
    out = run_python(f"""
        import sys
        import zerav.graph.{name}
        del sys.modules["zerav.graph.{name}"]
        try:
            import zerav.graph.{name}
        except ImportError as e:
            print(e)
    """)
    assert (
        out.stdout.strip()
        == f"Module '{name}' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    out = run_python(f"""
        import zerav.graph.{name}
        import _interpreters
        interp = _interpreters.create("legacy")
        code = "try:\\n import zerav.graph.{name}\\nexcept ImportError as e:\\n print(e)"
        _interpreters.run_string(interp, code)
    """)
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in out.stdout
    )
