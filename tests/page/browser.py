"""Headless Chromium for the page's tests, firtune under the device
stand-in, and the stand-in's journal."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A sanitizer build of firtune or firload runs with the stand-in preloaded
# ahead of its runtime.
os.environ.setdefault("ASAN_OPTIONS", "verify_asan_link_order=0")


def chromium(width=1280, height=800):
    """A fresh headless Chromium that keeps its browser log; the profile
    folder goes when the driver quits."""
    profile = tempfile.mkdtemp(prefix="firtune-chromium.")
    o = webdriver.ChromeOptions()
    o.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-dev-shm-usage", "--user-data-dir=" + profile,
              "--window-size=%d,%d" % (width, height)):
        o.add_argument(a)
    o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")),
                              options=o)
    driver.set_script_timeout(20)
    quit = driver.quit

    def quit_and_clean():
        quit()
        shutil.rmtree(profile, ignore_errors=True)
    driver.quit = quit_and_clean
    return driver


def errors(driver):
    """The page's JavaScript errors and failed requests since the last call."""
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def wait(driver, what, timeout=10):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: what(d))


class Firtune:
    """firtune under the stand-in on a free port, its URL and journal."""

    def __init__(self, args, rate=48000, length=4096, channels=2, folder=None, journal=True):
        self.folder = folder or tempfile.mkdtemp(prefix="firtune-page.")
        # Without a journal the stand-in only takes the requests (for timing).
        self.journal = os.path.join(self.folder, "journal") if journal else ""
        # The stand-in preloaded into firtune itself (not through the
        # wrapper script), so that stop() signals firtune.
        env = dict(os.environ, FIRLOAD_SIM_JOURNAL=self.journal, FIRLOAD_SIM_RATE=str(rate),
                   FIRLOAD_SIM_LENGTH=str(length), FIRLOAD_SIM_CHANNELS=str(channels),
                   LD_PRELOAD=sim_library())
        self.proc = subprocess.Popen([binary("FIRTUNE")] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, stdin=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        m = re.match(r"firtune: (http://127\.0\.0\.1:\d+/)#(\S+)$", line.strip())
        if m is None:
            self.stop()
            raise RuntimeError("firtune printed %r; stderr %r" % (line, self.proc.stderr.read()))
        self.base, self.token = m.group(1), m.group(2)

    def url(self):
        return self.base + "#" + self.token

    def api(self, method, path, body=None):
        """One request as the page sends it; (status, parsed answer)."""
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base.rstrip("/") + path, data=data, method=method, headers={
            "Authorization": "Bearer " + self.token, "Content-Type": "application/json",
            "Origin": self.base.rstrip("/")})
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, json.load(r)
        except urllib.error.HTTPError as e:
            return e.code, json.load(e)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


def binary(name):
    return os.environ.get(name) or os.path.join(TOP, "build", name.lower())


def sim_library():
    return os.environ.get("FIRLOAD_SIM_LIB") or os.path.join(TOP, "build", "libfirload_sim.so")


def sim_command(rate, length, channels):
    return [os.path.join(TOP, "sim", "firload-sim"), "-L", sim_library(), "-r", str(rate), "-n", str(length),
            "-C", str(channels), "--"]


def journal_writes(path, since=0):
    """The journal's requests from line `since` on: a list of (request,
    channel, taps): "fir_write" with the coefficients written, "off" for
    the disable request; only what the stand-in accepted."""
    with open(path) as f:
        lines = f.read().splitlines()[since:]
    out = []
    for line in lines:
        if line.startswith("coefficient ") and out and out[-1][3]:
            out[-1][2].append(line.split()[2])
            continue
        m = re.match(r"ioctl (\w+) .*channel=(\d+).*-> (\w+)", line)
        if m and m.group(1) != "fir_read":
            request = "off" if m.group(3) == "off" else m.group(1)
            out.append([request, int(m.group(2)), [], m.group(3) != "fail"])
    return [(r, c, tuple(t)) for r, c, t, ok in out if ok]


def journal_length(path):
    if not os.path.exists(path):
        return 0
    with open(path) as f:
        return len(f.read().splitlines())


def firload_taps(layout_text, rate, length, folder):
    """The taps firload writes for a layout at rate and length, from the
    stand-in's journal of one load to one channel."""
    layout = os.path.join(folder, "firload.eq")
    with open(layout, "w") as f:
        f.write(layout_text)
    journal = os.path.join(folder, "firload.journal")
    if os.path.exists(journal):
        os.remove(journal)
    env = dict(os.environ, FIRLOAD_SIM_JOURNAL=journal)
    cmd = sim_command(rate, length, 1) + [binary("FIRLOAD"), "-q", "-d", "/dev/pcmx.ctl", "-f", layout]
    subprocess.run(cmd, env=env, check=True, stdin=subprocess.DEVNULL, timeout=60)
    writes = [w for w in journal_writes(journal) if w[0] == "fir_write"]
    assert len(writes) == 1, writes
    return writes[0][2]
