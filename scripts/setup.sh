#!/usr/bin/env bash
# Creates .venv with a CPython 3.13 of this machine and installs, from this repository:
#   standin/  the stand-in host (`zerav.ir`, `zerav.graph.constraints`),
#   .         the back end (the native modules, compiled in build/, incrementally), with the extras
#             given as $1 (test, lint),
#   tool/     the mapping tool, editable (with its `simulate` extra for the test extra);
# and, for the test extra, Debian's chromium (the HTML report's browser test) where apt runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
extras="${1:-test}"
venv="${VENV:-.venv}"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
if [ ! -x "$venv/bin/python" ]; then
  py=$(scripts/find-python.sh)
  "$py" -m venv "$venv"
fi
stamp="$venv/.deps-$(echo "$extras" | tr ',' '-')"
if [ ! -f "$stamp" ] || [ -n "$(find pyproject.toml standin tool/pyproject.toml -newer "$stamp" -type f -print -quit)" ]; then
  "${pip[@]}" --upgrade pip
  "${pip[@]}" "scikit-build-core>=0.10" cmake ninja "setuptools>=70"
  # The back end with its dependencies and extras, then the stand-in (whose `zerav/graph` holds the
  # back end's modules; in this order a venv made before the two were split keeps the stand-in's
  # files), then the tool.
  "${pip[@]}" --no-build-isolation ".[${extras}]"
  "${pip[@]}" --no-build-isolation --force-reinstall --no-deps ./standin
  # With the test extra the tool takes its `simulate` extra too, so that the tests run --simulate.
  tool="./tool"
  [[ ",$extras," == *",test,"* ]] && tool="./tool[simulate]"
  "${pip[@]}" --no-build-isolation -e "$tool"
  touch "$stamp"
fi
# The HTML report's test drives a headless Chromium: Debian's package, where apt can install it.
if [[ ",$extras," == *",test,"* ]] && ! command -v chromium >/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q chromium >/dev/null \
      || { apt-get update -q >/dev/null && apt-get install -y -q chromium >/dev/null; } \
      || echo "setup: chromium could not be installed: the HTML report's browser test will be skipped" >&2
  else
    echo "setup: no chromium and no apt as root to install it: the HTML report's browser test will be skipped" >&2
  fi
fi
"${pip[@]}" --no-build-isolation --no-deps ${ZERAV_BUILD_DIR:+-Cbuild-dir="$ZERAV_BUILD_DIR"} .
