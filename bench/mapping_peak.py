"""Child process: peak memory growth of one map_graph or partition(greedy) call on one input
of the mapping benchmark. Usage: python -m bench.mapping_peak mapping|greedy CASE [--quick]"""

from __future__ import annotations

import gc
import sys

from bench.mapping_inputs import cases, chip, delay_for
from bench.peak import _reset_peak, _status_kb
from zerav.graph.mapping import map_graph
from zerav.graph.partition import partition


def main():
    entry, case = sys.argv[1], sys.argv[2]
    build = dict(cases("--quick" in sys.argv))[case]
    graph = build()
    hw = chip(graph, delay_for(case))
    call = (lambda: map_graph(graph, hw)) if entry == "mapping" else (lambda: partition(graph, hw, "greedy"))
    gc.collect()
    if not _reset_peak():
        sys.exit("needs /proc/self/clear_refs")
    before = _status_kb("VmRSS")
    call()
    print(max(0, _status_kb("VmHWM") - before) * 1024)


if __name__ == "__main__":
    main()
