"""The names the command line offers, kept free of heavy imports so ``--help`` starts fast."""

from __future__ import annotations

# The partitioners of the partition module, then the joint mapping (the default: it counts
# SRAM and finds a mapping wherever the others do).
PARTITIONER_NAMES = ("greedy", "edgemap", "spectral")
ALGORITHMS = (*PARTITIONER_NAMES, "mapping")
DEFAULT_ALGORITHM = "mapping"

# Block policies for cutting (C, H, W) layers into groups.
POLICIES = ("channels", "tiles")

# Element types the chip stores arrays in.
PRECISION_NAMES = ("fp32", "fp16", "int32", "int16", "int8", "int4")

# The lowering stops before building more group edges than this.
DEFAULT_MAX_EDGES = 50_000_000

# Activity when nothing else gives it: spikes per neuron per step, steps of one inference; and
# the simulation's Poisson input (spikes per input neuron per step) and time step (seconds).
DEFAULT_RATE = 0.05
DEFAULT_STEPS = 100
DEFAULT_INPUT_RATE = 0.1
DEFAULT_DT = 1e-3
