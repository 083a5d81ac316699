#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter found on this machine, or fails. Looks at $PYTHON,
# then pyenv's versions (wherever pyenv keeps them), then python3.13 / python3 on the PATH and in
# the usual system folders.
set -euo pipefail
candidates=()
if [ -n "${PYTHON:-}" ]; then candidates+=("$PYTHON"); fi
roots=()
if [ -n "${PYENV_ROOT:-}" ]; then roots+=("$PYENV_ROOT"); fi
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root 2>/dev/null || true)"); fi
roots+=("$HOME/.pyenv")
for root in "${roots[@]}"; do
  [ -n "$root" ] || continue
  for p in "$root"/versions/3.13.*/bin/python3; do
    [ -x "$p" ] && candidates+=("$p")
  done
done
for name in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 python3; do
  p=$(command -v "$name" 2>/dev/null || true)
  [ -n "$p" ] && candidates+=("$p")
done
for p in "${candidates[@]}"; do
  if PYENV_VERSION="${PYENV_VERSION:-3.13}" "$p" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    echo "$p"; exit 0
  fi
done
echo "no CPython 3.13 with venv found (set PYTHON=/path/to/python3.13)" >&2
exit 1
