#!/usr/bin/env bash
# Creates .venv with a CPython 3.13 of this machine, installs the build tools and the package
# (the extension modules are compiled in build/, incrementally) with the extras given as $1.
set -euo pipefail
cd "$(dirname "$0")/.."
extras="${1:-test}"
venv="${VENV:-.venv}"
if [ ! -x "$venv/bin/python" ]; then
  py=$(scripts/find-python.sh)
  "$py" -m venv "$venv"
fi
stamp="$venv/.deps-$(echo "$extras" | tr ',' '-')"
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation ".[${extras}]"
  touch "$stamp"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  ${ZERAV_BUILD_DIR:+-Cbuild-dir="$ZERAV_BUILD_DIR"} .
