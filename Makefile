# Entry points named in the README. Each sets up .venv (a CPython 3.13 of this machine, the
# dependencies, the native build) before it runs.
.PHONY: demo test test-sanitized bench bench-quick bench-mapping bench-mapping-quick build clean lint format

demo:
	./scripts/setup.sh test,tool
	.venv/bin/python -m zerav_map

test:
	./scripts/setup.sh test,tool
	.venv/bin/python -m pytest -q

# The same suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the modules.
test-sanitized:
	./scripts/test-sanitized.sh

bench:
	./scripts/setup.sh test,tool
	.venv/bin/python -m bench

bench-quick:
	./scripts/setup.sh test,tool
	.venv/bin/python -m bench --quick

# The joint mapping against METIS (pymetis, installed by the bench extra) and edgemap + place.
bench-mapping:
	./scripts/setup.sh test,tool,bench
	.venv/bin/python -m bench.mapping

bench-mapping-quick:
	./scripts/setup.sh test,tool,bench
	.venv/bin/python -m bench.mapping --quick

# Python (ruff) and C++ (clang-format) style checks; `make format` applies both.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp')
lint:
	./scripts/setup.sh test,tool,lint
	.venv/bin/ruff check .
	.venv/bin/ruff format --check .
	@.venv/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format:
	./scripts/setup.sh test,tool,lint
	.venv/bin/ruff check --fix .
	.venv/bin/ruff format .
	.venv/bin/clang-format -i $(CXX_SOURCES)

build:
	./scripts/setup.sh test,tool

clean:
	rm -rf build .venv
