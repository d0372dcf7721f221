#!/usr/bin/python3
"""The bench page in a real browser.

Starts the virtual scope on a pty and qelvo-serve on a free port, opens the
page in headless chromium through selenium, captures two channels into CSV
and checks what a person would: the plot's pixels, the measurement table,
the download, the layout at 360 and 1280 pixels wide, and a console free of
errors. Screenshots go to BUILD/browser-360x740.png and BUILD/browser-1280x800.png.

Usage: page_test.py BUILD
"""

import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def wait_for(condition, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out after %g s waiting for %s" % (seconds, what))


def start_scope(build, tmp):
    link = os.path.join(tmp, "tty")
    log = open(os.path.join(tmp, "scope-sim.log"), "wb")
    sim = subprocess.Popen([os.path.join(build, "qelvo-scope-sim"), "--link", link],
                           stdout=log, stderr=subprocess.STDOUT)
    wait_for(lambda: os.path.exists(link), 5, "the virtual scope's link")
    return sim, link


def start_server(build, link, captures):
    server = subprocess.Popen(
        [os.path.join(build, "qelvo-serve"), "-s", link, "--listen=127.0.0.1:0",
         "--dir=" + captures],
        stdout=subprocess.PIPE, stderr=open(os.path.join(os.path.dirname(captures), "serve.log"), "wb"))
    ready, _, _ = select.select([server.stdout], [], [], 10)
    if not ready:
        raise AssertionError("qelvo-serve printed no start line within 10 s")
    line = server.stdout.readline().decode()
    m = re.fullmatch(r"qelvo-serve: serving (http://127\.0\.0\.1:\d+/)\?token=([0-9a-f]{32})\n",
                     line)
    if not m:
        raise AssertionError("unexpected start line %r" % line)
    return server, m.group(1), m.group(2)


class EventLog:
    """A second viewer of /api/events, outside the browser: its done event is
    what the page must agree with."""

    def __init__(self, base, token):
        self.events = []
        self.cond = threading.Condition()
        request = urllib.request.Request(base + "api/events",
                                         headers={"Authorization": "Bearer " + token})
        self.response = urllib.request.urlopen(request, timeout=120)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        name = None
        try:
            for raw in self.response:
                line = raw.decode("utf-8").rstrip("\n")
                if line.startswith("event: "):
                    name = line[7:]
                elif line.startswith("data: ") and name:
                    with self.cond:
                        self.events.append((name, json.loads(line[6:])))
                        self.cond.notify_all()
        except (OSError, ValueError):
            pass

    def all(self, name):
        with self.cond:
            return [data for event, data in self.events if event == name]

    def wait_done(self, count, seconds):
        """The count-th done event's data."""
        with self.cond:
            if not self.cond.wait_for(lambda: len(self.all("done")) >= count, seconds):
                raise AssertionError("no done event number %d within %g s" % (count, seconds))
            return self.all("done")[count - 1]


def make_driver(tmp, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                "--user-data-dir=" + os.path.join(tmp, "profile"), "--window-size=1280,800"]:
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": downloads})
    return driver


# Per trace colour (the legend swatch's), how many pixel columns and rows of
# the plot area hold a pixel of nearly that colour: a trace runs across the
# whole width and up and down, where a flat line or a legend patch would not.
TRACE_COVERAGE = """
const canvas = document.getElementById('plot');
const ctx = canvas.getContext('2d');
const w = canvas.width, h = canvas.height;
const ratio = w / canvas.clientWidth;
const left = Math.ceil(52 * ratio) + 2, right = Math.floor(w - 12 * ratio) - 2;
const top = Math.ceil(18 * ratio) + 2, bottom = Math.floor(h - 36 * ratio) - 2;
const pixels = ctx.getImageData(0, 0, w, h).data;
const colours = Array.from(document.querySelectorAll('#legend .swatch')).map(
    (s) => getComputedStyle(s).backgroundColor.match(/\\d+/g).slice(0, 3).map(Number));
const columns = colours.map(() => new Set());
const rows = colours.map(() => new Set());
for (let y = top; y < bottom; ++y) {
  for (let x = left; x < right; ++x) {
    const i = (y * w + x) * 4;
    colours.forEach((c, k) => {
      if (Math.abs(pixels[i] - c[0]) + Math.abs(pixels[i + 1] - c[1]) +
          Math.abs(pixels[i + 2] - c[2]) < 30) {
        columns[k].add(x);
        rows[k].add(y);
      }
    });
  }
}
return {colours: colours, columns: columns.map((s) => s.size), rows: rows.map((s) => s.size),
        width: right - left, height: bottom - top};
"""


def check_traces(driver, label, count=2):
    seen = driver.execute_script(TRACE_COVERAGE)
    colours = [tuple(c) for c in seen["colours"]]
    check(len(colours) == count and len(set(colours)) == count,
          "%s: the legend has %d different trace colours %s" % (label, count, colours))
    # The two traces cross, so the one drawn first loses some columns.
    for colour, columns, rows in zip(colours, seen["columns"], seen["rows"]):
        check(columns >= 0.7 * seen["width"] and rows >= 0.3 * seen["height"],
              "%s: the trace in rgb%s covers %d of %d pixel columns and %d of %d rows"
              % (label, colour, columns, seen["width"], rows, seen["height"]))


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


def screenshot(driver, path, width, height, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1,
                            "mobile": mobile})
    # The page redraws the plot on resize, one frame later.
    wait_for(lambda: driver.execute_script(
        "return window.innerWidth === %d && document.getElementById('plot').width === "
        "document.getElementById('plot').clientWidth" % width), 5, "the resized page")
    time.sleep(0.3)
    overflow = driver.execute_script("return document.documentElement.scrollWidth")
    check(overflow <= width, "%dx%d: no sideways scrolling (page %d px wide)"
          % (width, height, overflow))
    check_traces(driver, "%dx%d" % (width, height))
    if mobile:
        # A phone user scrolls down to the result; that is the view to keep.
        driver.execute_script("document.getElementById('result').scrollIntoView()")
        time.sleep(0.2)
    driver.save_screenshot(path)
    check(png_size(path) == (width, height), "screenshot %s is %dx%d" % (path, width, height))


def run(build, tmp):
    captures = os.path.join(tmp, "captures")
    downloads = os.path.join(tmp, "downloads")
    os.mkdir(downloads)
    sim, link = start_scope(build, tmp)
    server = driver = None
    try:
        server, base, token = start_server(build, link, captures)
        events = EventLog(base, token)
        driver = make_driver(tmp, downloads)
        driver.get(base + "?token=" + token)
        wait = WebDriverWait(driver, 20)
        wait.until(lambda d: d.find_element(By.ID, "busy").text == "idle")
        check("token" not in driver.current_url,
              "the token left the address bar (%s)" % driver.current_url)

        # A settings problem comes back in qelvo's words, next to its field.
        driver.find_element(By.ID, "timebase").send_keys("0")
        driver.find_element(By.ID, "capture").click()
        problem = driver.find_element(By.ID, "problem-timebase")
        wait.until(lambda d: problem.is_displayed())
        check(problem.text == "Invalid time base (0)",
              "the time base problem is shown next to it: %r" % problem.text)
        # The browser logs that 400 as a failed load; nothing else may be there.
        logged = [e["message"] for e in driver.get_log("browser")]
        check(len(logged) == 1 and "/api/capture" in logged[0] and "400" in logged[0],
              "the console holds only the refused capture: %s" % logged)

        driver.find_element(By.ID, "timebase").clear()
        driver.find_element(By.ID, "timebase").send_keys("1m")
        Select(driver.find_element(By.ID, "channels")).select_by_value("1,2")
        Select(driver.find_element(By.ID, "format")).select_by_value("csv")
        # Semicolons, whose numbers have a decimal comma the page must read.
        Select(driver.find_element(By.ID, "separator")).select_by_value(";")
        check(driver.find_element(By.ID, "measure").is_selected(), "measure is ticked")
        driver.find_element(By.ID, "capture").click()
        check(not problem.is_displayed(), "the old problem is cleared")

        done = events.wait_done(1, 90)
        job = events.all("job")[0]
        check(done["status"] == 0 and len(done["files"]) == 1,
              "the capture ended with status 0 and one file: %s" % json.dumps(done)[:200])
        check(job is not None and job["settings"].get("channels") == "1,2"
              and job["settings"].get("format") == "csv"
              and job["settings"].get("separator") == ";",
              "the job's settings are the page's: %s" % (job and job["settings"]))
        result = done["files"][0]
        name = result["name"]

        wait.until(lambda d: d.find_element(By.ID, "plot-title").text.startswith(name))
        wait.until(lambda d: d.find_element(By.ID, "busy").text == "idle")
        legend = [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#legend li")]
        check(legend == ["CH1", "CH2"], "the legend names both channels: %s" % legend)
        check_traces(driver, "1280x800")

        # The measurement table: one row per channel, the result's numbers.
        rows = driver.find_elements(By.CSS_SELECTOR, "#measure-table tbody tr")
        measure = result.get("measure") or []
        check(len(rows) == 2 and len(measure) == 2,
              "two measurement rows (%d) for two entries (%d)" % (len(rows), len(measure)))
        for row, entry in zip(rows, measure):
            head = row.find_element(By.TAG_NAME, "th").text
            check(head == "CH%d" % entry["channel"], "row %s is channel %d" % (head, entry["channel"]))
            for cell in row.find_elements(By.TAG_NAME, "td"):
                key = cell.get_attribute("data-key")
                shown = cell.get_attribute("data-value")
                want = entry.get(key)
                same = (shown == "null") if want is None else float(shown) == want
                readable = cell.text == "n/a" if want is None else re.match(r"^-?\d", cell.text)
                check(same and bool(readable),
                      "%s %s: %s shown as %r (result %r)" % (head, key, shown, cell.text, want))

        # The download through the page's own link.
        link_el = wait.until(lambda d: d.find_element(By.LINK_TEXT, name))
        link_el.click()
        downloaded = os.path.join(downloads, name)
        wait_for(lambda: os.path.exists(downloaded) and not any(
            f.endswith(".crdownload") for f in os.listdir(downloads)), 20, "the download")
        with open(downloaded, "rb") as got, open(os.path.join(captures, name), "rb") as want:
            got_bytes, want_bytes = got.read(), want.read()
        check(got_bytes == want_bytes
              and re.match(rb"Time \[s\];CH1 \[V\];CH2 \[V\]\n0,0+e\+00;-?\d,\d+e", got_bytes),
              "the downloaded %s equals the file in DIR (%d bytes)" % (name, len(want_bytes)))

        screenshot(driver, os.path.join(build, "browser-1280x800.png"), 1280, 800, False)
        screenshot(driver, os.path.join(build, "browser-360x740.png"), 360, 740, True)

        # One channel into TSV, whose header holds a Latin-1 µ: its own
        # colour, its channel named from the file's comment lines.
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        driver.execute_script("window.scrollTo(0, 0)")
        Select(driver.find_element(By.ID, "channels")).select_by_value("2")
        Select(driver.find_element(By.ID, "format")).select_by_value("tsv")
        driver.find_element(By.ID, "timebase").clear()
        driver.find_element(By.ID, "timebase").send_keys("100µ")
        driver.find_element(By.ID, "capture").click()
        tsv = events.wait_done(2, 90)["files"][0]["name"]
        check(tsv.endswith(".dat"), "the second capture is a TSV file: %s" % tsv)
        wait.until(lambda d: d.find_element(By.ID, "plot-title").text.startswith(tsv))
        legend = [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#legend li")]
        check(legend == ["CH2"], "the TSV file's legend names its one channel: %s" % legend)
        check_traces(driver, "TSV", 1)
        rows = driver.find_elements(By.CSS_SELECTOR, "#measure-table tbody tr")
        check(len(rows) == 1, "one measurement row for one channel (%d)" % len(rows))

        errors = [e for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
        check(not errors, "no errors on the console: %s" % errors)
    finally:
        if driver is not None:
            driver.quit()
        if server is not None:
            server.send_signal(signal.SIGTERM)
            try:
                status = server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                status = "none within 10 s"
            check(status == 0, "qelvo-serve ended on SIGTERM with status %s" % status)
        sim.terminate()
        sim.wait(10)


def main():
    if len(sys.argv) != 2:
        print("usage: page_test.py BUILD", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    tmp = tempfile.mkdtemp(prefix="qelvo-browser-")
    try:
        run(build, tmp)
    except Exception as err:  # a timeout or a missing element fails the test
        check(False, "%s: %s" % (type(err).__name__, err))
    finally:
        log = os.path.join(tmp, "serve.log")
        if failures and os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                print("qelvo-serve's standard error:\n" + f.read())
        shutil.rmtree(tmp, ignore_errors=True)
    passed = "passed" if not failures else "failed"
    print("browser-test: %s in %.1f s" % (passed, time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
