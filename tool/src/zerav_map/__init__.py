"""zerav-map: map a spiking-network model onto a many-core chip and report the result.

The tool runs the back end's three stages on one model (partition, then mesh placement, then
per-core SRAM budgets) and prints what came out: a summary per algorithm, the per-core budgets,
the problems found, optionally a JSON document and a picture of the mesh. ``__version__`` is
read from the package metadata when first asked for.
"""


def __getattr__(name: str):
    if name == "__version__":
        from zerav_map.version import tool_version

        return tool_version()
    raise AttributeError(f"module 'zerav_map' has no attribute {name!r}")
