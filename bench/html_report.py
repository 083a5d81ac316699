"""The interactive report's size and load time: the built-in example on its 8 x 8 chip, and the
README's DVS CNN cut into groups of 32 on a 32 x 32 mesh of one group per core (about 950 cores
used by each of the four algorithms, ``--compare``). For each page, in one run: the file's size,
the time the tool takes to write it (the run with ``--html`` against the same run without), and
the time headless Chromium takes until the page is drawn (median of 5 loads); then the ratios of
the large page to the small one. Needs Debian's chromium and playwright (the test extra).
Usage: python -m bench.html_report
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CASES = {
    "example 8x8": [],
    "dvs-cnn 32x32": [
        "dvs-cnn.nir",
        *("--cores", "1024", "--mesh", "32x32", "--group-size", "32"),
        *("--neurons-per-core", "32", "--nodes-per-core", "1"),
    ],
}


def _tool(folder: str, args: list[str]) -> float:
    t0 = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "zerav_map", *args, "--compare", "--no-cores"],
        cwd=folder,
        check=False,
        capture_output=True,
    )
    return time.perf_counter() - t0


def _load_seconds(browser, path: str, repeats: int = 5) -> float:
    samples = []
    for _ in range(repeats):
        page = browser.new_page(viewport={"width": 1400, "height": 1000})
        t0 = time.perf_counter()
        page.goto("file://" + path)
        page.wait_for_function("() => window.Bokeh?.documents[0]?.is_idle", polling=20)
        samples.append(time.perf_counter() - t0)
        page.close()
    return statistics.median(samples)


def main() -> None:
    from playwright.sync_api import sync_playwright

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("no chromium: apt-get install chromium")
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rows = {}
    with tempfile.TemporaryDirectory() as folder, sync_playwright() as p:
        subprocess.run(
            [sys.executable, os.path.join(here, "docs/models/dvs_cnn.py"), "dvs-cnn.nir"],
            cwd=folder,
            check=True,
        )
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        for name, args in CASES.items():
            page = os.path.join(folder, "report.html")
            without = _tool(folder, args)
            with_html = _tool(folder, [*args, "--html", "report.html"])
            rows[name] = (os.path.getsize(page), with_html - without, _load_seconds(browser, page))
        browser.close()
    print(f"{'page':<16} {'bytes':>10} {'write s':>8} {'load s':>7}")
    for name, (size, write, load) in rows.items():
        print(f"{name:<16} {size:>10,} {write:>8.2f} {load:>7.2f}")
    (s0, _, l0), (s1, _, l1) = rows.values()
    print(f"large / small: size x{s1 / s0:.2f}, load time x{l1 / l0:.2f}")


if __name__ == "__main__":
    main()
