"""Child process: peak memory growth of one call. Usage: python -m bench.peak ENTRY SHAPE N

The peak resident size is reset after the input is built (Linux: /proc/self/clear_refs), so
the growth is the call's own high-water mark above the resident size before it."""

from __future__ import annotations

import gc
import resource
import sys

from bench.cases import ENTRIES
from bench.inputs import SHAPES, chip_for


def _status_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def main():
    entry, shape, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    case = ENTRIES[entry]
    graph, hw = SHAPES[shape](n), chip_for(n)
    if case["prepare"]:
        case["prepare"](graph, hw)
    gc.collect()
    if _reset_peak() and _status_kb("VmHWM") is not None:
        before = _status_kb("VmRSS")
        result = case["call"](graph, hw)
        after = _status_kb("VmHWM")
    else:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = case["call"](graph, hw)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del result
    print(max(0, after - before) * 1024)


if __name__ == "__main__":
    main()
