"""Description of the target chip, as the host compiler hands it to the back end."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass
class HardwareSpec:
    """A many-core chip: core count and capacity, the 2-D core mesh, SRAM and feedback delay.

    ``core_mesh_topology`` is ``(rows, cols)`` or None for a chip without a mesh.
    ``max_feedback_delay`` is the largest number of mesh hops a cross-core feedback edge may
    span; a negative value disables the check.
    """

    num_cores: int = 128
    max_neurons_per_core: int = 256
    core_mesh_topology: tuple[int, int] | None = (8, 16)
    sram_bytes_per_core: int = 256 * 1024
    max_feedback_delay: int = 4

    def validate(self) -> None:
        """Raise ``ValueError`` when the members contradict each other or are out of range."""

        def whole(name: str, value: object) -> int:
            if isinstance(value, bool) or not isinstance(value, int):
                raise ValueError(f"{name} must be an integer, got {value!r}")
            return value

        if whole("num_cores", self.num_cores) < 1:
            raise ValueError(f"num_cores must be at least 1, got {self.num_cores}")
        if whole("max_neurons_per_core", self.max_neurons_per_core) < 1:
            raise ValueError(f"max_neurons_per_core must be at least 1, got {self.max_neurons_per_core}")
        if whole("sram_bytes_per_core", self.sram_bytes_per_core) < 0:
            raise ValueError(f"sram_bytes_per_core must not be negative, got {self.sram_bytes_per_core}")
        whole("max_feedback_delay", self.max_feedback_delay)
        mesh = self.core_mesh_topology
        if mesh is not None:
            if not isinstance(mesh, tuple) or len(mesh) != 2:
                raise ValueError(f"core_mesh_topology must be None or (rows, cols), got {mesh!r}")
            rows, cols = whole("mesh rows", mesh[0]), whole("mesh cols", mesh[1])
            if rows < 1 or cols < 1:
                raise ValueError(f"core_mesh_topology needs at least one row and column, got {mesh}")
            if rows * cols < self.num_cores:
                raise ValueError(
                    f"core_mesh_topology {rows}x{cols} has {rows * cols} cells, "
                    f"fewer than num_cores={self.num_cores}"
                )
