#!/usr/bin/python3
"""firtune's page in headless Chromium. `units`: the page's plain functions
against tables of cases; `scenarios`: the page against firtune under the
device stand-in, each write checked in the stand-in's journal."""
import json
import math
import os
import subprocess
import sys
import tempfile
import unittest

import numpy

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

import browser

EXAMPLES = os.path.join(browser.TOP, "examples")

# (expression over the modules scale, layout, queue, history; expected value)
UNITS = [
    ("scale.xToHz(S, scale.hzToX(S, 1234))", 1234),
    ("[scale.hzToX(S, 10), scale.hzToX(S, 24000), scale.hzToX(S, Math.sqrt(240000))]", [40, 1240, 640]),
    ("[scale.dbToY(S, 12), scale.dbToY(S, -24), scale.dbToY(S, -Infinity), scale.dbToY(S, 99)]", [10, 310, 310, 10]),
    ("scale.yToDb(S, scale.dbToY(S, -3.5))", -3.5),
    ("scale.frequencyTicks(10, 24000)", [20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]),
    ("scale.frequencyTicks(10, 4000)", [20, 50, 100, 200, 500, 1000, 2000]),
    ("[20000, 1500, 50, 200].map(scale.formatHz)", ["20k", "1.5k", "50", "200"]),
    ("scale.dbRange([-30, 3])", {"top": 12, "bottom": -36}),
    ("scale.dbRange([-Infinity])", {"top": 12, "bottom": -12}),
    ("scale.dbRange([-200, 1])", {"top": 12, "bottom": -48}),
    # The designer's reading: linear in Hz between breakpoints, flat outside.
    ("[50, 100, 200, 300, 1000].map(f => layout.gainAt(P, f))", [1, 1, 1.5, 2, 2]),
    ("layout.gainAt(P, Math.sqrt(30000)) > 1.36 && layout.gainAt(P, Math.sqrt(30000)) < 1.37", True),
    ("[299, 300, 301].map(f => layout.gainAt([{hz: 300, gain: 1}, {hz: 300, gain: 2}], f))", [1, 2, 2]),
    ("[50, 150].map(f => layout.gainAt([{hz: 0, gain: 5}, {hz: 100, gain: 1}, {hz: 200, gain: 3}], f))", [1, 2]),
    ("layout.gainAt([], 1000)", 1),
    ("layout.requestedCurve([{hz: 300, gain: 1}, {hz: 300, gain: 2}], 10, 24000).filter(p => p[0] === 300)", [[300, 1], [300, 2]]),
    ("layout.parseLayout('60 2\\n150 2\\n300 1\\n')", {"ok": True, "normalize": False, "points": [{"hz": 60, "gain": 2}, {"hz": 150, "gain": 2}, {"hz": 300, "gain": 1}]}),
    ("layout.parseLayout('Normalize\\n2000 1 8000\\t2').points.length", 2),
    ("layout.parseLayout('norm\\n2000 1\\n').normalize", True),
    ("layout.parseLayout('60 2\\n50 1\\n')", {"ok": False, "line": 2, "error": "frequencies must not decrease"}),
    ("layout.parseLayout('normalize\\n60 2\\n\\n150\\n').line", 4),
    ("layout.parseLayout('60 x').line", 1),
    ("layout.parseLayout('').points", []),
    ("layout.formatLayout(layout.parseLayout('normalize\\n2000 1\\n8000 2.5\\n'))", "normalize\n2000 1\n8000 2.5\n"),
    ("[500, 50].map(hz => layout.moveBreakpoint(Q, 1, hz, 2)[1])", [{"hz": 300, "gain": 2}, {"hz": 100, "gain": 2}]),
    ("layout.addBreakpoint(Q, 200, 3).index", 2),
    ("layout.setFrequency(Q, 0, 250)", {"index": 1, "points": [{"hz": 200, "gain": 1}, {"hz": 250, "gain": 1}, {"hz": 300, "gain": 1}]}),
    ("layout.removeBreakpoint(Q, 1).map(p => p.hz)", [100, 300]),
    ("[5, 20, 40, 80].map(f => layout.curveAt([10, 40, 80], [0, 6, null], f))", [0, 3, 6, None]),
    ("[0.5, 1, 2].map(layout.gainToDb).map(v => Math.round(v * 1000) / 1000)", [-6.021, 0, 6.021]),
    # One request in flight, the latest edit waiting, older ones dropped.
    ("(() => { const q = queue.makeQueue(); const out = [queue.submit(q, 'a'), queue.submit(q, 'b'), queue.submit(q, 'c'), queue.settle(q), queue.submit(q, 'd'), queue.settle(q), queue.settle(q), queue.submit(q, 'e')]; return [out, q.dropped]; })()",
     [["a", None, None, "c", None, "d", None, "e"], 1]),
    ("(() => { const h = history.makeHistory(); history.record(h, 's0'); history.record(h, 's1'); return [history.undo(h, 's2'), history.undo(h, 's1'), history.undo(h, 's0'), history.redo(h, 's0'), history.redo(h, 's1'), history.redo(h, 's2')]; })()",
     ["s1", "s0", None, "s1", "s2", None]),
    ("(() => { const h = history.makeHistory(); history.record(h, 's0'); history.undo(h, 's1'); history.record(h, 's0'); return history.redo(h, 'x'); })()", None),
    ("(() => { const h = history.makeHistory(2); for (const s of ['a', 'b', 'c']) history.record(h, s); return [history.undo(h, 'd'), history.undo(h, 'c'), history.undo(h, 'b')]; })()", ["c", "b", None]),
]

UNIT_SCRIPT = """
const done = arguments[arguments.length - 1];
Promise.all(['/scale.js', '/layout.js', '/queue.js', '/history.js'].map(m => import(m)))
.then(([scale, layout, queue, history]) => {
  const S = scale.makeScale(10, 24000, 40, 1240, 12, -24, 10, 310);
  const P = [{hz: 100, gain: 1}, {hz: 300, gain: 2}];
  const Q = [{hz: 100, gain: 1}, {hz: 200, gain: 1}, {hz: 300, gain: 1}];
  const out = [];
  for (const f of [%s]) {
    try { out.push({value: f()}); } catch (e) { out.push({error: String(e)}); }
  }
  done(JSON.stringify(out));
}, e => done(JSON.stringify({error: String(e)})));
"""


VECTOR_SCRIPT = """
const [vectors, done] = arguments;
import('/layout.js').then(m => done(vectors.map(v => {
  const p = m.parseLayout(v.text, {rate: v.rate || 48000, length: v.length || 4096});
  return p.ok ? {ok: true, normalize: p.normalize, gains: v.gains.map(([f]) => m.gainAt(p.points, f))} : {ok: false, line: p.line};
})));
"""

BURST = """
const h = document.querySelectorAll('.breakpoint')[3], r = h.getBoundingClientRect();
const at = {bubbles: true, pointerId: 7, button: 0, clientX: r.x + r.width / 2, clientY: r.y + r.height / 2};
window.firtune.stats.maxInFlight = 0;
h.dispatchEvent(new PointerEvent('pointerdown', at));
for (let k = 1; k <= 20; k++)
  h.dispatchEvent(new PointerEvent('pointermove', {...at, clientY: at.clientY + 2 * k}));
h.dispatchEvent(new PointerEvent('pointerup', at));
"""


def close(got, want):
    if isinstance(want, bool) or want is None or isinstance(want, str):
        return got == want
    if isinstance(want, (int, float)):
        return isinstance(got, (int, float)) and abs(got - want) <= 1e-9 * max(1, abs(want))
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(map(close, got, want))
    if isinstance(want, dict):
        return isinstance(got, dict) and got.keys() == want.keys() and all(close(got[k], want[k]) for k in want)
    return False


def read(path):
    with open(path) as f:
        return f.read()


class Units(unittest.TestCase):
    def test_plain_functions(self):
        with tempfile.TemporaryDirectory() as folder:
            app = browser.Firtune([], folder=folder)
            driver = browser.chromium()
            try:
                driver.get(app.base)  # no token: the page asks for nothing
                cases = ",".join("() => (%s)" % e for e, _ in UNITS)
                got = json.loads(driver.execute_async_script(UNIT_SCRIPT % cases))
                self.assertIsInstance(got, list, got)
                for (expr, want), g in zip(UNITS, got):
                    with self.subTest(expr=expr):
                        self.assertTrue("value" in g and close(g["value"], want), "%s gave %s" % (expr, g))
                # The layout texts the designer's tests read too.
                vectors = json.loads(read(os.path.join(browser.TOP, "tests", "layout-vectors.json")))
                for v, g in zip(vectors, driver.execute_async_script(VECTOR_SCRIPT, vectors)):
                    want = {"ok": True, "normalize": v.get("normalize", False), "gains": [g for _, g in v["gains"]]} \
                        if v["ok"] else {"ok": False, "line": v["line"]}
                    self.assertTrue(close(g, want), "%s: %s" % (v["why"], g))
                self.assertEqual(browser.errors(driver), [])
            finally:
                driver.quit()
                app.stop()


class Scenarios(unittest.TestCase):
    LAYOUTS = {0: read(os.path.join(EXAMPLES, "loudness.eq")), 1: read(os.path.join(EXAMPLES, "telephone.eq"))}

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.folder = cls.tmp.name
        with open(os.path.join(cls.folder, "left.eq"), "w") as f:
            f.write(cls.LAYOUTS[0])
        cls.profile = os.path.join(cls.folder, "room.profile")
        with open(cls.profile, "w") as f:
            f.write("# page test\ndevice /dev/pcmx.ctl\nwhat tx_dev\npart 0\nchannel 0 left.eq\n")
        cls.app = browser.Firtune(["-d", "/dev/pcmx.ctl", cls.profile], folder=cls.folder)
        cls.driver = browser.chromium()
        cls.taps = {}

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.app.stop()
        cls.tmp.cleanup()

    def tearDown(self):
        self.assertEqual(browser.errors(self.driver), [])

    def firload(self, text):
        if text not in self.taps:
            self.taps[text] = browser.firload_taps(text, 48000, 4096, self.folder)
        return self.taps[text]

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def idle(self):
        """Waits until no design is in flight and returns the page's stats."""
        browser.wait(self.driver, lambda d: d.execute_script(
            "return window.firtune.ready && window.firtune.stats.inFlight === 0"))
        return self.js("return window.firtune.stats")

    def act(self, button, lines):
        """Clicks a device button and waits for a result line a channel."""
        self.driver.find_element(By.ID, button).click()
        browser.wait(self.driver, lambda d: not d.find_elements(By.CSS_SELECTOR, "#result .pending") and
                     len(d.find_elements(By.CSS_SELECTOR, "#result li")) >= lines + 1)
        return [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, "#result li")]

    def writes(self, since):
        return browser.journal_writes(self.app.journal, since)

    def states(self, driver=None):
        return [e.get_attribute("data-state") for e in (driver or self.driver).find_elements(By.CSS_SELECTOR, "#channel-state li")]

    def unsaved(self, driver):
        return driver.execute_script("const e = new Event('beforeunload', {cancelable: true});"
                                     " window.dispatchEvent(e); return e.defaultPrevented")

    def test_1_open(self):
        d = self.driver
        d.get(self.app.base)
        browser.wait(d, lambda d: d.execute_script("return window.firtune && window.firtune.ready"))
        self.assertIn("Access refused", d.find_element(By.ID, "device").text)
        self.assertTrue(d.find_element(By.ID, "load").get_attribute("disabled"))
        d.get(self.app.url())  # the refused page starts again with the token
        browser.wait(d, lambda d: "#" not in d.current_url)  # and drops it from the address
        self.idle()
        # Live is on where the device can be loaded, and writes nothing
        # before an edit; these scenarios load explicitly.
        self.assertTrue(d.find_element(By.ID, "live").is_selected())
        d.find_element(By.ID, "live").click()
        handles = d.find_elements(By.CSS_SELECTOR, ".breakpoint")
        self.assertEqual(len(handles), len(self.LAYOUTS[0].split()) // 2)
        browser.wait(d, lambda d: d.find_element(By.ID, "achieved").get_attribute("d") != "")
        self.assertNotEqual(d.find_element(By.ID, "requested").get_attribute("d"), "")
        self.assertIn("ms", d.find_element(By.ID, "summary").text)
        # The page draws the requested curve as the designer reads the layout.
        for name in ("loudness.eq", "bass-boost.eq", "telephone.eq"):
            text = read(os.path.join(EXAMPLES, name))
            status, design = self.app.api("POST", "/api/design", {"layout": text})
            self.assertEqual(status, 200)
            page = self.js("""return import('/layout.js').then(m => {
                const p = m.parseLayout(arguments[0]).points;
                return arguments[1].map(f => m.gainToDb(m.gainAt(p, f)));
            })""", text, design["frequency_hz"])
            for f, want, got in zip(design["frequency_hz"], design["requested_db"], page):
                if want is not None and want > -100:
                    self.assertAlmostEqual(got, want, 6, "%s at %g Hz" % (name, f))

    def test_2_drag(self):
        d = self.driver
        self.idle()
        handle = d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3]
        before = (handle.get_attribute("data-db"), d.find_element(By.ID, "achieved").get_attribute("d"))
        requests = self.js("window.firtune.stats.maxInFlight = 0; return window.firtune.stats.requests")
        chain = ActionChains(d, duration=0).click_and_hold(handle)  # moves faster than designs
        for _ in range(12):
            chain.move_by_offset(2, -5)
        chain.release().perform()
        stats = self.idle()
        handle = d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3]
        self.assertGreater(float(handle.get_attribute("data-db")), float(before[0]) + 1)
        self.assertNotEqual(d.find_element(By.ID, "achieved").get_attribute("d"), before[1])
        row = d.find_elements(By.CSS_SELECTOR, "#points tbody tr")[3]
        self.assertEqual(row.find_element(By.CSS_SELECTOR, "[data-field=db]").get_attribute("value"),
                         handle.get_attribute("data-db"))
        self.assertEqual(stats["maxInFlight"], 1)
        self.assertGreater(stats["requests"], requests + 1)
        hz = [float(h.get_attribute("data-hz")) for h in d.find_elements(By.CSS_SELECTOR, ".breakpoint")]
        self.assertEqual(hz, sorted(hz))
        # A burst of moves in one task: one request in flight, the rest but
        # the latest dropped, and the curve shown is the last edit's.
        requests = self.js("return window.firtune.stats.requests")
        self.js(BURST)
        stats = self.idle()
        self.assertEqual(stats["maxInFlight"], 1)
        self.assertLess(stats["requests"] - requests, 20)
        self.assertEqual(self.js("return window.firtune.shown"),
                         d.find_element(By.ID, "layout-text").get_attribute("value"))
        # From the keyboard: up by half a dB; a double-click adds a point.
        db = float(d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3].get_attribute("data-db"))
        d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3].send_keys(Keys.ARROW_UP)
        self.assertAlmostEqual(float(d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3].get_attribute("data-db")),
                               db + 0.5, delta=0.01)
        count = len(d.find_elements(By.CSS_SELECTOR, ".breakpoint"))
        ActionChains(d).move_to_element_with_offset(d.find_element(By.ID, "plot"), 0, 60).double_click().perform()
        self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, ".breakpoint")), count + 1)
        for _ in range(4):
            d.find_element(By.ID, "undo").click()
        self.idle()
        self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, ".breakpoint")), count)
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, ".breakpoint")[3].get_attribute("data-db"), before[0])

    def set_layout(self, channel, text):
        Select(self.driver.find_element(By.ID, "channel")).select_by_value(str(channel))
        link = self.driver.find_element(By.ID, "link")
        if link.is_selected():
            link.click()
        area = self.driver.find_element(By.ID, "layout-text")
        area.clear()
        area.send_keys(text)
        area.send_keys(Keys.TAB)
        self.idle()

    def test_3_channels(self):
        for c, text in self.LAYOUTS.items():
            self.set_layout(c, text)
        Select(self.driver.find_element(By.ID, "channel")).select_by_value("all")
        for button, want in (("load", self.LAYOUTS), ("bypass", {0: "", 1: ""}), ("bypass", self.LAYOUTS)):
            with self.subTest(button=button):
                mark = browser.journal_length(self.app.journal)
                lines = self.act(button, 2)
                self.assertEqual(sum("written" in t and "NOT" not in t for t in lines), 2, lines)
                got = {c: taps for r, c, taps in self.writes(mark) if r == "fir_write"}
                self.assertEqual(sorted(got), [0, 1])
                for c in got:
                    self.assertEqual(got[c], self.firload(want[c]), "channel %d after %s" % (c, button))
        mark = browser.journal_length(self.app.journal)
        lines = self.act("off", 2)
        self.assertIn("latency", lines[0])
        self.assertEqual(self.writes(mark), [("off", 0, ()), ("off", 1, ())])
        self.assertEqual(self.states(), ["off", "off"])
        # Linked from channel 0: the buttons act on channel 1 too, each with
        # its own layout; an edit that would replace channel 1's different
        # layout asks first, and Undo brings it back.
        d = self.driver
        Select(d.find_element(By.ID, "channel")).select_by_value("0")
        d.find_element(By.ID, "link").click()
        self.act("load", 2)
        self.assertEqual(self.states(), ["loaded", "loaded"])
        for accept, state in ((False, "loaded"), (True, "edited since load")):
            self.js("window.confirm = () => arguments[0]", accept)
            d.find_elements(By.CSS_SELECTOR, ".breakpoint")[0].send_keys(Keys.ARROW_UP)
            self.assertEqual(self.states(), [state, state])
        edited = d.find_element(By.ID, "layout-text").get_attribute("value")
        for title, want, label in (("Bypass", "bypassed", "EQ"), ("not the layout loaded before", "loaded", "Bypass")):
            mark = browser.journal_length(self.app.journal)
            self.assertIn(title, self.act("bypass", 2)[0])
            self.assertEqual((self.states(), d.find_element(By.ID, "bypass").text), ([want, want], label))
        self.assertEqual({c: t for r, c, t in self.writes(mark)}, {0: self.firload(edited), 1: self.firload(edited)})
        d.find_element(By.ID, "undo").click()  # test_4 finds channel 1's layout again
        d.find_element(By.ID, "link").click()
        self.idle()

    def test_4_save_apply(self):
        self.driver.find_element(By.ID, "save").click()
        browser.wait(self.driver, lambda d: "Saved" in d.find_element(By.ID, "result").text)
        journal = os.path.join(self.folder, "apply.journal")
        env = dict(os.environ, FIRLOAD_SIM_JOURNAL=journal)
        run = subprocess.run(browser.sim_command(48000, 4096, 2) + [browser.binary("FIRTUNE"), "--apply", self.profile],
                             env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        got = {c: taps for r, c, taps in browser.journal_writes(journal) if r == "fir_write"}
        self.assertEqual(sorted(got), [0, 1])
        for c, text in self.LAYOUTS.items():
            self.assertEqual(got[c], self.firload(text), "channel %d" % c)

    def test_5_import_and_refusals(self):
        d = self.driver
        Select(d.find_element(By.ID, "channel")).select_by_value("1")
        area = d.find_element(By.ID, "layout-text")
        area.clear()  # an edit of its own
        self.idle()
        requests = self.js("return window.firtune.stats.requests")
        area.send_keys("60 2\n50 1\n")
        area.send_keys(Keys.TAB)
        self.assertIn("line 2", d.find_element(By.ID, "layout-error").text)
        self.assertEqual(self.js("return window.firtune.stats.requests"), requests)
        # A measurement's correction is a layout; an Equalizer APO file is
        # its bands, one handle each.
        for name, handle in (("rew-measurement.txt", ".breakpoint"), ("headphone-parametric.txt", ".band")):
            with self.subTest(name=name):
                status, want = self.app.api("POST", "/api/import", {"text": read(os.path.join(EXAMPLES, name)),
                                                                  "format": None, "options": {}})
                self.assertEqual(status, 200)
                d.find_element(By.ID, "import-file").send_keys(os.path.join(EXAMPLES, name))
                if handle == ".band":
                    browser.wait(d, lambda d: len(d.find_elements(By.CSS_SELECTOR, "circle.band")) == 7)
                    self.assertEqual(d.find_elements(By.CSS_SELECTOR, "circle.breakpoint"), [])
                else:
                    browser.wait(d, lambda d: d.find_element(By.ID, "layout-text").get_attribute("value") == want["layout"])
                self.idle()
                self.assertEqual(d.find_element(By.ID, "notes").text.splitlines(), want["notes"])
                self.assertTrue(d.find_element(By.ID, "import-file").get_attribute("value").endswith(name))
                for curve in ("measured", "target", "predicted"):
                    drawn = d.find_element(By.CSS_SELECTOR, "path." + curve).get_attribute("d") not in ("", None)
                    self.assertEqual(drawn, want["measurement"] is not None, curve)
                # The layout keeps its own dB axis; a measurement is shifted
                # onto it, and a drag stays within the axis shown.
                self.assertEqual(d.find_elements(By.CSS_SELECTOR, ".breakpoint.beyond"), [])
                self.assertEqual("shifted by" in d.find_element(By.ID, "measurement-note").text, drawn)
                axis = [float(e.text) for e in d.find_elements(By.CSS_SELECTOR, ".ylabel") if e.text != "dB"]
                ActionChains(d, duration=0).click_and_hold(d.find_elements(By.CSS_SELECTOR, handle)[0]) \
                    .move_by_offset(0, 400).release().perform()
                db = float(d.find_elements(By.CSS_SELECTOR, handle)[0].get_attribute("data-db"))
                self.assertTrue(min(axis) - 0.01 <= db <= max(axis) + 0.01, (db, axis))
        # A refused import leaves no notes of the one before.
        d.find_element(By.ID, "import-file").send_keys(os.path.join(self.folder, "room.profile"))
        browser.wait(d, lambda d: d.find_element(By.ID, "import-error").text != "")
        self.assertEqual(d.find_element(By.ID, "notes").text, "")

    def test_6_server_gone(self):
        d = self.driver
        self.idle()
        self.assertEqual(self.app.stop(), 0)
        d.find_elements(By.CSS_SELECTOR, ".breakpoint, .band")[0].send_keys(Keys.ARROW_UP)
        browser.wait(d, lambda d: "does not answer" in d.find_element(By.ID, "status").text)
        # The refused connection is the browser's to log, and nothing else.
        self.assertTrue(all("ERR_CONNECTION_REFUSED" in e for e in browser.errors(d)))

    def test_7_what_channels_hold(self):
        """A channel that refuses writes, profile layouts the page cannot
        read or reads only in part, and what Save then sends."""
        folder = os.path.join(self.folder, "held")
        os.mkdir(folder)
        files = {"tail.eq": "100 2\n30000 3\nnotes after the pairs\n", "bad.eq": "60 2\n50 1\n",
                 "held.profile": "device /dev/pcmx.ctl\npart 1\nchannel 0 tail.eq\nchannel 1 bad.eq\n"}
        for name, text in files.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        profile = os.path.join(folder, "held.profile")
        os.environ["FIRLOAD_SIM_FAIL"] = "write@1"
        try:
            app = browser.Firtune(["-d", "/dev/pcmx.ctl", profile], folder=folder)
        finally:
            del os.environ["FIRLOAD_SIM_FAIL"]
        d = browser.chromium()
        try:
            d.get(app.url())
            browser.wait(d, lambda d: d.execute_script("return window.firtune.ready"))
            d.find_element(By.ID, "live").click()  # loads explicitly
            self.assertIn("channel 1, line 2", d.find_element(By.ID, "layout-error").text)
            self.assertIn("line 3 on is never read", d.find_element(By.ID, "layout-warning").text)
            self.assertFalse(self.unsaved(d))
            self.assertIn("part 1", d.find_element(By.ID, "save-note").text)
            d.execute_script("window.asked = ''; window.confirm = (m) => ((window.asked += m), false)")
            Select(d.find_element(By.ID, "channel")).select_by_value("all")
            # Bypass reaches channel 0 only: the button offers EQ, and an EQ
            # the gain limit refuses shows the reason and changes nothing.
            d.find_element(By.ID, "bypass").click()
            browser.wait(d, lambda d: self.states(d) == ["bypassed", "unknown"])
            self.assertEqual(d.find_element(By.ID, "bypass").text, "EQ")
            Select(d.find_element(By.ID, "channel")).select_by_value("0")
            d.execute_script("const a = document.getElementById('layout-text'); a.value = '100 1000\\n';"
                             " a.dispatchEvent(new Event('change'))")  # +60 dB
            d.find_element(By.ID, "bypass").click()
            browser.wait(d, lambda d: "exceeds the limit of +12 dB" in d.find_element(By.ID, "action-error").text)
            self.assertEqual(self.states(d), ["bypassed", "unknown"])
            d.find_element(By.ID, "undo").click()
            # Load refuses while a cell holds what the page refused.
            for typed in (",5", Keys.BACKSPACE * 2):  # refused, then as it was
                cell = d.find_elements(By.CSS_SELECTOR, "#points tbody tr")[1].find_element(By.CSS_SELECTOR, "[data-field=gain]")
                cell.send_keys(typed, Keys.TAB)
                if typed == ",5":
                    d.find_element(By.ID, "load").click()
                    self.assertIn("breakpoint 2", d.find_element(By.ID, "action-error").text)
            # Save: channel 0 as firtune read it, never the unread channel 1.
            for edit, want in ((False, files["tail.eq"]), (True, "100 2.11349\n30000 3\n")):
                if edit:
                    d.find_elements(By.CSS_SELECTOR, ".breakpoint")[0].send_keys(Keys.ARROW_UP)
                    self.assertTrue(self.unsaved(d))
                d.find_element(By.ID, "save").click()
                browser.wait(d, lambda d: "Saved" in d.find_element(By.ID, "result").text)
                self.assertEqual([read(os.path.join(folder, f)) for f in ("tail.eq", "bad.eq")], [want, files["bad.eq"]])
                self.assertIn("part 1\n", read(profile))  # asked, and kept on Cancel
                self.assertIn("part 1", d.execute_script("return window.asked"))
                self.assertFalse(self.unsaved(d))
            self.assertEqual([e for e in browser.errors(d) if "/api/load" not in e or "422" not in e], [])
        finally:
            d.quit()
            app.stop()

    def test_8_bands_preamp_live_export(self):
        """Bands imported and dragged with Live on: only the latest design
        written, firdesign's taps; Q by the wheel; preamp Auto; the guard;
        B; an export."""
        folder = os.path.join(self.folder, "bands")
        os.mkdir(folder)
        app = browser.Firtune(["-d", "/dev/pcmx.ctl"], folder=folder)
        d = browser.chromium()

        def firdesign(text, ext="txt", phase="linear"):
            with open(os.path.join(folder, "in.txt"), "w") as f:
                f.write(text)
            out = os.path.join(folder, "out." + ext)
            subprocess.run([browser.binary("FIRDESIGN"), "-q", "-n", "4096", "-i", "eqapo", "--phase", phase,
                            "-T", out, os.path.join(folder, "in.txt")], check=True, timeout=60)
            with open(out, "rb") as f:
                return f.read()

        def settled():
            browser.wait(d, lambda d: d.execute_script(
                "return window.firtune.stats.inFlight === 0 && window.firtune.liveIdle()"))
            return d.find_element(By.ID, "layout-text").get_attribute("value")

        def latest(mark):
            got = {}
            for r, c, taps in browser.journal_writes(app.journal, mark):
                got[c] = [float.fromhex(t) for t in taps] if r == "fir_write" else r
            return got

        def bands():
            return [{k: h.get_attribute("data-" + k) for k in ("type", "hz", "db", "q")}
                    for h in d.find_elements(By.CSS_SELECTOR, "circle.band")]
        try:
            d.get(app.url())
            browser.wait(d, lambda d: d.execute_script("return window.firtune.ready"))
            self.assertTrue(d.find_element(By.ID, "live").is_selected())
            self.assertEqual(latest(0) if browser.journal_length(app.journal) else {}, {})  # nothing before an edit
            d.find_element(By.ID, "import-file").send_keys(os.path.join(EXAMPLES, "headphone-parametric.txt"))
            browser.wait(d, lambda d: len(bands()) == 7)
            self.assertEqual(bands()[0], {"type": "LSC", "hz": "105", "db": "5.8", "q": "0.7"})
            settled()
            # A burst of moves: fewer writes than designs, the last one the
            # design shown, and its taps firdesign's.
            writes = d.execute_script("return window.firtune.liveWrites")
            mark = browser.journal_length(app.journal)
            chain = ActionChains(d, duration=0).click_and_hold(d.find_elements(By.CSS_SELECTOR, "circle.band")[2])
            for _ in range(12):
                chain.move_by_offset(3, -4)
            chain.release().perform()
            text = settled()
            self.assertGreater(float(bands()[2]["db"]), 1.7 + 1)
            self.assertLess(d.execute_script("return window.firtune.liveWrites") - writes, 12)
            taps = [float(v) for v in firdesign(text).split()]
            self.assertEqual(latest(mark), {0: taps, 1: taps})
            self.assertEqual([e.get_attribute("data-state") for e in d.find_elements(By.CSS_SELECTOR, "#channel-state li")],
                             ["live", "live"])
            row = d.find_elements(By.CSS_SELECTOR, "#bands tbody tr")[2]
            self.assertEqual(row.find_element(By.CSS_SELECTOR, "[data-field=db]").get_attribute("value"), bands()[2]["db"])
            # The wheel widens or narrows a band: its Q.
            q = float(bands()[3]["q"])
            d.execute_script("arguments[0].dispatchEvent(new WheelEvent('wheel', {deltaY: -100, bubbles: true, cancelable: true}))",
                             d.find_elements(By.CSS_SELECTOR, "circle.band")[3])
            self.assertGreater(float(bands()[3]["q"]), q)
            # Preamp: +6 dB clips, Auto brings the peak to 0 dB.
            for typed, clip in (("6", True), (None, False)):
                if typed is None:
                    d.find_element(By.ID, "preamp-auto").click()
                else:
                    field = d.find_element(By.ID, "preamp")
                    field.clear()
                    field.send_keys(typed, Keys.TAB)
                settled()
                self.assertEqual(d.find_element(By.ID, "clip").is_displayed(), clip)
            self.assertRegex(d.find_element(By.ID, "gain-limit").text, r"^peak [+-]0\.0 dB")
            self.assertIn("Preamp: ", settled())
            # Over the guard's limit: nothing written, and said so.
            mark = browser.journal_length(app.journal)
            field = d.find_element(By.ID, "preamp")
            field.clear()
            field.send_keys("30", Keys.TAB)
            settled()
            self.assertEqual(latest(mark), {})
            self.assertIn("exceeds the limit of +12", d.find_element(By.ID, "live-note").text)
            d.find_element(By.ID, "undo").click()
            text = settled()
            # B: Bypass (the flat design), B again: EQ, what is on screen.
            mark = browser.journal_length(app.journal)
            flat = self.firload("")
            for want in ([float.fromhex(t) for t in flat], [float(v) for v in firdesign(text).split()]):
                d.find_element(By.TAG_NAME, "body").send_keys("b")
                browser.wait(d, lambda d: not d.find_elements(By.CSS_SELECTOR, "#result .pending") and
                             len(d.find_elements(By.CSS_SELECTOR, "#result li")) == 3)
                self.assertEqual(latest(mark), {0: want, 1: want})
                mark = browser.journal_length(app.journal)
            # Export: the page's download is firdesign's file.
            got = d.execute_async_script("""const done = arguments[arguments.length - 1];
                import('/export.js').then(m => m.fetchExport('taps-wav')).then(r => r.blob.arrayBuffer())
                .then(b => done(Array.from(new Uint8Array(b))), e => done(String(e)));""")
            self.assertEqual(bytes(got), firdesign(text, "wav"))
            # Minimum phase: both channels reloaded with firdesign's taps;
            # the delay view shows the taps' own group delay.
            mark = browser.journal_length(app.journal)
            d.find_element(By.ID, "view-delay").click()
            Select(d.find_element(By.ID, "phase")).select_by_value("minimum")
            browser.wait(d, lambda d: "reloaded channels 0, 1" in d.find_element(By.ID, "phase-note").text)
            settled()
            taps = [float(v) for v in firdesign(text, phase="minimum").split()]
            self.assertEqual(latest(mark), {0: taps, 1: taps})
            design = d.execute_script("return window.firtune.design")
            self.assertEqual(design["phase"], "minimum")
            self.assertNotEqual(d.find_element(By.ID, "group-delay").get_attribute("d"), "")
            h = numpy.array(taps)
            n = numpy.arange(len(h))
            for f, ms in list(zip(design["frequency_hz"], design["group_delay_ms"]))[::40]:
                z = numpy.exp(-2j * numpy.pi * f / 48000 * n)
                want = (numpy.sum(n * h * z) / numpy.sum(h * z)).real * 1000 / 48000
                self.assertAlmostEqual(ms, want, delta=1e-6 + 1e-6 * abs(want), msg="at %g Hz" % f)
            peak = design["impulse"]["peak"]
            self.assertEqual(peak, int(numpy.argmax(numpy.abs(h))))
            self.assertEqual(design["impulse"]["taps"][peak - design["impulse"]["start"]], taps[peak])
            self.assertEqual(browser.errors(d), [])
        finally:
            d.quit()
            app.stop()


MEASURED = """
const [channel, done] = [arguments[0], arguments[arguments.length - 1]];
import('/measure.js').then(m => {
  const r = m.runs[channel];
  done(r && r.correction ? {before: m.deviation(r.before, r.correction).db, after: r.after ? m.deviation(r.after, r.correction).db : null,
                            low: r.correction.low, high: r.correction.high} : null);
});
"""


class Loop(unittest.TestCase):
    """Measure, correct, load and verify each channel in its own room, at
    the stand-in's real pace and N = 65,536."""

    def test_measure_correct_verify(self):
        os.environ.update(FIRLOAD_SIM_ROOMS="default,other", FIRLOAD_SIM_DSP_PACE="1")
        folder = tempfile.mkdtemp(prefix="firtune-loop.")
        profile = os.path.join(folder, "room.profile")
        try:
            app = browser.Firtune(["-d", "/dev/pcmx.ctl", "-D", "/dev/dsp", profile], length=65536, folder=folder)
        finally:
            del os.environ["FIRLOAD_SIM_ROOMS"], os.environ["FIRLOAD_SIM_DSP_PACE"]
        d = browser.chromium()
        try:
            d.get(app.url())
            browser.wait(d, lambda d: d.execute_script("return window.firtune.ready"), 30)
            d.execute_script("window.asked = []; window.confirm = (m) => (window.asked.push(m), true)")
            measured = lambda n: lambda d: d.execute_script("return window.firtune.measured || 0") >= n
            design = {"layout": "100 2\n1000 1\n"}
            usual = min(self.timed(app, design) for _ in range(3))
            for c in (0, 1):
                Select(d.find_element(By.ID, "channel")).select_by_value(str(c))
                d.find_element(By.ID, "measure-seconds").clear()
                d.find_element(By.ID, "measure-seconds").send_keys("3")
                d.find_element(By.ID, "measure").click()
                browser.wait(d, lambda d: not d.find_element(By.ID, "measure-progress").get_attribute("hidden"))
                # While it plays: a second one is refused, a design answered as fast.
                self.assertEqual(app.api("POST", "/api/measure", {"channel": 1 - c})[0], 409)
                self.assertLess(self.timed(app, design), usual * 2 + 0.25)
                browser.wait(d, measured(2 * c + 1), 60)
                d.find_element(By.ID, "correct").click()
                browser.wait(d, lambda d: not d.find_element(By.ID, "verify").get_attribute("disabled"), 30)
                d.find_element(By.ID, "load").click()
                browser.wait(d, lambda d: "written" in d.find_element(By.ID, "result").text.lower()
                             or "loaded" in d.find_element(By.ID, "result").text.lower(), 60)
                d.find_element(By.ID, "verify").click()
                browser.wait(d, measured(2 * c + 2), 60)
                got = d.execute_async_script(MEASURED, c)
                self.assertIsNotNone(got)
                print("channel %d, 1/6 octave, %g-%g Hz: largest deviation before %.2f dB, after %.2f dB"
                      % (c, got["low"], got["high"], got["before"], got["after"]), file=sys.stderr)
                self.assertGreater(got["before"], 3)
                self.assertLess(got["after"], 1)
                self.assertIn("after", d.find_element(By.ID, "measure-figures").text)
            if os.environ.get("FIRLOAD_MEASURE_PNG"):  # docs/firtune-measure.png
                d.set_window_size(1280, 1400)
                d.execute_script("document.getElementById('measured').scrollIntoView()")
                d.find_element(By.ID, "measured").screenshot(os.environ["FIRLOAD_MEASURE_PNG"])
            # Each channel has its own correction, loaded on it alone.
            last = {c: [w for w in browser.journal_writes(app.journal) if w[1] == c][-1] for c in (0, 1)}
            self.assertNotEqual(last[0][2], last[1][2])
            self.assertEqual(len(d.execute_script("return window.asked")), 1)
            self.assertIn("channel 0", d.execute_script("return window.asked[0]"))
            # Cancelled: channel 1's correction is back on it.
            loaded = [w for w in browser.journal_writes(app.journal) if w[1] == 1][-1]
            d.find_element(By.ID, "measure").click()
            browser.wait(d, lambda d: not d.find_element(By.ID, "measure-cancel").get_attribute("disabled"))
            d.find_element(By.ID, "measure-cancel").click()
            browser.wait(d, lambda d: "cancelled" in d.find_element(By.ID, "measure-error").text, 30)
            self.assertEqual([w for w in browser.journal_writes(app.journal) if w[1] == 1][-1], loaded)
            # Saved with the profile, and shown again when it is opened.
            d.find_element(By.ID, "save").click()
            browser.wait(d, lambda d: "Saved" in d.find_element(By.ID, "result").text)
            text = read(profile)
            for line in ("audio /dev/dsp\n", "record 0\n", "measurement 0 room.ch0-before.txt\n",
                         "measurement 1 room.ch1-after.txt\n"):
                self.assertIn(line, text)
            self.assertIn("Freq(Hz)", read(os.path.join(folder, "room.ch1-after.txt")))
            d.refresh()
            browser.wait(d, lambda d: d.execute_script("return window.firtune.ready"), 30)
            Select(d.find_element(By.ID, "channel")).select_by_value("1")
            self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, "#measure-plot path.before, #measure-plot path.after")), 2)
            self.assertEqual(browser.errors(d), [])
        finally:
            d.quit()
            app.stop()

    @staticmethod
    def timed(app, body):
        import time
        t0 = time.monotonic()
        assert app.api("POST", "/api/design", body)[0] == 200
        return time.monotonic() - t0


if __name__ == "__main__":
    groups = {"units": Units, "scenarios": Scenarios, "loop": Loop}
    which = sys.argv[1:] or list(groups)
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(groups[w]) for w in which)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
