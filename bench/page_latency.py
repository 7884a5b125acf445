#!/usr/bin/python3
"""How fast the page's achieved curve follows a drag: headless Chromium,
firtune without a device at each filter length, a 100-step drag of one
breakpoint. For every pointer event, the time from the event to the
achieved curve that includes it: once the path is updated in the page
("upd") and at the next animation frame ("frame"); and the round trip of
the design requests alone ("rtt": request sent to answer received).

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


def percentile(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def measure(driver, length):
    with tempfile.TemporaryDirectory() as folder:
        app = browser.Firtune(["-n", str(length)], length=length, folder=folder)
        try:
            driver.get(app.url())
            browser.wait(driver, lambda d: d.execute_script(
                "return window.firtune.ready && window.firtune.stats.inFlight === 0"))
            with open(os.path.join(browser.TOP, "examples", "loudness.eq")) as f:
                layout = f.read()
            area = driver.find_element(By.ID, "layout-text")
            area.clear()
            area.send_keys(layout)
            area.send_keys(Keys.TAB)
            browser.wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, ".breakpoint")) > 3)
            browser.wait(driver, lambda d: d.execute_script("return window.firtune.stats.inFlight === 0"))
            driver.execute_script("window.firtune.latencies = []; window.firtune.frameLatencies = [];"
                                  "window.firtune.stats.maxInFlight = 0; window.firtune.stats.roundTrips = [];")
            handle = driver.find_elements(By.CSS_SELECTOR, ".breakpoint")[3]
            chain = ActionChains(driver, duration=16).click_and_hold(handle)
            for k in range(STEPS):
                chain.move_by_offset(1 if k % 2 else -1, -2 if k < STEPS // 2 else 2)
            chain.release().perform()
            browser.wait(driver, lambda d: d.execute_script(
                "return window.firtune.stats.inFlight === 0 && window.firtune.frameLatencies.length >= %d"
                % STEPS))
            result = driver.execute_script("return window.firtune")
            bad = browser.errors(driver)
            if bad:
                raise RuntimeError("the page logged errors: %s" % bad)
            return result
        finally:
            app.stop()


def main():
    lengths = [int(a) for a in sys.argv[1:]] or [4096, 65536]
    driver = browser.chromium()
    try:
        print("%-7s %6s %9s %9s %9s %9s %9s %7s" % ("N", "events", "upd med", "upd p95", "frame med",
                                                    "frame p95", "rtt med", "in fl."))
        for n in lengths:
            r = measure(driver, n)
            up, fr = r["latencies"], r["frameLatencies"]
            print("%-7d %6d %7.1fms %7.1fms %7.1fms %7.1fms %7.1fms %7d" % (
                n, len(up), statistics.median(up), percentile(up, 95), statistics.median(fr),
                percentile(fr, 95), statistics.median(r["stats"]["roundTrips"]), r["stats"]["maxInFlight"]))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
