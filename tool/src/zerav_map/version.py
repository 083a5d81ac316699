"""The tool's version: the one of the installed distribution that provides ``zerav_map``."""

from __future__ import annotations

import functools
import importlib.metadata
import json
import os
from urllib.parse import unquote, urlparse

# The distribution that ships the tool today; checked first because finding the provider of a
# package among every installed distribution reads all their file lists (about a second).
_EXPECTED_DISTRIBUTION = "zerav-map"


@functools.cache
def tool_version() -> str:
    """The version from the package metadata; "unknown" when no installed distribution
    provides the tool (a source tree on the path)."""
    try:
        dist = importlib.metadata.distribution(_EXPECTED_DISTRIBUTION)
        if _provides(dist):
            return dist.version
    except importlib.metadata.PackageNotFoundError:
        pass
    for name in importlib.metadata.packages_distributions().get("zerav_map", ()):
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            continue
    return "unknown"


def _provides(dist) -> bool:
    """Whether ``dist`` installed this ``zerav_map``: its file list holds the package, or it is an
    editable install (a .pth file in the list) of the source folder this package lives in."""
    if any(str(f).startswith("zerav_map/") for f in dist.files or ()):
        return True
    try:
        origin = json.loads(dist.read_text("direct_url.json") or "{}")
    except ValueError:
        return False
    url = urlparse(origin.get("url", ""))
    if not origin.get("dir_info", {}).get("editable") or url.scheme != "file":
        return False
    root = os.path.realpath(unquote(url.path))
    return os.path.realpath(os.path.dirname(__file__)).startswith(root + os.sep)
