#!/usr/bin/python3
"""docs/firtune.png: the page at 1280x800 in the test browser, from the demo
state (firtune under the stand-in, two channels with layouts of examples/).
Usage: tests/page/screenshot.py [OUTPUT]   (FIRTUNE, FIRLOAD_SIM_LIB as for
the tests)."""
import os
import shutil
import sys
import tempfile

import browser

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(browser.TOP, "docs", "firtune.png")
with tempfile.TemporaryDirectory() as folder:
    for name in ("loudness.eq", "bass-boost.eq"):
        shutil.copy(os.path.join(browser.TOP, "examples", name), folder)
    profile = os.path.join(folder, "living-room.profile")
    with open(profile, "w") as f:
        f.write("# living room\ndevice /dev/pcmx.ctl\nwhat tx_dev\npart 0\n"
                "channel 0 loudness.eq\nchannel 1 bass-boost.eq\n")
    app = browser.Firtune(["-d", "/dev/pcmx.ctl", profile], folder=folder)
    driver = browser.chromium()
    try:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
        driver.get(app.url())
        browser.wait(driver, lambda d: d.execute_script(
            "return window.firtune.ready && window.firtune.stats.inFlight === 0"
            " && document.getElementById('achieved').getAttribute('d') !== ''"))
        bad = browser.errors(driver)
        if bad:
            sys.exit("the page logged errors: %s" % bad)
        driver.save_screenshot(out)
    finally:
        driver.quit()
        app.stop()
print(out)
