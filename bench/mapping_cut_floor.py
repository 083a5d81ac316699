"""The lowest cut METIS finds on the small layered inputs, against half of edgemap + `place`'s
hop total there. Every cut edge spans at least one hop, so a mapping's hop total is at least its
cut: where the lowest cut found exceeds half of edgemap's hops, no partition we know of meets
the target "hops at most half of edgemap + place".

Usage: python -m bench.mapping_cut_floor

Per input: METIS k-way and recursive bisection at k, k + 1 and k + 2 cores (k the mapping's
core count), seeds 0-9, four cuts each, every result repaired to the capacity."""

from __future__ import annotations

import warnings

from bench.mapping import adjacency_of, edgemap_run, mapping_run, pymetis, repair
from bench.mapping_inputs import cases, chip, delay_for

SEEDS = range(10)


def lowest_cut(graph, hw, k):
    names, adjacency = adjacency_of(graph)
    index = {n: i for i, n in enumerate(names)}
    best = None
    for parts_count in (k, k + 1, k + 2):
        for seed in SEEDS:
            for recursive in (False, True):
                options = pymetis.Options(seed=seed, ncuts=4)
                _, parts = pymetis.part_graph(
                    parts_count, adjacency=adjacency, options=options, recursive=recursive
                )
                parts = repair(list(parts), parts_count, graph, names, adjacency, hw.max_neurons_per_core)
                cut = sum(1 for s, d in graph.edges if parts[index[s]] != parts[index[d]])
                best = cut if best is None else min(best, cut)
    return best


def main():
    warnings.simplefilter("ignore")
    for name, build in cases(quick=True):
        if not name.startswith("layered"):
            continue
        graph = build()
        hw = chip(graph, delay_for(name))
        ours = mapping_run(graph, hw)
        edgemap = edgemap_run(build(), hw)
        floor = lowest_cut(build(), hw, ours["cores"])
        print(
            f"{name}: k={ours['cores']} ours cut {ours['cut']} hops {ours['hops']} | lowest METIS cut "
            f"{floor} | half of edgemap + place hops {edgemap['hops'] / 2:.0f}"
        )


if __name__ == "__main__":
    main()
