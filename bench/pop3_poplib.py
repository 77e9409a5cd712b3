#!/usr/bin/env python3
"""The baseline header scan with Python's poplib, one command at a time (Python 3 stdlib only).

Usage: pop3_poplib.py PORT [--user test] [--password secret]
Login, STAT, then LIST n and TOP n 1 for n = 1..N, QUIT, against 127.0.0.1:PORT.
Prints one JSON line: messages, wall seconds and CPU seconds (user + system) from login to QUIT,
bytes received for LIST and TOP, and the bytes of the header blocks (TOP's lines) among them.
"""
import argparse, json, poplib, time


def scan(port, user, password):
    t0, cpu0 = time.perf_counter(), time.process_time()
    p = poplib.POP3("127.0.0.1", port, timeout=60)
    p.user(user)
    p.pass_(password)
    n, _ = p.stat()
    rx = headers = 0
    for i in range(1, n + 1):
        rx += len(p.list(i)) + 2
        resp, lines, octets = p.top(i, 1)
        rx += len(resp) + 2 + octets + 3  # status line + header lines + ".\r\n"
        headers += octets
    p.quit()
    return n, time.perf_counter() - t0, time.process_time() - cpu0, rx, headers


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--user", default="test")
    ap.add_argument("--password", default="secret")
    a = ap.parse_args()
    n, secs, cpu, rx, headers = scan(a.port, a.user, a.password)
    print(json.dumps({"client": "poplib", "messages": n, "seconds": round(secs, 4),
                      "cpu_seconds": round(cpu, 4), "rx_bytes": rx, "header_bytes": headers}))
