"""Hardware-mapping back end: ``partition``, ``placement`` and ``resource`` are native modules.

This package imports none of them, so the host can load each one on its own.
"""
