"""Runs one peer of the mapping benchmark in a forked child with a time limit, so that a peer
that takes minutes on one input (Mt-KaHyPar's Steiner-tree mapping on power-law graphs) is
reported as stopped instead of holding up the run. The child inherits the input graph; the
peer libraries are initialised in the child only (never in the parent, which forks again)."""

from __future__ import annotations

import gc
import multiprocessing
import time

LIMIT_S = 120.0


def run_limited(fn, setup=None, limit: float | None = None):
    """(fn()'s result, its seconds) or raises RuntimeError with what stopped it; `setup()`
    (imports, thread pools) runs in the child before the clock starts; the limit is `LIMIT_S`
    unless given."""
    limit = LIMIT_S if limit is None else limit
    context = multiprocessing.get_context("fork")
    reader, writer = context.Pipe(duplex=False)

    def child():
        try:
            if setup is not None:
                setup()
            gc.collect()
            t0 = time.perf_counter()
            out = fn()
            writer.send(("ok", (out, time.perf_counter() - t0)))
        except BaseException as e:  # noqa: BLE001 - reported to the parent as the peer's failure
            writer.send(("error", f"{type(e).__name__}: {str(e).strip()}"))

    process = context.Process(target=child, daemon=True)
    process.start()
    writer.close()
    try:
        if not reader.poll(limit):
            raise RuntimeError(f"stopped after {limit:.0f} s")
        kind, value = reader.recv()
    except EOFError:
        kind, value = "error", f"the peer's process died (exit code {process.exitcode})"
    finally:
        if process.is_alive():
            process.kill()
        process.join()
    if kind != "ok":
        raise RuntimeError(value)
    return value
