#!/usr/bin/env python3
"""Hostile load beside a /healthz prober, for bench/tarvod/hostile.sh.

  hostile.py probe PORT SECONDS            new TLS connection + GET /healthz every 0.25 s;
                                           prints count, failures, median, p99 and max latency
  hostile.py siege PORT SECONDS IDLE SLOW  IDLE plain TCP connections that send nothing and
                                           SLOW TLS connections that send a request one byte
                                           every 3 s; both reopened when the server closes them
"""
import resource
import selectors
import socket
import ssl
import statistics
import sys
import threading
import time


def tls_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def probe(port, seconds):
    ctx = tls_context()
    times, failures = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=60) as raw:
                with ctx.wrap_socket(raw) as s:
                    s.sendall(b"GET /healthz HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
                    reply = b""
                    while chunk := s.recv(65536):
                        reply += chunk
            if not reply.startswith(b"HTTP/1.1 200"):
                failures += 1
            times.append(time.monotonic() - start)
        except OSError:
            failures += 1
            times.append(time.monotonic() - start)
        time.sleep(max(0.0, 0.25 - (time.monotonic() - start)))
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"healthz: {len(times)} probes, {failures} failed, median {statistics.median(times) * 1000:.1f} ms, "
          f"p99 {p99 * 1000:.1f} ms, max {times[-1] * 1000:.1f} ms")


def idle_holder(port, count, end, opened):
    sel = selectors.DefaultSelector()

    def connect():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.setblocking(False)
            sel.register(s, selectors.EVENT_READ)
            opened[0] += 1
        except OSError:
            time.sleep(0.01)

    for _ in range(count):
        connect()
    while time.monotonic() < end:
        for key, _ in sel.select(timeout=0.5):
            try:
                data = key.fileobj.recv(4096)
            except OSError:
                data = b""
            if not data:  # closed by the server: come back
                sel.unregister(key.fileobj)
                key.fileobj.close()
                connect()
    for key in list(sel.get_map().values()):
        key.fileobj.close()


def slow_sender(port, end, ctx, opened):
    request = (b"POST /v2/nearby/ HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
               b"X-Padding: " + b"a" * 4000 + b"\r\n\r\n")
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
                with ctx.wrap_socket(raw) as s:
                    opened[0] += 1
                    for byte in request:
                        if time.monotonic() >= end:
                            return
                        s.sendall(bytes([byte]))
                        time.sleep(3)
        except OSError:
            time.sleep(0.1)


def siege(port, seconds, idle, slow):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    end = time.monotonic() + seconds
    idle_opened, slow_opened = [0], [0]
    threads = [threading.Thread(target=idle_holder, args=(port, idle, end, idle_opened))]
    ctx = tls_context()
    threads += [threading.Thread(target=slow_sender, args=(port, end, ctx, slow_opened)) for _ in range(slow)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"siege: {idle} idle connections held ({idle_opened[0]} opened in all), "
          f"{slow} slow senders ({slow_opened[0]} TLS connections opened in all)")


if __name__ == "__main__":
    mode, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    if mode == "probe":
        probe(port, seconds)
    else:
        siege(port, seconds, int(sys.argv[4]), int(sys.argv[5]))
