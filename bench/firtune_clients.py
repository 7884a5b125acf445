#!/usr/bin/python3
"""firtune under hostile local clients: its memory (RSS) and the owner's
request latency while 20 slow clients trickle header bytes and 15
tokenless clients send oversized bodies, all on 127.0.0.1, for a bounded
time. The owner's request is a design of a small layout, once every
100 ms. Then the oversize clients alone. Also reports how long a slow
client was kept before the header deadline closed it.

Usage: bench/firtune_clients.py FIRTUNE [SECONDS]   (default 15 s)"""
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

SLOW, OVERSIZE = 20, 15


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def owner_request(port, token):
    body = b'{"layout":"100 2\\n1000 0.5\\n"}'
    head = (f"POST /api/design HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
            f"Authorization: Bearer {token}\r\nOrigin: http://127.0.0.1:{port}\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n").encode()
    start = time.monotonic()
    status = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(head + body)
            data = b""
            while chunk := s.recv(65536):
                data += chunk
            m = re.match(rb"HTTP/1\.1 (\d+)", data)
            status = int(m.group(1)) if m else 0
    except OSError:
        pass
    return time.monotonic() - start, status


def slow_client(port, until, kept):
    """Sends a request line and then one header byte every 0.5 s."""
    while time.monotonic() < until:
        start = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.sendall(f"POST /api/import HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
                while time.monotonic() < until:
                    s.sendall(b"X")
                    time.sleep(0.5)
        except OSError:
            pass
        if time.monotonic() < until:
            kept.append(time.monotonic() - start)
        time.sleep(0.05)


def oversize_client(port, until, sent):
    """No token, the largest import body announced (16 MiB less a byte), and
    its bytes as fast as they go."""
    chunk = b"1" * 65536
    size = (16 << 20) - 1
    while time.monotonic() < until:
        n = 0
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                s.sendall((f"POST /api/import HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                           "Origin: http://127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
                           f"Content-Length: {size}\r\n\r\n").encode())
                while n < size and time.monotonic() < until:
                    s.sendall(chunk[:size - n])
                    n += min(len(chunk), size - n)
                s.recv(1)
        except OSError:
            pass
        sent.append(n)
        time.sleep(0.05)


def owner_phase(pid, port, token, seconds):
    latencies, statuses, rss = [], [], []
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        t, status = owner_request(port, token)
        latencies.append(t * 1000)
        statuses.append(status)
        rss.append(rss_kib(pid))
        time.sleep(0.1)
    return latencies, statuses, rss


def report(name, latencies, statuses, rss):
    ok = sum(1 for s in statuses if s == 200)
    print(f"{name}: {len(latencies)} owner requests, {ok} answered 200; latency ms "
          f"median {statistics.median(latencies):.1f}, max {max(latencies):.1f}; "
          f"RSS MiB max {max(rss) / 1024:.1f}")


def main():
    firtune = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 15.0
    p = subprocess.Popen([firtune, "-n", "4096"], stdout=subprocess.PIPE)
    try:
        line = p.stdout.readline().decode()
        m = re.match(r"firtune: http://127\.0\.0\.1:(\d+)/#([0-9a-f]+)", line)
        port, token = int(m.group(1)), m.group(2)
        report("alone", *owner_phase(p.pid, port, token, 3))

        for slow_count in (SLOW, 0):
            until = time.monotonic() + seconds
            kept, sent = [], []
            threads = [threading.Thread(target=slow_client, args=(port, until, kept))
                       for _ in range(slow_count)]
            threads += [threading.Thread(target=oversize_client, args=(port, until, sent))
                        for _ in range(OVERSIZE)]
            for t in threads:
                t.start()
            time.sleep(0.5)
            report(f"with {slow_count} slow and {OVERSIZE} oversize clients",
                   *owner_phase(p.pid, port, token, seconds - 1))
            for t in threads:
                t.join()
            if slow_count:
                print(f"  slow clients: {len(kept)} closed by the server" +
                      (f", kept {min(kept):.1f} to {max(kept):.1f} s" if kept else ""))
            if sent:
                print(f"  oversize clients: {len(sent)} connections, at most "
                      f"{max(sent) / 1024:.0f} KiB sent on one before it was closed")
        print(f"RSS after: {rss_kib(p.pid) / 1024:.1f} MiB; firtune "
              f"{'still running' if p.poll() is None else 'ended'}")
    finally:
        p.terminate()
        p.wait(timeout=10)


if __name__ == "__main__":
    main()
