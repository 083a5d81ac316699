#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan-site
# and runs the test suite against that build (the sanitizer runtimes preloaded into the
# project's interpreter, leak detection off for the interpreter's own allocations, every
# report fatal). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${VENV:-.venv}"
./scripts/setup.sh test >/dev/null
site=build/asan-site
rm -rf "$site" "$site.modules"
# The stand-in host first, so that `zerav` resolves to this folder, ahead of .venv's; then the
# sanitized modules copied into its `zerav/graph` (a second `pip install --target` into the same
# folder skips a package folder that already exists, and the tests would import .venv's release
# build).
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  --target "$site" ./standin
ZERAV_SANITIZE=ON "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Cbuild-dir=build/asan --target "$site.modules" .
cp -R "$site.modules/zerav/graph/." "$site/zerav/graph/"
cxx="${CXX:-g++}"
preload="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
export LD_PRELOAD="$preload"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_odr_violation=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
export ZERAV_SANITIZED=1
# Refuse to run against any other build of the modules.
"$venv/bin/python" -c "
import sys
from zerav.graph import mapping, partition, placement, resource
for m in (mapping, partition, placement, resource):
    if not m.__file__.startswith('$PWD/$site/'):
        sys.exit(f'{m.__name__} is not the sanitized build: {m.__file__}')
"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
