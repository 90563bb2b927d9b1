#!/usr/bin/env python3
"""kernel_lab's report in a real browser (headless Chromium): every draw the page shows is the bytes of
`kernel_lab render --u N`, a link to a draw selects it, the page works without scripts, and it fetches
nothing. Usage: report_browser_test.py KERNEL_LAB SAMPLE [SCREENSHOT]; exits 77 (skipped) without
Chromium. With SCREENSHOT it also takes the picture of the page that the README shows:
    tests/report_browser_test.py build/release/search/kernel_lab sample/ant.bmp docs/report-ant.png"""
import base64
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def dump_dom(chromium, profile, url, *extra):
    result = subprocess.run([chromium, *BROWSER_FLAGS, "--user-data-dir=" + profile, "--virtual-time-budget=10000",
                             *extra, "--dump-dom", url], capture_output=True, text=True, timeout=120)
    if result.returncode != 0 or "</html>" not in result.stdout:
        fail("the browser did not load " + url + ": " + result.stderr[-2000:])
    return result.stdout


def field(dom, name):
    match = re.search(r'id="' + name + r'">([^<]*)<', dom)
    if not match:
        fail("no element #" + name)
    return match.group(1)


def image(dom, cls):
    match = re.search(r'<img class="' + cls + r'" src="data:image/bmp;base64,([^"]*)"', dom)
    if not match:
        fail("no picture ." + cls)
    return base64.b64decode(match.group(1))


def render(lab, folder, source, u):
    out = subprocess.run([lab, "render", "--u", str(u), "--source", source, "--out", folder],
                         capture_output=True, text=True, check=True).stdout
    with open(os.path.join(folder, "output1.bmp"), "rb") as f:
        candidate = f.read()
    with open(os.path.join(folder, "diff.bmp"), "rb") as f:
        diff = f.read()
    return out, candidate, diff


def report_line(q, r, score):
    return "p_max = 0.000000; q_max = %s; r_max = %s; dwHiScore = %s;\n" % (q, r, score)


def main():
    lab, sample = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[3] if len(sys.argv) > 3 else None
    chromium = browser()
    if chromium is None:
        print("Chromium is not installed (Debian: apt-get install chromium): the report's browser test is skipped")
        return SKIPPED
    work = tempfile.mkdtemp(prefix="kernel_report_")
    try:
        profile = os.path.join(work, "profile")
        source = os.path.join(work, "ant.bmp")
        shutil.copy(sample, source)
        # Run where the picture is, as a user would, so that the page names it "ant.bmp".
        made = subprocess.run([os.path.abspath(lab), "report"], cwd=work, capture_output=True, text=True,
                              check=True).stdout.splitlines()
        page = os.path.join(work, "report.html")
        if made[0] != "report.html":
            fail("report printed " + made[0])
        with open(page, encoding="utf-8") as f:
            html = f.read()
        if len(html.encode()) > 1 << 20:
            fail("the page of a 24 x 24 report is over 1 MB")
        # Self-contained: every address in the page is a data URI or a fragment of the page itself.
        for address in re.findall(r'(?:src|href)="([^"]*)"', html) + re.findall(r"url\(([^)]*)\)", html):
            if not address.startswith(("data:", "#")):
                fail("the page refers to " + address[:80])

        # Many draws, chosen through the page's own code, against kernel_lab render.
        draws = sorted({0, 1, 32767, 15786} | set(random.Random(7).sample(range(32768), 120)))
        harness = os.path.join(work, "harness.html")
        probe = """<script>
const results = [];
for (const u of %s) {
  select(0, u);
  const el = sections[0].el, text = (name) => el.querySelector("output." + name).textContent;
  results.push({u, q: text("q"), r: text("r"), score: text("score"), exact: text("exact"),
    candidate: el.querySelector("img.candidate").src, diff: el.querySelector("img.diff").src});
}
const fetched = performance.getEntriesByType("resource").map((e) => e.name);
document.body.insertAdjacentHTML("beforeend", "<pre id=\\"results\\">" + JSON.stringify({results, fetched}) + "</pre>");
</script>
</body>""" % json.dumps(draws)
        with open(harness, "w", encoding="utf-8") as f:
            f.write(html.replace("</body>", probe))
        dom = dump_dom(chromium, profile, "file://" + harness)
        found = json.loads(re.search(r'<pre id="results">([^<]*)</pre>', dom).group(1).replace("&quot;", '"'))
        if found["fetched"]:
            fail("the page fetched " + ", ".join(found["fetched"]))
        folder = os.path.join(work, "render")
        os.mkdir(folder)
        for shown in found["results"]:
            out, candidate, diff = render(lab, folder, source, shown["u"])
            if report_line(shown["q"], shown["r"], shown["score"]) != out:
                fail("draw %d: the page shows %s, render prints %s" % (shown["u"], shown, out))
            if base64.b64decode(shown["candidate"].split(",")[1]) != candidate:
                fail("draw %d: the page's candidate is not render's output1.bmp" % shown["u"])
            if base64.b64decode(shown["diff"].split(",")[1]) != diff:
                fail("draw %d: the page's diff is not render's diff.bmp" % shown["u"])
            if shown["exact"] != ("1" if shown["score"] == "4032" else "0"):
                fail("draw %d: exact is %s at score %s" % (shown["u"], shown["exact"], shown["score"]))

        # A link to a draw selects it.
        for u in (3, 20000):
            dom = dump_dom(chromium, profile, "file://%s#u=%d" % (page, u))
            out, candidate, _ = render(lab, folder, source, u)
            if field(dom, "u") != str(u) or report_line(field(dom, "q"), field(dom, "r"), field(dom, "score")) != out:
                fail("#u=%d shows u = %s, %s" % (u, field(dom, "u"), field(dom, "score")))
            if image(dom, "candidate") != candidate:
                fail("#u=%d shows another candidate" % u)

        # Without scripts the markup holds the best draw; with them the page computes the same bytes for it.
        still = html
        live = dump_dom(chromium, profile, "file://" + page)
        best_line = made[1] + "\n"
        for dom in (still, live):
            if report_line(field(dom, "q"), field(dom, "r"), field(dom, "score")) != best_line:
                fail("the best draw's numbers are not " + best_line)
            if "<svg" not in dom:
                fail("no chart")
        for cls in ("source", "reference", "candidate", "diff", "graded"):
            if image(still, cls) != image(live, cls):
                fail("the page's own %s differs from the one in its markup" % cls)

        if screenshot:
            subprocess.run([chromium, *BROWSER_FLAGS, "--user-data-dir=" + profile, "--hide-scrollbars",
                            "--window-size=1300,1640", "--screenshot=" + screenshot, "file://" + page],
                           capture_output=True, check=True, timeout=120)
            with open(screenshot, "rb") as f:
                if f.read(8) != b"\x89PNG\r\n\x1a\n":
                    fail("no screenshot of the page")
        print("report in the browser: %d draws match kernel_lab render, links, no scripts, nothing fetched"
              % len(found["results"]))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
