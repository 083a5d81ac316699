"""The tool's version: the one of the installed distribution that provides ``zerav_map``."""

from __future__ import annotations

import functools
import importlib.metadata

# The distribution that ships the tool today; checked first because finding the provider of a
# package among every installed distribution reads all their file lists (about a second).
_EXPECTED_DISTRIBUTION = "zerav-map"


@functools.cache
def tool_version() -> str:
    """The version from the package metadata; "unknown" when no installed distribution
    provides the tool (a source tree on the path)."""
    try:
        dist = importlib.metadata.distribution(_EXPECTED_DISTRIBUTION)
        if any(str(f).startswith("zerav_map/") for f in dist.files or ()):
            return dist.version
    except importlib.metadata.PackageNotFoundError:
        pass
    for name in importlib.metadata.packages_distributions().get("zerav_map", ()):
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
    return "unknown"
