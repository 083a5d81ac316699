"""A plain-Python model of `place`, written step by step from its description with a real
set for the free cells, for differential tests of the native code."""

from __future__ import annotations


def place_model(graph, hw_spec):
    """(logical_to_physical, total_hop_distance, improvement) as the described steps give them."""
    if hw_spec.core_mesh_topology is None:
        return {i: (i, 0) for i in range(hw_spec.num_cores)}, 0, 0.0
    rows, cols = hw_spec.core_mesh_topology
    if getattr(graph, "partition_metadata", None) is None:
        return {i: (i // cols, i % cols) for i in range(rows * cols)}, 0, 0.0
    assignments = getattr(graph, "partition_metadata", None).get("assignments", {})
    num_cores_used = getattr(graph, "partition_metadata", None).get("num_cores_used", 1)

    comm_weight = {}
    for src, dst in graph.edges:
        src_core = assignments.get(src, 0)
        dst_core = assignments.get(dst, 0)
        if src_core != dst_core:
            key = (min(src_core, dst_core), max(src_core, dst_core))
            comm_weight[key] = comm_weight.get(key, 0) + 1
    sorted_pairs = sorted(comm_weight.items(), key=lambda item: item[1], reverse=True)
    core_neighbors = {}
    for (ca, cb), weight in sorted_pairs:
        core_neighbors.setdefault(ca, []).append((cb, weight))
        core_neighbors.setdefault(cb, []).append((ca, weight))

    placed, occupied, free_positions = {}, set(), set()
    for r in range(rows):
        for c in range(cols):
            free_positions.add((r, c))

    def get_neighbors(r, c):
        r, c = int(r), int(c)
        out = []
        for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
            nr, nc = r + dr, c + dc
            if 0 <= nr < rows and 0 <= nc < cols and (nr, nc) not in occupied:
                out.append((nr, nc))
        return out

    def place_core(core_id, pos):
        placed[int(core_id)] = pos
        occupied.add(pos)
        free_positions.discard(pos)

    if sorted_pairs:
        (core_a, core_b), _ = sorted_pairs[0]
        center_r, center_c = rows // 2, cols // 2
        place_core(core_a, (center_r, center_c))
        neighbors = get_neighbors(center_r, center_c)
        if neighbors:
            place_core(core_b, neighbors[0])

    for i in range(num_cores_used):
        if i in placed:
            continue
        best_pos, best_score = None, -1
        for partner, weight in core_neighbors.get(i, []):
            if partner in placed and weight > best_score:
                free = get_neighbors(*placed[partner])
                if free:
                    best_pos, best_score = free[0], weight
        if best_pos is None and free_positions:
            best_pos = next(iter(free_positions))
        if best_pos is not None:
            place_core(i, best_pos)

    total_hops = 0
    for (ca, cb), weight in comm_weight.items():
        if ca in placed and cb in placed:
            (ra, ca_col), (rb, cb_col) = placed[ca], placed[cb]
            total_hops += (abs(ra - rb) + abs(ca_col - cb_col)) * weight
    baseline_hops = 0
    for (ca, cb), weight in comm_weight.items():
        ra, ca_col = ca // cols, ca % cols
        rb, cb_col = cb // cols, cb % cols
        baseline_hops += (abs(ra - rb) + abs(ca_col - cb_col)) * weight
    if baseline_hops > 0:
        improvement = (baseline_hops - total_hops) / max(baseline_hops, 1) * 100.0
    else:
        improvement = 0.0
    return placed, total_hops, improvement
