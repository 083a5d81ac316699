"""The cost of a mapping on the chip: spikes, link and router traversals, energy and time per
step (``model``), with the chip's figures (``params``) and synapses per neuron (``fanout``)."""
