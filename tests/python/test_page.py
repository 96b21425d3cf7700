"""The HTML page (`varnel report`, `analyze --html`) and the charts of the
Markdown report: what they draw is what the engines judged."""

import json
import re
import shutil
from pathlib import Path

import pytest

from helpers import build_history, commit, git, varnel
from varnel.report.series import Point, sparkline

pytest.importorskip("bokeh", reason="the page needs the report extra (pip install 'varnel[report]')")

HOSTILE = "<script>alert(1)</script> {{chart0}} @everyone"


@pytest.fixture(scope="module")
def analysed(tmp_path_factory):
    """Ninety days of commits with dependency, schema and config changes and releases, a last large
    commit of a hostile subject, analysed over the whole history with its page drawn."""
    history = tmp_path_factory.mktemp("page") / "repo"
    history.mkdir()
    git(history, "init", "-q", "-b", "main")
    build_history(history)
    commit(history, {f"lib/part{k}.py": "x = 1\n" * 200 for k in range(30)}, HOSTILE,
           date="2026-04-20T10:00:00+00:00")
    done = varnel("analyze", "--quiet", "--all", "--html", str(history / "page.html"), str(history))
    assert done.returncode == 0, done.stderr
    return history


def _record(repo: Path) -> dict:
    return json.loads((repo / ".varnel" / "phase5" / "report.json").read_text(encoding="utf-8"))


def test_the_page_charts_every_finding_and_asks_nothing_of_the_network(analysed):
    page = (analysed / "page.html").read_text(encoding="utf-8")
    record = _record(analysed)
    figures = re.findall(r'<figure class="varnel-chart"', page)
    assert record["findings"] and len(figures) == len(record["findings"]) + len(record["withheld"])
    assert "Content-Security-Policy" in page and "default-src 'none'" in page
    # Every script is inline, and no element outside them points anywhere (the browser test
    # checks that nothing is fetched: the charts' library knows a fetcher it is never asked to use).
    markup = re.sub(r"<script[^>]*>.*?</script>", "", page, flags=re.S)
    assert "<script" not in re.sub(r"<script>|<script type=\"[^\"]+\">", "", page[:0]) and \
        not re.search(r"""(src|href)\s*=\s*["']?(https?:|//)""", markup)
    assert not re.search(r"<script[^>]+src=", page)
    assert "<details>" in page or not record["withheld"]
    for section in ("Timeline of findings", "Vital signs, week by week", "Track record here", "Verification",
                    "Accepted deviations"):
        assert section in page


def test_repository_text_on_the_page_is_inert(analysed):
    page = (analysed / "page.html").read_text(encoding="utf-8")
    assert "<script>alert(1)" not in page and "&lt;script&gt;alert(1)" in page
    markup = re.sub(r"<script[^>]*>.*?</script>", "", page, flags=re.S)
    # The subject took no chart's place: one place per figure, the timeline's and the vital signs'.
    assert "{{chart0}}" not in markup and markup.count('data-root="') == markup.count("<figure ") + 2


def test_report_draws_the_last_analysis_without_running_it_again(analysed, tmp_path):
    before = sorted(p.name for p in (analysed / ".varnel" / "history").iterdir())
    target = tmp_path / "again.html"
    done = varnel("report", "--output", str(target), str(analysed))
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in (analysed / ".varnel" / "history").iterdir()) == before  # no analysis ran
    strip = lambda html: re.sub(r"drawn [0-9-]+ [0-9:]+ UTC|\"[0-9a-f-]{36}\"|id=\"p\d+\"|p\d{4}", "", html)  # noqa: E731
    assert len(strip(target.read_text(encoding="utf-8"))) == len(strip((analysed / "page.html").read_text()))
    default = varnel("report", str(analysed))
    assert default.returncode == 0 and (analysed / ".varnel" / "report.html").is_file()
    assert "report.html" in default.stderr


def test_report_before_any_analysis_says_what_to_do(repo):
    commit(repo, {"a.py": "x\n"}, "first")
    done = varnel("report", str(repo))
    assert done.returncode == 2 and "run 'varnel analyze' first" in done.stderr
    assert not (repo / ".varnel").exists()


def test_the_band_drawn_is_the_band_each_value_was_judged_by(analysed):
    """A value lies outside its band exactly when the engine flagged it, whatever the scale
    (MAD, or the interquartile range when the MAD is zero)."""
    from varnel.report.series import Judged
    from varnel.run.events import EventIndex

    ws = analysed / ".varnel"
    judged = Judged(ws, EventIndex.read(ws), _record(analysed)["settings"])
    checked = 0
    for family, metrics in (("git", ("files_touched", "dispersion", "change_locality")),
                            ("dependency", ("dependency_count", "max_depth"))):
        for metric in metrics:
            for p in judged.series(family, metric):
                if p.deviation is None or p.low == p.high:
                    continue
                checked += 1
                outside = p.value < p.low - 1e-9 or p.value > p.high + 1e-9
                assert outside == (abs(p.deviation) >= judged.threshold) or abs(abs(p.deviation) - 3) < 1e-4, p
    assert checked > 50


def test_markdown_findings_carry_a_sparkline_against_their_band(analysed):
    markdown = varnel("analyze", "--quiet", "--all", "--format", "markdown", str(analysed)).stdout
    record = _record(analysed)
    assert markdown.count("values against their band") >= min(1, len(record["findings"]))
    assert re.search(r"^\s+[\u2581-\u2588]{2,20}$", markdown, re.M) and re.search(r"^\s+[ \u25b2\u25bc\u00b7]+$",
                                                                                    markdown, re.M)


def test_a_sparkline_marks_each_value_against_its_own_band():
    from datetime import datetime, timezone

    at = datetime(2026, 1, 1, tzinfo=timezone.utc)
    points = [Point(f"e{i}", at, float(v), low=lo, high=hi, centre=5.0)
              for i, (v, lo, hi) in enumerate([(5, None, None), (5, 4, 6), (2, 4, 6), (9, 4, 6), (5, 5, 5)])]
    assert sparkline(points, "e4") == ("\u2584\u2584\u2581\u2588\u2584", " \u00b7\u25bc\u25b2\u00b7")
    assert sparkline(points, "e1", length=2) == ("\u2581\u2581", " \u00b7")
    assert sparkline(points, "missing") is None


def _browser():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (chromium and driver):
        pytest.skip("no chromium and chromedriver on PATH (apt-get install chromium chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium drives the browser (the test extra)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,1400"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(driver), options=options)


def test_the_page_renders_in_a_real_browser(analysed, tmp_path):
    browser = _browser()
    try:
        browser.get((analysed / "page.html").as_uri())
        # Charts are drawn as they come into view; draw every one, then wait until all are laid out.
        browser.execute_async_script("""
            const done = arguments[0];
            document.querySelectorAll("details").forEach(d => d.open = true);  // the withheld ones
            const ready = () => window.varnelDrawAll ? (varnelDrawAll(), finished()) : setTimeout(ready, 50);
            const finished = () => varnelDrawn() ? done() : setTimeout(finished, 50);
            ready();""")
        found = browser.execute_script("""
            const figures = [...document.querySelectorAll('figure.varnel-chart')];
            const drawn = figures.filter(f => f.querySelector('[data-drawn] [class*="bk-"]'));
            const models = [...Bokeh.documents[0]._all_models.values()];
            const hovers = models.filter(m => m.type === 'HoverTool' || m.constructor.name === 'HoverTool');
            const sources = models.filter(m => m.data && m.data.subject && m.data.t && m.data.commit);
            const fetched = performance.getEntriesByType('resource').map(r => r.name);
            return {figures: figures.length, drawn: drawn.length, hovers: hovers.length, fetched: fetched,
                    subjects: sources.map(s => Array.from(s.data.subject).length)};""")
        assert found["fetched"] == []
        assert found["figures"] and found["drawn"] == found["figures"]
        assert found["hovers"] >= found["figures"] and found["subjects"] and min(found["subjects"]) > 0
        severe = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
        assert not severe, severe
        shot = tmp_path / "page.png"
        browser.save_screenshot(str(shot))
        from PIL import Image

        colours = Image.open(shot).convert("RGB").getcolors(maxcolors=1 << 20)
        assert colours is not None and len(colours) > 50  # charts drawn, not a blank page
    finally:
        browser.quit()
