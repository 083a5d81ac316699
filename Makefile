# Entry points named in the README. Each sets up .venv (a CPython 3.13 of this machine, the
# dependencies, the native build) before it runs.
.PHONY: demo test test-sanitized bench bench-quick bench-mapping bench-mapping-quick build clean lint format

demo:
	./scripts/setup.sh test
	.venv/bin/python -m zerav_map

test:
	./scripts/setup.sh test
	.venv/bin/python -m pytest -q

# The same suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the modules.
test-sanitized:
	./scripts/test-sanitized.sh

bench:
	./scripts/setup.sh test
	.venv/bin/python -m bench

bench-quick:
	./scripts/setup.sh test
	.venv/bin/python -m bench --quick

# The joint mapping against METIS (pymetis, installed by the bench extra), edgemap + place and
# Scotch (Debian's scotch package, installed here where apt can; skipped where it is missing).
# One BLAS thread: numpy's, woken by the inputs' simulation, would otherwise spin on the second
# core between the timed calls.
bench-mapping:
	./scripts/setup.sh test,bench
	command -v scotch_gmap >/dev/null || apt-get install -y -q scotch || echo "scotch not installed: its peer is skipped"
	OPENBLAS_NUM_THREADS=1 .venv/bin/python -m bench.mapping

bench-mapping-quick:
	./scripts/setup.sh test,bench
	command -v scotch_gmap >/dev/null || apt-get install -y -q scotch || echo "scotch not installed: its peer is skipped"
	OPENBLAS_NUM_THREADS=1 .venv/bin/python -m bench.mapping --quick

# Python (ruff) and C++ (clang-format) style checks, which `make format` applies,
# and the stubs checked against the built modules.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
STUBBED_MODULES = $(subst /,.,$(patsubst src/%.pyi,%,$(wildcard src/zerav/graph/*.pyi)))
lint:
	./scripts/setup.sh test,lint
	.venv/bin/ruff check .
	.venv/bin/ruff format --check .
	@.venv/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	.venv/bin/python -m mypy.stubtest $(STUBBED_MODULES)

format:
	./scripts/setup.sh test,lint
	.venv/bin/ruff check --fix .
	.venv/bin/ruff format .
	.venv/bin/clang-format -i $(CXX_SOURCES)

build:
	./scripts/setup.sh test

clean:
	rm -rf build .venv
