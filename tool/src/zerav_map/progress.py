"""Progress lines on stderr for steps that take more than about a second, on a terminal only."""

from __future__ import annotations

import contextlib
import sys
import threading
import time

_AFTER = 1.0  # seconds before a step says it is running


@contextlib.contextmanager
def step(label: str):
    """Run the body; when stderr is a terminal and the body is still running after a second,
    say so ("zerav-map: mapping with mapping ...") and say when it ends."""
    if not sys.stderr.isatty():
        yield
        return
    start = time.perf_counter()
    said = threading.Event()

    def say():
        said.set()
        print(f"zerav-map: {label} ...", file=sys.stderr, flush=True)

    timer = threading.Timer(_AFTER, say)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        if said.is_set():
            print(f"zerav-map: {label}: {time.perf_counter() - start:.1f} s", file=sys.stderr, flush=True)
