#!/usr/bin/env python3
"""Runs one command and prints what it cost as one JSON line (Python 3 stdlib only).

Usage: measure.py [--label L] [--stdout FILE] [--stderr FILE] [--server-pid PID] -- COMMAND [ARG...]
Wall seconds from start to exit; user and system CPU seconds from wait4(), so they include every
child the command waited for (mpop's filter shells, for one). Peak RSS comes from GNU time
(/usr/bin/time), which starts the command: a child forked from this Python process would count
the interpreter's pages it held before exec as its own peak. The command's
standard output and error go to FILE (default /dev/null) so a terminal never slows it; when its
output is one JSON line (the poplib scripts), it is included as "report". Exit status 1 when the
command fails. --server-pid: also the CPU time the children of that process (Dovecot's master:
its login and pop3 processes, one each a session) used up in the meantime, as "server_cpu".
"""
import argparse, json, os, subprocess, sys, tempfile, time

ap = argparse.ArgumentParser()
ap.add_argument("--label", default="")
ap.add_argument("--stdout", default=os.devnull)
ap.add_argument("--stderr", default=os.devnull)
ap.add_argument("--server-pid", type=int)
ap.add_argument("command", nargs=argparse.REMAINDER)
a = ap.parse_args()
command = a.command[1:] if a.command[:1] == ["--"] else a.command
if not command:
    ap.error("no command")



def children_cpu(pid):
    """User + system seconds of the children the process has reaped (/proc/PID/stat)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


if not os.access("/usr/bin/time", os.X_OK):
    sys.exit("measure.py: /usr/bin/time missing; install the package time")
with open(a.stdout, "wb") as out, open(a.stderr, "wb") as err, \
        tempfile.NamedTemporaryFile("r") as peak:
    server_before = children_cpu(a.server_pid) if a.server_pid else 0
    start = time.perf_counter()
    child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name, "--"] + command,
                             stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)  # reaped: keep Popen from waiting
    lines = peak.read().split()
    rss_kb = int(lines[-1]) if lines and lines[-1].isdigit() else 0

result = {"label": a.label, "exit": child.returncode, "wall": round(wall, 4),
          "user": round(usage.ru_utime, 4), "sys": round(usage.ru_stime, 4),
          "cpu": round(usage.ru_utime + usage.ru_stime, 4), "rss_kb": rss_kb}
if a.server_pid:
    time.sleep(0.3)  # the server reaps its session's processes once the client is gone
    result["server_cpu"] = round(children_cpu(a.server_pid) - server_before, 3)
if a.stdout != os.devnull:
    with open(a.stdout, "rb") as f:
        text = f.read(1 << 16).strip()
    if text.startswith(b"{") and b"\n" not in text:
        result["report"] = json.loads(text)
print(json.dumps(result))
if child.returncode != 0:
    print("measure.py: %s exited with %d" % (" ".join(command), child.returncode), file=sys.stderr)
    sys.exit(1)
