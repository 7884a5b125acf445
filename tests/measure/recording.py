#!/usr/bin/python3
"""Recordings of a sweep made without firmeasure's code, and the response
they should give.

  recording.py make SWEEP OUT [--chain EFFECTS] [--delay N] [--snr DB]
               [--h2 PCT] [--clip] [--silence] [--noise] [--loopback N]
               [--bits 16|24|32f] [--rate HZ]
      The sweep through sox's own biquads (EFFECTS, sox's effect words),
      x + c x^2 for a second harmonic of PCT percent, N samples of delay,
      white noise DB below the signal, clipped at full scale when asked;
      with --loopback a second channel holding the sweep N samples late
      (the microphone is then late by both delays). --silence and --noise
      record no sweep at all.
  recording.py check MEASUREMENT [--chain EFFECTS] [--smooth N] [--rate HZ]
               [--from HZ] [--to HZ]
      The largest difference, in dB, between the measurement's rows within
      the range and the chain's own response (its impulse through sox,
      transformed by numpy, power-averaged over 1/N octave when asked).
"""
import argparse
import subprocess
import sys

import numpy as np


def sox(args, data=None):
    return subprocess.run(["sox", "-D"] + args, input=data, capture_output=True,
                          check=True).stdout


def read_f32(path):
    return np.frombuffer(sox(["-V1", path, "-t", "f32", "-c", "1", "-"]), dtype=np.float32
                         ).astype(np.float64)


def through_chain(x, rate, chain):
    if not chain:
        return x
    raw = x.astype(np.float32).tobytes()
    out = sox(["-V1", "-t", "f32", "-r", str(rate), "-c", "1", "-", "-t", "f32", "-"] +
              chain.split(), raw)
    return np.frombuffer(out, dtype=np.float32).astype(np.float64)


def make(a):
    x = read_f32(a.sweep)
    amplitude = np.max(np.abs(x))
    if a.silence:
        y = np.zeros(len(x))
    elif a.noise:
        y = np.random.default_rng(7).normal(0, amplitude / 4, len(x))
    else:
        y = x
        if a.h2:
            # x + c x^2, second harmonic c A^2 / 2 against A, as a converter
            # would record it: without what the harmonic would fold back
            # from above half the rate. With z the analytic signal of x,
            # x^2 = (|z|^2 + Re z^2) / 2, and z^2 keeps its unfolded part
            # in its positive frequencies.
            n = len(x)
            spectrum = np.fft.fft(x)
            spectrum[1:(n + 1) // 2] *= 2
            spectrum[(n + 1) // 2:] = 0
            z = np.fft.ifft(spectrum)
            square = np.fft.fft(z * z)
            square[n // 2:] = 0
            harmonic = np.real(np.fft.ifft(square))
            y = y + (2 * a.h2 / 100 / amplitude) * (np.abs(z) ** 2 + harmonic) / 2
        y = through_chain(y, a.rate, a.chain)
        y = np.concatenate([np.zeros(a.delay + a.loopback), y])[:len(x)]
        if a.snr is not None:
            power = np.mean(y[:len(x) * 5 // 6] ** 2)
            noise = np.sqrt(power) * 10 ** (-a.snr / 20)
            y = y + np.random.default_rng(1).normal(0, noise, len(y))
        if a.clip:
            y = np.clip(y * 8, -1, 1)
    channels = [y]
    if a.loopback:
        channels.append(np.concatenate([np.zeros(a.loopback), x])[:len(x)])
    frames = np.stack(channels, axis=1).astype(np.float32)
    fmt = ["-e", "floating-point", "-b", "32"] if a.bits == "32f" else \
          ["-e", "signed-integer", "-b", a.bits]
    sox(["-V1", "-t", "f32", "-r", str(a.rate), "-c", str(len(channels)), "-", "-t", "wav"] +
        fmt + [a.out], frames.tobytes())


def check(a):
    rows = []
    for line in open(a.measurement):
        if line.startswith("*") or not line.strip():
            continue
        rows.append([float(v) for v in line.split()[:2]])
    rows = np.array(rows)
    n = 1 << 20
    impulse = np.zeros(n // 4)
    impulse[0] = 0.1  # sox clips at full scale
    h = through_chain(impulse, a.rate, a.chain) / 0.1
    spectrum = np.abs(np.fft.rfft(h, n)) ** 2
    bins = np.arange(len(spectrum)) * a.rate / n
    worst = 0.0
    for f, db in rows:
        if f < a.low or f > a.high:
            continue
        if a.smooth:
            band = (bins >= f * 2 ** (-0.5 / a.smooth)) & (bins <= f * 2 ** (0.5 / a.smooth))
            want = 10 * np.log10(np.mean(spectrum[band]))
        else:
            want = 10 * np.log10(np.interp(f, bins, spectrum))
        worst = max(worst, abs(db - want))
    print("%.4f" % worst)


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="what", required=True)
    m = sub.add_parser("make")
    m.add_argument("sweep")
    m.add_argument("out")
    c = sub.add_parser("check")
    c.add_argument("measurement")
    c.add_argument("--smooth", type=float, default=0)
    c.add_argument("--from", dest="low", type=float, default=40)
    c.add_argument("--to", dest="high", type=float, default=16000)
    for q in (m, c):
        q.add_argument("--chain", default="")
        q.add_argument("--rate", type=int, default=48000)
    m.add_argument("--delay", type=int, default=0)
    m.add_argument("--loopback", type=int, default=0)
    m.add_argument("--snr", type=float)
    m.add_argument("--h2", type=float, default=0)
    m.add_argument("--clip", action="store_true")
    m.add_argument("--silence", action="store_true")
    m.add_argument("--noise", action="store_true")
    m.add_argument("--bits", default="32f")
    a = p.parse_args()
    make(a) if a.what == "make" else check(a)


if __name__ == "__main__":
    sys.exit(main())
