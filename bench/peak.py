"""Child process: peak memory growth (max RSS) of one call. Usage: python -m bench.peak ENTRY SHAPE N"""

from __future__ import annotations

import gc
import resource
import sys

from bench.cases import ENTRIES
from bench.inputs import SHAPES, chip_for


def main():
    entry, shape, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    case = ENTRIES[entry]
    graph, hw = SHAPES[shape](n), chip_for(n)
    if case["prepare"]:
        case["prepare"](graph, hw)
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = case["call"](graph, hw)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del result
    print((after - before) * 1024)


if __name__ == "__main__":
    main()
