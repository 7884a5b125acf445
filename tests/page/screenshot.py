#!/usr/bin/python3
"""docs/firtune.png: the page at 1280x800 in the test browser, from the demo
state (firtune under the stand-in, Live on; channel 0 the bands of
examples/headphone-parametric.txt with a preamp high enough to clip,
channel 1 a layout of examples/).
Usage: tests/page/screenshot.py [OUTPUT]   (FIRTUNE, FIRLOAD_SIM_LIB as for
the tests)."""
import os
import shutil
import sys
import tempfile

import browser

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(browser.TOP, "docs", "firtune.png")
with tempfile.TemporaryDirectory() as folder:
    shutil.copy(os.path.join(browser.TOP, "examples", "bass-boost.eq"), folder)
    with open(os.path.join(browser.TOP, "examples", "headphone-parametric.txt")) as f:
        bands = f.read().replace("Preamp: -6.2 dB", "Preamp: -2 dB")
    with open(os.path.join(folder, "headphones.txt"), "w") as f:
        f.write(bands)
    profile = os.path.join(folder, "living-room.profile")
    with open(profile, "w") as f:
        f.write("# living room\ndevice /dev/pcmx.ctl\nwhat tx_dev\npart 0\n"
                "channel 0 headphones.txt\nchannel 1 bass-boost.eq\n")
    app = browser.Firtune(["-d", "/dev/pcmx.ctl", profile], folder=folder)
    driver = browser.chromium()
    try:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
        driver.get(app.url())
        browser.wait(driver, lambda d: d.execute_script(
            "return window.firtune.ready && window.firtune.stats.inFlight === 0"
            " && document.getElementById('achieved').getAttribute('d') !== ''"
            " && !document.getElementById('clip').classList.contains('hidden')"))
        # The band being edited: focused, its row marked.
        driver.execute_script("document.querySelectorAll('circle.band')[4].focus()")
        bad = browser.errors(driver)
        if bad:
            sys.exit("the page logged errors: %s" % bad)
        driver.save_screenshot(out)
    finally:
        driver.quit()
        app.stop()
print(out)
