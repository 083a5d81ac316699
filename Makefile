# Entry points named in the README. Each sets up .venv (a CPython 3.13 of this machine, the
# dependencies, the native build) before it runs.
.PHONY: demo test bench bench-quick build clean

demo:
	./scripts/setup.sh test,tool
	.venv/bin/python -m zerav_map

test:
	./scripts/setup.sh test
	.venv/bin/python -m pytest -q

bench:
	./scripts/setup.sh test
	.venv/bin/python -m bench

bench-quick:
	./scripts/setup.sh test
	.venv/bin/python -m bench --quick

build:
	./scripts/setup.sh test

clean:
	rm -rf build .venv
