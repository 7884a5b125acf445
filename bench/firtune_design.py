#!/usr/bin/python3
"""Times firtune's POST /api/design over loopback and watches its memory.

Usage: bench/firtune_design.py FIRTUNE [RUNS [PHASE]]
       bench/firtune_design.py FIRTUNE RUNS both

For N = 4096 and 65536: the median (and 95th percentile) of RUNS designs
(default 200), each with a gain that differs from the last, as a drag
sends them, of a curve the length follows within 1 dB (a larger deviation
adds the summary's length advice, which designs at other lengths); then the server's resident memory before and after 10,000
designs at 4096. PHASE (linear or minimum; default linear) goes with
each design. With "both", one server takes linear and minimum designs in
turn and the medians of each and their ratio are printed (on a busy
machine, a fairer comparison than two runs apart). Only 127.0.0.1 is
spoken to, and every loop is bounded.
"""
import http.client
import re
import statistics
import subprocess
import sys
import time


def start(binary, length):
    proc = subprocess.Popen([binary, "-n", str(length)], stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    m = re.fullmatch(r"firtune: http://127\.0\.0\.1:(\d+)/#([0-9a-f]+)\n", line)
    if not m:
        proc.kill()
        sys.exit("firtune did not print its address: %r" % line)
    return proc, int(m.group(1)), m.group(2)


def designer(port, token, phase):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Authorization": "Bearer " + token, "Origin": "http://127.0.0.1:%d" % port,
               "Content-Type": "application/json", "Host": "127.0.0.1:%d" % port}

    def design(i):
        gain = 1.1 + (i % 100) / 1000
        body = ('{"layout":"40 1\\n60 %.4f\\n150 %.4f\\n300 1\\n8000 1\\n12000 0.8\\n",'
                '"phase":"%s"}' % (gain, gain, phase))
        start = time.perf_counter()
        conn.request("POST", "/api/design", body, headers)
        answer = conn.getresponse()
        data = answer.read()
        took = time.perf_counter() - start
        if answer.status != 200:
            sys.exit("design answered %d: %s" % (answer.status, data[:200]))
        return took

    return design


def rss_kib(pid):
    out = subprocess.run(["ps", "-o", "rss=", "-p", str(pid)], capture_output=True, text=True)
    return int(out.stdout.strip())


def main():
    binary = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    phase = sys.argv[3] if len(sys.argv) > 3 else "linear"
    if phase == "both":
        both(binary, runs)
        return
    for length in (4096, 65536):
        proc, port, token = start(binary, length)
        try:
            design = designer(port, token, phase)
            for i in range(10):
                design(i)
            times = sorted(design(i) for i in range(runs))
            print("N=%d, %s phase: /api/design median %.2f ms, 95th percentile %.2f ms (%d runs)" % (
                length, phase, statistics.median(times) * 1e3, times[int(0.95 * (runs - 1))] * 1e3,
                runs))
            if length == 4096:
                before = rss_kib(proc.pid)
                for i in range(10000):
                    design(i)
                after = rss_kib(proc.pid)
                print("N=4096: RSS %d KiB after warm-up, %d KiB after 10000 designs" % (
                    before, after))
        finally:
            proc.terminate()
            proc.wait(timeout=10)


def both(binary, runs):
    for length in (4096, 65536):
        proc, port, token = start(binary, length)
        try:
            linear = designer(port, token, "linear")
            minimum = designer(port, token, "minimum")
            for i in range(10):
                linear(i)
                minimum(i)
            lt, mt = [], []
            for i in range(runs):
                lt.append(linear(i))
                mt.append(minimum(i))
            lm, mm = statistics.median(lt) * 1e3, statistics.median(mt) * 1e3
            print("N=%d, /api/design median: linear %.2f ms, minimum %.2f ms, ratio %.2f "
                  "(%d runs each, in turn)" % (length, lm, mm, mm / lm, runs))
        finally:
            proc.terminate()
            proc.wait(timeout=10)


main()
