"""The HTML page of an analysis: its size, the time to draw it, and the time
a real browser takes to render it (from navigation until every chart is
drawn), for each repository given.

Each repository is analysed over its whole history; its page is drawn as
the report would draw it, and again for an advisory of `--findings` (30)
findings: the strongest deviations of its history, whatever the metric, each
charted over the metric's whole series. The page must stay under 3 MB and
render in under 2 seconds (the charts of the first screen drawn; the others are
drawn as they are scrolled to).

    python bench/report_page.py REPO [REPO...] [--findings 30] [--runs 3]

Needs the report and test extras and chromium with its driver on PATH.
"""

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def render_seconds(page: Path, runs: int) -> list[float]:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,1400"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    try:
        times = []
        for _ in range(runs):
            browser.get("about:blank")
            start = time.perf_counter()
            browser.get(page.as_uri())
            # Rendered: the charts in the first screen drawn (the rest are drawn as they are scrolled to).
            browser.execute_async_script("""
                const done = arguments[0];
                const shown = () => [...document.querySelectorAll("[data-root]")]
                    .filter(p => p.offsetParent !== null && p.getBoundingClientRect().top < window.innerHeight);
                const idle = () => window.varnelDrawn && shown().every(p => p.dataset.drawn) && varnelDrawn()
                    ? done() : setTimeout(idle, 10);
                idle();""")
            times.append(time.perf_counter() - start)
        return times
    finally:
        browser.quit()


def draw(workspace: Path, record: dict) -> str:
    from varnel.report.page import page

    return page(workspace, record)


def strongest(workspace: Path, record: dict, count: int) -> dict:
    """The record with the `count` strongest deviations of the whole history as its findings."""
    signals = []
    for path in sorted((workspace / "phase2").glob("*_signals.json")):
        family = path.name[:-len("_signals.json")]
        for s in json.loads(path.read_text(encoding="utf-8")):
            measure = (s.get("deviation") or {}).get("measure") or 0
            signals.append((abs(measure), family, s["metric"], s["event_ref"]))
    signals.sort(reverse=True)
    found = [{"family": f, "metric": m, "event_ref": ref, "kind": "change", "concern": True,
              "text": f"{f}/{m} {measure:.1f} deviations from its median"} for measure, f, m, ref in signals[:count]]
    return dict(record, findings=found, withheld=[])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("repos", nargs="+", type=Path)
    parser.add_argument("--findings", type=int, default=30)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"{'repository':<30}{'page':>6}{'findings':>9}{'withheld':>9}{'MB':>7}{'draw s':>8}{'render s (median)':>19}")
    for repo in args.repos:
        with tempfile.TemporaryDirectory() as scratch:
            workspace = Path(scratch) / "ws"
            run = [sys.executable, "-m", "varnel", "analyze", "--quiet", "--all", "--format", "json",
                   "--workspace", str(workspace), str(repo)]
            done = subprocess.run(run, capture_output=True, text=True)
            if done.returncode not in (0, 1):
                print(f"{repo}: analyze failed: {done.stderr.strip()}", file=sys.stderr)
                continue
            record = json.loads(done.stdout)
            for name, shown in (("own", record), (f"{args.findings}", strongest(workspace, record, args.findings))):
                page = Path(scratch) / f"{name}.html"
                start = time.perf_counter()
                page.write_text(draw(workspace, shown), encoding="utf-8")
                drawn = time.perf_counter() - start
                render = statistics.median(render_seconds(page, args.runs))
                print(f"{repo.name:<30}{name:>6}{len(shown['findings']):>9}{len(shown['withheld']):>9}"
                      f"{page.stat().st_size / 1e6:>7.2f}{drawn:>8.2f}{render:>19.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
