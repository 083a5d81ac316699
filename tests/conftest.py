"""Test-run configuration: the hypothesis profiles (shared builders live in tests/helpers.py)."""

from __future__ import annotations

import os

from hypothesis import settings

# CI runs the property tests on a fixed sequence of examples, so that a run's verdict is about
# the change and not about the draw; a deeper random search is one environment variable away
# (ZERAV_HOSTILE_EXAMPLES) and runs without this profile.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("ZERAV_HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["ZERAV_HYPOTHESIS_PROFILE"])
