"""Benchmarks of the three native modules against the I/O floor of their inputs."""
