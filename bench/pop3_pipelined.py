#!/usr/bin/env python3
"""The pipelined reference for the header scan (Python 3 stdlib only).

Usage: pop3_pipelined.py PORT [--host 127.0.0.1] [--user test] [--password secret] [--window 64]
Login, STAT, then LIST n and TOP n 1 for n = 1..N with up to WINDOW messages' commands sent
ahead of the replies read, QUIT. The replies are read in order from one buffered socket, as a
pipelining client must (RFC 2449). Prints one JSON line as pop3_poplib.py does.
"""
import argparse, json, socket, time


class Session:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rb", buffering=65536)
        self.rx = 0

    def line(self):
        line = self.file.readline()
        if not line.endswith(b"\n"):
            raise EOFError("connection closed")
        self.rx += len(line)
        return line

    def status(self):
        line = self.line()
        if not line.startswith(b"+OK"):
            raise RuntimeError("server said: %r" % line)
        return line

    def block(self):
        """The lines of a multi-line reply up to its terminating dot; returns the octets."""
        octets = 0
        while True:
            line = self.line()
            if line == b".\r\n":
                return octets
            octets += len(line)

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.status()


def scan(host, port, user, password, window):
    t0, cpu0 = time.perf_counter(), time.process_time()
    s = Session(host, port)
    s.status()
    s.command("USER " + user)
    s.command("PASS " + password)
    n = int(s.command("STAT").split()[1])
    header_bytes = 0
    sent = 0  # messages whose commands are on their way

    def send_up_to(last):
        nonlocal sent
        if last > sent:
            s.sock.sendall(b"".join(b"LIST %d\r\nTOP %d 1\r\n" % (i, i)
                                    for i in range(sent + 1, last + 1)))
            sent = last

    send_up_to(min(n, window))
    for i in range(1, n + 1):
        s.status()  # LIST i
        s.status()  # TOP i 1
        header_bytes += s.block()
        if sent - i <= window * 3 // 4:  # top up in batches rather than one send a message
            send_up_to(min(n, i + window))
    s.command("QUIT")
    s.sock.close()
    return n, time.perf_counter() - t0, time.process_time() - cpu0, s.rx, header_bytes


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--user", default="test")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--window", type=int, default=64)
    a = ap.parse_args()
    n, secs, cpu, rx, headers = scan(a.host, a.port, a.user, a.password, max(1, a.window))
    print(json.dumps({"client": "poplib-pipelined", "messages": n, "seconds": round(secs, 4),
                      "cpu_seconds": round(cpu, 4), "rx_bytes": rx, "header_bytes": headers}))
