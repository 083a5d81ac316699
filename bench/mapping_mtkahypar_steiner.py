"""Peer of the mapping benchmark: Mt-KaHyPar mapping the hypergraph (one net per source) onto
the mesh with its Steiner-tree objective. The target graph is the block of k cells the joint
mapping chooses (rows of equal width, the last one possibly shorter, the width that makes the
block closest to a square), every link of weight 1; each core may hold the chip's capacity.
Mt-KaHyPar refuses this objective beyond 64 blocks. Given `whole` (the strongly connected components
that fit one core, `whole_components`), each is one vertex of the hypergraph, as the mapping keeps
them."""

from __future__ import annotations

from bench.mapping_hypergraph import contract, initializer, nets_of

MAX_K = 64


def block_width(k: int, rows: int, cols: int) -> int:
    """The width of the joint mapping's block of k cells: the one with the smallest half
    perimeter (first such width), every cell inside the mesh."""
    best, best_score = min(cols, k), None
    for w in range(1, min(cols, k) + 1):
        h = -(-k // w)
        if h <= rows and (best_score is None or h + w < best_score):
            best, best_score = w, h + w
    return best


def mtkahypar_steiner(graph, hw, k, rates=None, whole=(), seed=0):
    """(node names, block per node, (row, col) per block)."""
    import mtkahypar

    mtkahypar.set_seed(seed)

    if k > MAX_K:
        raise ValueError(f"refused: Steiner-tree objective only for k <= {MAX_K} (k = {k})")
    rows, cols = hw.core_mesh_topology
    w = block_width(k, rows, cols)
    cells = [(b // w, b % w) for b in range(k)]
    at = {c: b for b, c in enumerate(cells)}
    links = [(b, at[(r, c + 1)]) for b, (r, c) in enumerate(cells) if (r, c + 1) in at]
    links += [(b, at[(r + 1, c)]) for b, (r, c) in enumerate(cells) if (r + 1, c) in at]
    init = initializer()
    ctx = init.context_from_preset(mtkahypar.PresetType.DEFAULT)
    ctx.logging = False
    ctx.set_mapping_parameters(k, 0.03)
    ctx.set_individual_target_block_weights([hw.max_neurons_per_core] * k)
    names = list(graph.nodes)
    nets, net_weights, node_weights = nets_of(graph, names, rates)
    vertex = range(len(names))
    if whole:
        vertex, nets, net_weights, node_weights = contract(nets, net_weights, node_weights, whole)
    hypergraph = init.create_hypergraph(ctx, len(node_weights), len(nets), nets, node_weights, net_weights)
    target = init.create_target_graph(ctx, k, len(links), links, [1] * len(links))
    blocks = hypergraph.map_onto_graph(target, ctx).get_partition()
    return names, [blocks[v] for v in vertex], cells
