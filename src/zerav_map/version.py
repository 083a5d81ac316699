"""The tool's version: the one of the installed distribution that provides ``zerav_map``."""

from __future__ import annotations

import importlib.metadata

_FALLBACK_DISTRIBUTION = "zerav-graph"


def tool_version() -> str:
    """The version from the package metadata; the distribution is looked up by the package it
    provides, so a renamed distribution still answers. "unknown" when none is installed (a
    source tree on the path)."""
    names = importlib.metadata.packages_distributions().get("zerav_map") or [_FALLBACK_DISTRIBUTION]
    for name in names:
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
    return "unknown"
