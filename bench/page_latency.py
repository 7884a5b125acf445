#!/usr/bin/python3
"""How fast the page's achieved curve follows a drag: headless Chromium,
firtune without a device at each filter length, a 100-step drag of one
breakpoint ("layout") and of one band of a 10-band AutoEq file ("bands").
For every pointer event, the time from the event to the achieved curve
that includes it: once the path is updated in the page ("upd") and at the
next animation frame ("frame"); and the round trip of the design requests
alone ("rtt": request sent to answer received). Then Live ("live"): the
same band drag with firtune under the device stand-in (no journal), two
linked channels, and the time from each edit that was written to its taps
written ("upd" column; "frame" is its 95th percentile's neighbour, p95).

Usage: bench/page_latency.py [LENGTH ...]   (default 4096 65536)
Environment: FIRTUNE, FIRLOAD_SIM_LIB as for tests/page/page_test.py."""
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "page"))
import browser  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

STEPS = 100

# A 10-band parametric file as AutoEq writes them.
AUTOEQ = """Preamp: -6.4 dB
Filter 1: ON LSC Fc 105 Hz Gain 5.9 dB Q 0.70
Filter 2: ON PK Fc 62 Hz Gain -1.8 dB Q 0.52
Filter 3: ON PK Fc 180 Hz Gain -3.2 dB Q 0.61
Filter 4: ON PK Fc 980 Hz Gain 1.4 dB Q 1.20
Filter 5: ON PK Fc 2400 Hz Gain 3.3 dB Q 2.10
Filter 6: ON PK Fc 3600 Hz Gain -2.9 dB Q 3.40
Filter 7: ON PK Fc 5400 Hz Gain 4.2 dB Q 4.80
Filter 8: ON PK Fc 7700 Hz Gain -4.6 dB Q 5.20
Filter 9: ON PK Fc 11000 Hz Gain -1.9 dB Q 1.70
Filter 10: ON HSC Fc 10000 Hz Gain -2.4 dB Q 0.70
"""


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def measure(driver, length, mode):
    with tempfile.TemporaryDirectory() as folder:
        live = mode == "live"
        args = ["-d", "/dev/pcmx.ctl"] if live else ["-n", str(length)]
        app = browser.Firtune(args, length=length, folder=folder, journal=False)
        try:
            driver.get(app.url())
            browser.wait(driver, lambda d: d.execute_script(
                "return window.firtune.ready && window.firtune.stats.inFlight === 0"))
            if mode == "layout":
                with open(os.path.join(browser.TOP, "examples", "loudness.eq")) as f:
                    layout = f.read()
                area = driver.find_element(By.ID, "layout-text")
                area.clear()
                area.send_keys(layout)
                area.send_keys(Keys.TAB)
                handles = ".breakpoint"
            else:
                path = os.path.join(folder, "autoeq.txt")
                with open(path, "w") as f:
                    f.write(AUTOEQ)
                driver.find_element(By.ID, "import-file").send_keys(path)
                handles = "circle.band"
            browser.wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, handles)) > 3)
            browser.wait(driver, lambda d: d.execute_script(
                "return window.firtune.stats.inFlight === 0 && (!window.firtune.liveIdle || window.firtune.liveIdle())"))
            if live and driver.execute_script("return document.getElementById('live').checked") is not True:
                raise RuntimeError("Live is off with a device")
            driver.execute_script("window.firtune.latencies = []; window.firtune.frameLatencies = [];"
                                  "window.firtune.liveLatencies = [];"
                                  "window.firtune.stats.maxInFlight = 0; window.firtune.stats.roundTrips = [];")
            handle = driver.find_elements(By.CSS_SELECTOR, handles)[3]
            chain = ActionChains(driver, duration=16).click_and_hold(handle)
            for k in range(STEPS):
                chain.move_by_offset(1 if k % 2 else -1, -2 if k < STEPS // 2 else 2)
            chain.release().perform()
            browser.wait(driver, lambda d: d.execute_script(
                "return window.firtune.stats.inFlight === 0 && window.firtune.frameLatencies.length >= %d"
                " && window.firtune.liveIdle()" % STEPS), timeout=120)
            result = driver.execute_script("return window.firtune")
            bad = browser.errors(driver)
            if bad:
                raise RuntimeError("the page logged errors: %s" % bad)
            return result
        finally:
            app.stop()


def main():
    lengths = [int(a) for a in sys.argv[1:]] or [4096, 65536]
    driver = browser.chromium(1280, 1000)
    try:
        print("%-7s %-6s %6s %9s %9s %9s %9s %9s %7s" % ("N", "mode", "events", "upd med", "upd p95",
                                                         "frame med", "frame p95", "rtt med", "in fl."))
        for n in lengths:
            for mode in ("layout", "bands", "live"):
                r = measure(driver, n, mode)
                up, fr = r["latencies"], r["frameLatencies"]
                if mode == "live":
                    # From each written edit to its taps written.
                    up = fr = r["liveLatencies"]
                print("%-7d %-6s %6d %7.1fms %7.1fms %7.1fms %7.1fms %7.1fms %7d" % (
                    n, mode, len(up), statistics.median(up), percentile(up, 95), statistics.median(fr),
                    percentile(fr, 95), statistics.median(r["stats"]["roundTrips"]), r["stats"]["maxInFlight"]))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
