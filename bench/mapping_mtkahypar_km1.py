"""Peer of the mapping benchmark: Mt-KaHyPar's partition of the hypergraph (one net per
source) into k blocks minimising the connectivity (lambda - 1) metric, each block at most the
chip's capacity; `place` lays the blocks on the mesh."""

from __future__ import annotations

from bench.mapping_hypergraph import initializer, nets_of


def mtkahypar_km1(graph, hw, k, rates=None):
    """(node names, block per node)."""
    import mtkahypar

    init = initializer()
    ctx = init.context_from_preset(mtkahypar.PresetType.DEFAULT)
    ctx.logging = False
    ctx.set_partitioning_parameters(k, 0.03, mtkahypar.Objective.KM1)
    ctx.set_individual_target_block_weights([hw.max_neurons_per_core] * k)
    names = list(graph.nodes)
    nets, net_weights, node_weights = nets_of(graph, names, rates)
    hypergraph = init.create_hypergraph(ctx, len(names), len(nets), nets, node_weights, net_weights)
    return names, hypergraph.partition(ctx).get_partition()
