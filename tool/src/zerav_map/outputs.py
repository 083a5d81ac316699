"""Writing output files safely: never over a file the run reads, never half a file.

Every output (the JSON result, the plot, the HTML report, the exported model) goes through ``write_output``:
the content is written to a temporary file in the destination's folder and renamed over the
destination, so an interrupted run leaves the old file or the new one, never part of one.
``check_outputs`` runs before anything is read or computed: an output that names a file the
run reads (the model, the chip file), or two outputs that name the same file, stop the run.
"""

from __future__ import annotations

import os
import re
import tempfile
from collections.abc import Callable
from typing import IO

from zerav_map.errors import InputError

STDOUT = "-"


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist yet
        return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(outputs: dict[str, str | None], inputs: dict[str, str | None]) -> None:
    """``outputs`` maps a flag (``--json``) to its file or None; ``inputs`` are the files the
    run reads, by what they are ("the model"). Raises ``InputError`` for an output over an input, over another output or over
    a model file, into a folder that does not exist, or onto a directory. A JSON output must
    end in .json (or be ``-``, stdout), an HTML report in .html: ``--json net.nir`` is a slip, never a wish to replace
    the network with a report."""
    read = {what: p for what, p in inputs.items() if p is not None}
    seen: dict[str, str] = {}
    for flag, path in outputs.items():
        if path is None or path == STDOUT:
            continue
        if flag in ("--json", "--export-model") and not path.lower().endswith(".json"):
            raise InputError(f"{flag} {path}: the file must end in .json (or be - for stdout)")
        if flag == "--html" and not path.lower().endswith(".html"):
            raise InputError(f"{flag} {path}: the file must end in .html")
        for what, src in read.items():
            if _same_file(path, src):
                raise InputError(f"{flag} {path}: refusing to write over {what}, which this run reads")
        for other_flag, other in seen.items():
            if _same_file(path, other):
                raise InputError(f"{flag} {path}: {other_flag} writes the same file")
        if os.path.isdir(path):
            raise InputError(f"{flag} {path}: is a directory")
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise InputError(f"{flag} {path}: the folder {folder} does not exist")
        if flag in ("--json", "--html") and _is_model(path):
            raise InputError(
                f"{flag} {path}: refusing to write over a model file (to map it, pass it as the "
                "MODEL argument; to replace it, remove it first)"
            )
        seen[flag] = path


def _is_model(path: str) -> bool:
    """Whether ``path`` is an existing NIR file or JSON model: its start holds the HDF5
    signature or a top-level node list (a result document's "nodes" is a count)."""
    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
    except OSError:
        return False
    return head.startswith(b"\x89HDF") or re.search(rb'"nodes"\s*:\s*\[', head) is not None


def write_output(
    path: str, write: Callable[[IO], None], *, binary: bool = False, what: str = "output"
) -> None:
    """Call ``write(f)`` on a temporary file beside ``path``, then rename it to ``path``.

    On any failure the temporary file is removed and ``path`` is left as it was; an
    ``OSError`` becomes an ``InputError`` naming the file and ``what`` was being written.
    """
    folder = os.path.dirname(path) or "."
    base = os.path.basename(path)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=folder)
    except OSError as e:
        raise InputError(f"{path}: cannot write the {what}: {e.strerror or e}") from None
    try:
        mode = "wb" if binary else "w"
        with os.fdopen(fd, mode, **({} if binary else {"encoding": "utf-8"})) as f:
            write(f)
        _keep_mode(path, tmp)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise InputError(f"{path}: cannot write the {what}: {e.strerror or e}") from None
        raise


def _keep_mode(path: str, tmp: str) -> None:
    """Give the new file the old one's permissions, or the usual ones for a new file
    (``mkstemp`` makes it readable by its owner only)."""
    try:
        mode = os.stat(path).st_mode & 0o777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(tmp, mode)
