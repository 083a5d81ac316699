"""Plain-Python models of the greedy, EdgeMap and spectral partitioners, written step by step from their
description with real rustworkx graphs and real sets, for differential tests of the native code."""

from __future__ import annotations

import warnings

import numpy as np
import rustworkx as rx
from scipy.sparse import csr_matrix, diags

import zerav.graph.partition as partition
from zerav.ir import Input, Output


def _working_graph(graph):
    rx_graph = rx.PyDiGraph()
    name_to_idx, idx_to_name = {}, {}
    for name in graph.nodes:
        idx = rx_graph.add_node(name)
        name_to_idx[name] = idx
        idx_to_name[idx] = name
    for src, dst in graph.edges:
        if src in name_to_idx and dst in name_to_idx:
            rx_graph.add_edge(name_to_idx[src], name_to_idx[dst], None)
    return rx_graph, name_to_idx, idx_to_name


def greedy(graph, hw_spec):
    rx_graph, name_to_idx, idx_to_name = _working_graph(graph)
    is_dag = rx.is_directed_acyclic_graph(rx_graph)
    node_to_scc = {}
    if is_dag:
        order = [idx_to_name[i] for i in rx.topological_sort(rx_graph)]
    else:
        sccs = [[idx_to_name[i] for i in scc] for scc in rx.strongly_connected_components(rx_graph)]
        order, seen = [], set()
        for scc in sorted(sccs, key=len, reverse=True):
            for name in scc:
                if name not in seen:
                    seen.add(name)
                    order.append(name)
        for scc in sccs:
            members = frozenset(scc)
            for name in scc:
                node_to_scc[name] = members

    assignments, core_counts, current = {}, {0: 0}, 0
    for name in order:
        node = graph.nodes[name]
        if isinstance(node, (Input, Output)):
            assignments[name] = current
            continue
        if name in node_to_scc:
            placed = [
                assignments[m]
                for m in node_to_scc[name]
                if m in assignments and not isinstance(graph.nodes[m], (Input, Output))
            ]
            if placed:
                assignments[name] = placed[0]
                core_counts[placed[0]] += 1
                continue
        if core_counts.get(current, 0) >= hw_spec.max_neurons_per_core:
            current += 1
            if current >= hw_spec.num_cores:
                raise ValueError(
                    f"Graph requires more than {hw_spec.num_cores} cores. "
                    "Reduce model size or increase core capacity."
                )
            core_counts[current] = 0
        assignments[name] = current
        core_counts[current] = core_counts.get(current, 0) + 1

    cross, feedback = [], []
    for src, dst in graph.edges:
        if src in assignments and dst in assignments and assignments[src] != assignments[dst]:
            cross.append((src, dst))
            if (
                not is_dag
                and src in node_to_scc
                and dst in node_to_scc
                and node_to_scc[src] == node_to_scc[dst]
            ):
                feedback.append((src, dst))
    used = len(set(assignments.values()))
    sizes = np.bincount(list(assignments.values()), minlength=used)
    return dict(
        assignments=assignments,
        num_cores_used=used,
        cross_core_edges=cross,
        feedback_edges=feedback,
        metrics={
            "cut_ratio": len(cross) / max(len(graph.edges), 1),
            "balance_stddev": np.std(sizes) / max(np.mean(sizes), 1),
            "total_cross_core_edges": len(cross),
            "total_feedback_edges": len(feedback),
        },
    )


def edgemap(graph, hw_spec, stage1=greedy):
    initial = stage1(graph, hw_spec)
    if not isinstance(initial, dict):
        initial = {"assignments": initial.assignments, "metrics": initial.metrics}
    rx_graph, name_to_idx, idx_to_name = _working_graph(graph)
    assignments = dict(initial["assignments"])
    core_sizes = {}
    for core in assignments.values():
        core_sizes[core] = core_sizes.get(core, 0) + 1
    node_neighbors = {name: [] for name in graph.nodes}
    for src, dst in graph.edges:
        if src in node_neighbors:
            node_neighbors[src].append(dst)
        if dst in node_neighbors:
            node_neighbors[dst].append(src)

    def delta_cost(node_name, old_core, new_core):
        delta = 0
        for nb in node_neighbors[node_name]:
            if nb not in assignments:
                continue
            nc = assignments[nb]
            delta += (1 if nc != new_core else 0) - (1 if nc != old_core else 0)
        return delta

    improved, iteration = True, 0
    while improved and iteration < 50:
        improved = False
        iteration += 1
        for node in list(assignments):
            if isinstance(graph.nodes[node], (Input, Output)):
                continue
            current = assignments[node]
            idx = name_to_idx[node]
            candidates = set()
            for succ in rx_graph.successor_indices(idx):
                if idx_to_name[succ] in assignments:
                    candidates.add(assignments[idx_to_name[succ]])
            for pred in rx_graph.predecessor_indices(idx):
                if idx_to_name[pred] in assignments:
                    candidates.add(assignments[idx_to_name[pred]])
            candidates.discard(current)
            for target in candidates:
                if core_sizes.get(target, 0) >= hw_spec.max_neurons_per_core:
                    continue
                if delta_cost(node, current, target) < 0:
                    assignments[node] = target
                    core_sizes[current] -= 1
                    core_sizes[target] = core_sizes.get(target, 0) + 1
                    improved = True
                    break

    # Feedback edges are those cross-core edges whose endpoints share an SCC.
    scc_of = {}
    for k, scc in enumerate(rx.strongly_connected_components(rx_graph)):
        for i in scc:
            scc_of[idx_to_name[i]] = k
    cross, feedback = [], []
    for src, dst in graph.edges:
        if src in assignments and dst in assignments and assignments[src] != assignments[dst]:
            cross.append((src, dst))
            if scc_of.get(src) == scc_of.get(dst) and src in scc_of:
                feedback.append((src, dst))
    return dict(
        assignments=assignments,
        num_cores_used=len(set(assignments.values())),
        cross_core_edges=cross,
        feedback_edges=feedback,
        metrics={
            "cut_ratio": len(cross) / max(len(graph.edges), 1),
            "total_cross_core_edges": len(cross),
            "total_feedback_edges": len(feedback),
            "refinement_iterations": iteration,
            "improvement_over_greedy": initial["metrics"].get("total_cross_core_edges", 0) - len(cross),
        },
    )


def spectral(graph, hw):
    """The spectral partitioner's steps in plain Python, with the solver looked up at each call.
    Differential tests install a deterministic solver: scipy's own restarts from an internal
    random state (even from a fixed starting vector), so two runs of it need not agree."""
    from scipy.sparse.linalg import eigsh  # looked up at each call, as the module does

    names = [k for k in graph.nodes if not isinstance(graph.nodes[k], (Input, Output))]
    n, pos = len(names), {k: i for i, k in enumerate(names)}
    if n == 0:
        return partition.PartitionResult(assignments=dict.fromkeys(graph.nodes, 0), num_cores_used=1)
    pairs = [(pos[a], pos[b]) for a, b in graph.edges if a in pos and b in pos]
    if not pairs:
        return partition.partition_greedy(graph, hw)
    rows, cols = [x for i, j in pairs for x in (i, j)], [x for i, j in pairs for x in (j, i)]
    adj = csr_matrix(([1.0] * len(rows), (rows, cols)), shape=(n, n))
    lap = diags(np.array(adj.sum(axis=1)).flatten()) - adj
    parts = min(max(1, (n + hw.max_neurons_per_core - 1) // hw.max_neurons_per_core), hw.num_cores)

    def bisect(indices, num_parts):
        if num_parts <= 1 or len(indices) <= hw.max_neurons_per_core:
            return {i: 0 for i in indices}
        sub_n = len(indices)
        if sub_n <= 2:
            return {idx: i % num_parts for i, idx in enumerate(indices)}
        try:
            f = eigsh(lap[np.ix_(indices, indices)], k=min(2, sub_n - 1), which="SM")[1][:, -1]
        except (ValueError, np.linalg.LinAlgError, ArithmeticError) as e:
            warnings.warn(
                f"Spectral bisection fallback (subgraph size {sub_n}): {type(e).__name__}: {e}",
                RuntimeWarning,
                stacklevel=2,
            )
            f = np.arange(sub_n, dtype=np.float64)
        med = np.median(f)
        a = [indices[i] for i in range(sub_n) if f[i] <= med]
        b = [indices[i] for i in range(sub_n) if f[i] > med]
        if not a or not b:
            a, b = indices[: sub_n // 2], indices[sub_n // 2 :]
        half = num_parts // 2
        return {**bisect(a, half), **{i: p + half for i, p in bisect(b, num_parts - half).items()}}

    local = bisect(list(range(n)), parts)
    assignments = {k: local.get(pos[k], 0) if k in pos else 0 for k in graph.nodes}
    g = rx.PyDiGraph()
    idx = {k: g.add_node(k) for k in graph.nodes}
    g.add_edges_from_no_data([(idx[a], idx[b]) for a, b in graph.edges if a in idx and b in idx])
    scc = {}
    if not rx.is_directed_acyclic_graph(g):
        for comp in rx.strongly_connected_components(g):
            scc.update(dict.fromkeys(members := frozenset(g[i] for i in comp), members))
    cross = [(a, b) for a, b in graph.edges if a in idx and b in idx and assignments[a] != assignments[b]]
    feedback = [(a, b) for a, b in cross if scc and scc[a] == scc[b]]
    metrics = {
        "cut_ratio": len(cross) / max(len(graph.edges), 1),
        "total_cross_core_edges": len(cross),
        "num_partitions": parts,
    }
    return partition.PartitionResult(assignments, len(set(assignments.values())), cross, feedback, metrics)


def feedback_violations(feedback_edges, assignments, hw_spec):
    """The feedback-delay check: hops of each cross-core feedback edge between the row-major
    homes of its cores (an unknown core sits at (0, 0)), or one hop without a mesh."""
    limit = hw_spec.max_feedback_delay
    violations = []
    if hw_spec.core_mesh_topology is not None:
        _rows, cols = hw_spec.core_mesh_topology
        core_pos = {cid: (cid // cols, cid % cols) for cid in range(hw_spec.num_cores)}
        for src, dst in feedback_edges:
            src_core, dst_core = assignments[src], assignments[dst]
            if src_core == dst_core:
                continue
            src_r, src_c = core_pos.get(src_core, (0, 0))
            dst_r, dst_c = core_pos.get(dst_core, (0, 0))
            hops = abs(src_r - dst_r) + abs(src_c - dst_c)
            if hops > limit:
                violations.append((src, dst, hops, limit))
    else:
        for src, dst in feedback_edges:
            if assignments[src] != assignments[dst] and limit < 1:
                violations.append((src, dst, 1, limit))
    return violations
