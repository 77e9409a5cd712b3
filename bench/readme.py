#!/usr/bin/env python3
"""Writes bench/README.md from what bench/run-all.sh collected (Python 3 stdlib only).

Usage: readme.py RESULTS --out FILE [--machine NAME=VALUE]... [run options, see below]
RESULTS holds scan.jsonl, rtt.jsonl, slow.jsonl and desktop.jsonl (one bench/measure.py line per
client run), profile-NAME.txt with a run's top self-time symbols (--profile 1), and the sections
the other benchmarks wrote: mime.md (+ mime.md.json), store.md, rules.md, list.md. A section
whose files are missing was skipped and says so.
"""
import argparse, json, os, re, statistics, textwrap

ap = argparse.ArgumentParser()
ap.add_argument("results")
ap.add_argument("--out", required=True)
ap.add_argument("--machine", action="append", default=[])
ap.add_argument("--date", default="")
ap.add_argument("--runs", type=int, default=5)
ap.add_argument("--messages", type=int, default=10000)
ap.add_argument("--slow-messages", type=int, default=1000)
ap.add_argument("--rtt-ms", type=int, default=20)
ap.add_argument("--quick", type=int, default=0)
ap.add_argument("--profile", type=int, default=0)
ap.add_argument("--skip", default="")
ap.add_argument("--pipelining", default="no")
ap.add_argument("--ruleset", default="no")
a = ap.parse_args()
median = statistics.median
goals = []  # (benchmark, goal, target, measured, verdict)
limits = []  # what limits a goal: from the run's figures, with the profile that shows it
PROFILED = {"lockstep": "a Norva lock-step check", "pipelined": "a Norva pipelined check",
            "desktop": "a check by the desktop program"}


def path(name):
    return os.path.join(a.results, name)


def read(name):
    return open(path(name)).read() if os.path.exists(path(name)) else None


def jsonl(name):
    text = read(name)
    return [json.loads(l) for l in text.splitlines() if l.strip()] if text else []


def wrap(text):
    return textwrap.fill(text, 96)


def bullets(items):
    return "\n".join(textwrap.fill(i, 96, initial_indent="- ", subsequent_indent="  ")
                     for i in items)


def verdict(ok):
    return "**met**" if ok else "**missed**"


shown = set()  # profiles already shown under an earlier goal


def profile_lines(name):
    """The profile of one of the run's checks, as an indented block under a bullet."""
    if name in shown:
        return "  Its profile: the one above, of %s." % PROFILED[name]
    shown.add(name)
    if not a.profile:
        return ("  Its profile: run `bench/run-all.sh --profile`, which profiles %s once with "
                "`perf record -e cpu-clock -g` after the timed runs." % PROFILED[name])
    lines = (read("profile-%s.txt" % name) or "").splitlines() or ["(no samples)"]
    objects = ", ".join((read("profile-%s-objects.txt" % name) or "").splitlines()[:6])
    return ("  Profile of %s (perf, cpu-clock, self time, symbols at 3 %% and over):\n\n"
            % PROFILED[name] + "  ```\n" + "".join("  %s\n" % l for l in lines) + "  ```" +
            ("\n\n" + textwrap.fill("By program and library (the top 6): %s." % objects, 96,
                                     initial_indent="  ", subsequent_indent="  ")
             if objects else ""))


def goal(bench, text, target, measured, ok, why=None, profile=None):
    """A goal for the table; why (what limits it) is listed for a missed goal, and for every goal
    that names the profile of a check."""
    goals.append((bench, text, target, measured, verdict(ok) if ok is not None else "not run"))
    if why and (ok is False or (profile and ok is not None)):
        entry = textwrap.fill("**%s, %s** (%s): %s" % (bench, text, measured, why), 96,
                              initial_indent="- ", subsequent_indent="  ")
        limits.append(entry + ("\n\n" + profile_lines(profile) if profile else ""))


class Figures:
    """Medians of one client's runs."""

    def __init__(self, runs):
        self.runs = runs
        walls = [r["wall"] for r in runs]
        self.wall, self.fastest, self.slowest = median(walls), min(walls), max(walls)
        self.cpu = median(r["cpu"] for r in runs)
        self.user = median(r["user"] for r in runs)
        self.sys = median(r["sys"] for r in runs)
        self.rss_mib = median(r["rss_kb"] for r in runs) / 1024
        self.server_cpu = median(r.get("server_cpu", 0) for r in runs)
        reports = [r["report"] for r in runs if "report" in r]
        self.report = reports[0] if reports else {}


def clients(name):
    by_label = {}
    for r in jsonl(name):
        by_label.setdefault(r["label"], []).append(r)
    return {label: Figures(runs) for label, runs in by_label.items()}


def seconds(x):
    return "%.3f" % x if x < 100 else "%.1f" % x


def scan_table(figs, rows, base, messages, extra_rows=()):
    out = ["| client | wall s | fastest–slowest | µs/message | CPU s (user+sys) | peak RSS MiB "
           "| wall ÷ %s | CPU ÷ %s | Dovecot CPU s |" % (base[1], base[1]),
           "|---|--:|--:|--:|--:|--:|--:|--:|--:|"]
    b = figs.get(base[0])
    for label, text in rows:
        f = figs.get(label)
        if not f:
            continue
        out.append("| %s | %s | %s–%s | %.0f | %s | %.1f | %s | %s | %.2f |" % (
            text, seconds(f.wall), seconds(f.fastest), seconds(f.slowest),
            f.wall / messages * 1e6, seconds(f.cpu), f.rss_mib,
            "%.2f" % (f.wall / b.wall) if b else "–", "%.2f" % (f.cpu / b.cpu) if b else "–",
            f.server_cpu))
    out += extra_rows
    return "\n".join(out)


NO_PIPELINING = "norva-cli has no --pipelining option in this tree"
MPOP_NOTE = ("mpop's filter starts a shell (and here `cat`) for every message, so most of its "
             "time is process start-up, not POP3: it stays in the table as the tool a user "
             "would run instead, not as a speed reference.")


def scan_section():
    figs = clients("scan.jsonl")
    if not figs:
        return None
    n = a.messages
    rtt = jsonl("rtt.jsonl")
    rtt_us = median(r["rtt_us"] for r in rtt)
    bandwidth = median(r["bandwidth_mb_s"] for r in rtt)
    pop = figs["poplib"].report
    header_bytes, rx_bytes = pop["header_bytes"], pop["rx_bytes"]
    limit = 2 * n * rtt_us / 1e6 + header_bytes / 1e6 / bandwidth
    rows = [("norva", "Norva `norva-cli check`, lock-step"),
            ("norva-pipelined", "Norva `norva-cli check`, pipelined"),
            ("poplib", "Python poplib, lock-step"),
            ("poplib-pipelined", "Python pipelined reference, 64 messages in flight"),
            ("mpop", "mpop `--filter` (a shell per message)")]
    limit_row = "| round-trip limit: 2 × %d × %.1f µs + %.1f MB at %.0f MB/s | %s | | %.0f | | | %s | | |" % (
        n, rtt_us, header_bytes / 1e6, bandwidth, seconds(limit), limit / n * 1e6,
        "%.2f" % (limit / figs["norva"].wall))
    table = scan_table(figs, rows, ("norva", "Norva lock-step"), n, [limit_row])

    norva = figs["norva"]
    p = figs["poplib"]
    # A lock-step client waits out every reply: its wall time is its own CPU time, Dovecot's and
    # the round trips in between, one after the other.
    goal("Header scan", "lock-step wall time", "≤ 1.05 × poplib's (%s s)" % seconds(p.wall),
         "%s s = %.2f × poplib's" % (seconds(norva.wall), norva.wall / p.wall),
         norva.wall <= 1.05 * p.wall,
         "one command at a time, so the client, Dovecot and the round trips take turns: "
         "Norva used %s s of CPU, Dovecot %s s for it, and the round trips alone take %s s "
         "(the limit row), %s s together against the wall time of %s s; poplib used %s s, "
         "Dovecot %s s for it." % (
             seconds(norva.cpu), seconds(norva.server_cpu), seconds(2 * n * rtt_us / 1e6),
             seconds(norva.cpu + norva.server_cpu + 2 * n * rtt_us / 1e6), seconds(norva.wall),
             seconds(p.cpu), seconds(p.server_cpu)),
         "lockstep")
    goal("Header scan", "lock-step client CPU", "≤ 0.6 × poplib's (%s s)" % seconds(p.cpu),
         "%s s = %.2f × poplib's" % (seconds(norva.cpu), norva.cpu / p.cpu),
         norva.cpu <= 0.6 * p.cpu,
         "%.0f µs of CPU a message, %s s of it in the kernel (a send and a poll and receive for "
         "every command) and %s s in the program: start-up, the headers, the 20 rules and the "
         "seen list; poplib: %s s in the kernel, %s s in Python." % (
             norva.cpu / n * 1e6, seconds(norva.sys), seconds(norva.user), seconds(p.sys),
             seconds(p.user)),
         "lockstep")
    cap = (3 * header_bytes + 20 * 2**20) / 2**20
    goal("Header scan", "peak memory", "< 3 × %.1f MiB of headers + 20 MiB = %.1f MiB"
         % (header_bytes / 2**20, cap), "%.1f MiB" % norva.rss_mib, norva.rss_mib < cap)
    ref = figs["poplib-pipelined"]
    if "norva-pipelined" in figs:
        np_ = figs["norva-pipelined"]
        # Pipelined, the client and Dovecot work at the same time: the slower of the two sets
        # the pace.
        pace = "Dovecot" if np_.server_cpu >= np_.cpu else "the client"
        goal("Header scan", "pipelined wall time",
             "≤ 1.0 × the pipelined reference (%s s)" % seconds(ref.wall),
             "%s s = %.2f × the reference" % (seconds(np_.wall), np_.wall / ref.wall),
             np_.wall <= 1.0 * ref.wall,
             "client and Dovecot work at the same time, so the slower sets the pace, here %s: "
             "Dovecot used %s s of CPU in Norva's check and %s s in the reference's, the "
             "clients %s s and %s s. Norva's figure holds a whole check (start-up, the rules, "
             "the seen list written at the end); the reference only reads the replies."
             % (pace, seconds(np_.server_cpu), seconds(ref.server_cpu), seconds(np_.cpu),
                seconds(ref.cpu)),
             "pipelined")
        goal("Header scan", "pipelined client CPU",
             "≤ 1.5 × the pipelined reference's (%s s)" % seconds(ref.cpu),
             "%s s = %.2f × the reference's" % (seconds(np_.cpu), np_.cpu / ref.cpu),
             np_.cpu <= 1.5 * ref.cpu,
             "%.0f µs of CPU a message: %s s in the program (start-up, the headers, the 20 "
             "rules over {:,} messages, the seen list), %s s in the kernel; the reference: %s s "
             "and %s s.".format(n) % (np_.cpu / n * 1e6, seconds(np_.user), seconds(np_.sys),
                            seconds(ref.user), seconds(ref.sys)),
             "pipelined")
    else:
        for text, target in (("pipelined wall time", "≤ 1.0 × the pipelined reference"),
                             ("pipelined client CPU", "≤ 1.5 × the pipelined reference's")):
            goal("Header scan", text, target, NO_PIPELINING, None)

    ruleset = ("the rule set of `bench/setup-ruleset.sh` (20 rules, two check lists of 5,000 "
               "lines each)" if a.ruleset == "yes" else
               "**no rules** (`bench/setup-ruleset.sh` is not in this tree yet),")
    method = [
        "A Dovecot %s on 127.0.0.1 (started by `tests/interop/start-pop3.sh`, its own "
        "configuration and no TLS) serves %d messages from `tests/interop/fill-mailbox.py` "
        "(seed 1): %.1f MB of header blocks (`TOP n 1`), %.1f MB received in all for LIST and "
        "TOP." % (VERSIONS.get("Dovecot", ""), n, header_bytes / 1e6, rx_bytes / 1e6),
        "**Norva**: `norva-cli check` of a fresh program folder every run, so the list starts "
        "empty and every message is new: a copy of a folder prepared once with %s and one "
        "mailbox (`config add-account`). The rules classify every message and each Message-ID "
        "is stored as seen. Lock-step: `--pipelining off`; pipelined: `--pipelining on`, the "
        "default, which sends `LIST n` and `TOP n 1` in batches once CAPA announces "
        "PIPELINING. Its list goes to a file, its status messages to another." % ruleset,
        "**Python poplib** (`bench/pop3_poplib.py`): USER, PASS, STAT, then `LIST n` and "
        "`TOP n 1` for every n, one command at a time, QUIT.",
        "**Pipelined reference** (`bench/pop3_pipelined.py`): the same commands in the same "
        "order from a plain Python socket, up to 64 messages' commands ahead of the replies "
        "it reads; what a pipelining client costs when Dovecot's own work sets the pace.",
        "**mpop** with a fresh UID list (every message new), `keep on` and `filter cat "
        ">/dev/null; exit 2`: it pipelines `TOP n 0` for every message, pipes each header "
        "block into the filter, which reads it and says skip, so nothing is downloaded or "
        "deleted (checked: the delivery file stays empty and every message is reported as "
        "skipped). " + MPOP_NOTE,
        "Every client is timed as a whole process by `bench/measure.py`: wall time from start "
        "to exit, CPU time (user + system, including the children it waited for) from "
        "`wait4`, peak RSS from GNU time. Dovecot's CPU time is what its master's children (the "
        "session's login and pop3 processes) used meanwhile, in clock ticks of 10 ms. Start-up (Python's, Norva's reading of its rule set "
        "and check lists) is part of every figure. Each run checks the client saw all %d "
        "messages." % n,
        "The round-trip limit row shows what the round trips alone cost, measured in the same "
        "run by `rtt_probe` (before each round): the median round trip of a 13-byte command "
        "and a 26-byte reply between two threads over loopback, Nagle off, and the loopback "
        "bandwidth of a 256 MB one-way transfer. Limit = 2 round trips per message (LIST, "
        "TOP) × messages × round trip + header bytes ÷ bandwidth; it leaves out Dovecot's "
        "own work, which a lock-step client waits for too.",
        "%d rounds, each running every client once in turn, after two untimed rounds of poplib "
        "and Norva in which Dovecot indexes the mailbox and fills its header cache. Figures "
        "are medians; ratios are the client's figure over Norva lock-step's (above 1: Norva "
        "does better)." % a.runs,
    ]
    return ("## 1. Header scan on loopback\n\n" + bullets(method) + "\n\n### Results\n\n" +
            "%d messages, median of %d runs. Round trip %.1f µs, loopback bandwidth %.0f MB/s."
            % (n, a.runs, rtt_us, bandwidth) + "\n\n" + table + "\n")


def slow_section():
    figs = clients("slow.jsonl")
    if not figs:
        return None
    n = a.slow_messages
    rows = [("norva", "Norva `norva-cli check`, lock-step"),
            ("norva-pipelined", "Norva `norva-cli check`, pipelined"),
            ("mpop", "mpop `--filter` (pipelines; a shell per message)")]
    base = ("norva-pipelined", "Norva pipelined") if "norva-pipelined" in figs else \
        ("norva", "Norva lock-step")
    floor = 2 * n * a.rtt_ms / 1000
    table = scan_table(figs, rows, base, n, [
        "| lock-step floor: 2 × %d × %d ms | %s | | %.0f | | | | | |"
        % (n, a.rtt_ms, seconds(floor), floor / n * 1e6)])
    lock, mp = figs["norva"], figs["mpop"]
    if "norva-pipelined" in figs:
        np_ = figs["norva-pipelined"]
        goal("Slow link", "pipelined vs mpop", "≤ 1.2 × mpop's wall time (%s s)" % seconds(mp.wall),
             "%s s = %.2f × mpop's" % (seconds(np_.wall), np_.wall / mp.wall),
             np_.wall <= 1.2 * mp.wall)
        goal("Slow link", "pipelined vs lock-step", "≥ 10 × faster than lock-step (%s s)"
             % seconds(lock.wall), "%.1f × faster (%s s)" % (lock.wall / np_.wall,
                                                              seconds(np_.wall)),
             lock.wall >= 10 * np_.wall)
    else:
        for text, target in (("pipelined vs mpop", "≤ 1.2 × mpop's wall time"),
                             ("pipelined vs lock-step", "≥ 10 × faster than lock-step")):
            goal("Slow link", text, target, NO_PIPELINING, None)
    method = [
        "The header scan of section 1 through `delay_relay` (`bench/delay_relay.cpp`), a TCP "
        "relay on loopback between each client and Dovecot that holds every chunk it reads "
        "for %d ms before passing it on, in each direction: %d ms a round trip, bytes in "
        "order, Nagle off on both legs. A Dovecot of its own with the first %d of the same "
        "messages." % (a.rtt_ms // 2, a.rtt_ms, n),
        "Norva lock-step and pipelined and mpop as in section 1 (same rule set, fresh folder "
        "and UID list every run); %d runs taking turns, after two untimed poplib runs "
        "straight to Dovecot. A lock-step client cannot beat 2 round trips a message, the "
        "floor in the table; a pipelining one pays a few round trips in all. Ratios are "
        "over %s's figures." % (a.runs, base[1]),
    ]
    return ("## 2. Header scan over a %d ms round trip\n\n" % a.rtt_ms + bullets(method) +
            "\n\n### Results\n\n%d messages, median of %d runs.\n\n" % (n, a.runs) + table + "\n")


def desktop_section():
    figs = clients("desktop.jsonl")
    if not figs:
        return None
    n = a.messages
    rows = [("desktop", "Norva desktop program (`desktop_check`, offscreen)"),
            ("norva-cli", "Norva `norva-cli check`")]
    table = scan_table(figs, rows, ("norva-cli", "norva-cli"), n)
    d, c = figs["desktop"], figs["norva-cli"]
    phases = [r["report"] for r in d.runs if "startup_s" in r.get("report", {})]
    startup = median(r["startup_s"] for r in phases) if phases else None
    check = median(r["check_s"] for r in phases) if phases else None
    qt_share = None
    if a.profile and read("profile-desktop-objects.txt"):
        qt_share = sum(float(line.split()[0].rstrip("%"))
                       for line in read("profile-desktop-objects.txt").splitlines()
                       if re.match(r"\S+ lib(Qt|harfbuzz|freetype|fontconfig)", line))
    goal("Desktop check", "a check of {:,} messages".format(n),
         "≤ 1.2 × norva-cli's wall time (%s s)" % seconds(c.wall),
         "%s s = %.2f × norva-cli's" % (seconds(d.wall), d.wall / c.wall),
         d.wall <= 1.2 * c.wall,
         "%sthe desktop program used %s s of CPU (%s s in the program, %s s in the kernel) "
         "to norva-cli's %s s (%s s and %s s), Dovecot %s s and %s s for them; the time "
         "neither the client nor Dovecot worked (wall − both CPU times) was %s s in the "
         "desktop program's check and %s s in norva-cli's.%s Peak memory: %.1f MiB and "
         "%.1f MiB." % (
             "%s s pass before the check starts (Qt, the windows, the configuration), the "
             "check itself takes %s s, loading the program and leaving it %s s; " % (
                 seconds(startup), seconds(check), seconds(max(0, d.wall - startup - check)))
             if phases else "",
             seconds(d.cpu), seconds(d.user), seconds(d.sys), seconds(c.cpu), seconds(c.user),
             seconds(c.sys), seconds(d.server_cpu), seconds(c.server_cpu),
             seconds(max(0, d.wall - d.cpu - d.server_cpu)),
             seconds(max(0, c.wall - c.cpu - c.server_cpu)),
             " So the desktop program's %s s more wall time comes with %s s more CPU time." % (
                 seconds(d.wall - c.wall), seconds(d.cpu - c.cpu)) +
             (" Qt and its text rendering (Qt's libraries, HarfBuzz, FreeType, fontconfig) "
              "take %.0f %% of the desktop program's profile." % qt_share
              if qt_share is not None else ""), d.rss_mib, c.rss_mib),
         "desktop")
    method = [
        "The Dovecot and the mailbox of section 1 ({:,} messages), the same program folder "
        "(the 20-rule set, one mailbox, pipelined), copied afresh for every run so every "
        "message is new.".format(n),
        "**Desktop program**: `desktop_check` (`bench/desktop_check.cpp`) builds the desktop "
        "program's windows on the folder on Qt's offscreen platform, starts the check the way "
        "the toolbar's Check button does (its action), and exits when the check has ended. It "
        "prints the rows its list shows, which must be one per message; the new-mail box is "
        "answered as a click on OK would.",
        "**norva-cli**: `norva-cli check` of the same folder, as in section 1.",
        "Both are timed as whole processes by `bench/measure.py`, start-up included; %d rounds "
        "taking turns after one untimed desktop check. Ratios are over norva-cli's figures."
        % a.runs,
    ]
    return ("## 7. A check by the desktop program\n\n" + bullets(method) + "\n\n### Results\n\n"
            + "{:,} messages, median of %d runs.\n\n".format(n) % a.runs + table + "\n")


def demote(text):
    """Headings of a section another program wrote start at level 3, below the title."""
    levels = [len(h) for h in re.findall(r"^(#+) ", text, flags=re.M)]
    if not levels:
        return text.strip()
    shift = 3 - min(levels)
    return re.sub(r"^(#+) ", lambda m: "#" * (len(m.group(1)) + shift) + " ", text.strip(),
                  flags=re.M)


def mime_section():
    text = read("mime.md")
    if text is None:
        return None
    speed = json.loads(read("mime.md.json") or "{}")
    for op, target in (("decode", 5), ("encode", 3)):
        x = speed.get(op)
        goal("MIME", op[:-1] + "ing throughput", "≥ %d × Python email's" % target,
             "%.2f ×" % x if x else "no figure", x >= target if x else None,
             "the time goes to base64 (a table lookup per character, three bytes written per "
             "four read), to reading the lines of each part and to copying decoded parts into "
             "their streams%s." % ("; the gap to the goal is within the run-to-run spread "
                                    "of the figures (fastest–slowest below)"
                                    if x and x >= 0.95 * target else ""))
    return "## 3. MIME decode and encode\n\n" + demote(text) + "\n"


def store_section():
    text = read("store.md")
    if text is None:
        return None
    for name, key, limit in (("read all", "read all items", 1.2),
                             ("add one item", "add one item", 2)):
        m = re.search(r"^\|[^|\n]*%s[^|\n]*\|[^|\n]*\|[^|\n]*\|\s*([0-9.]+)\s*\|" % key, text, re.M)
        x = float(m.group(1)) if m else None
        goal("Record store", name, "≤ %g × SQLite's wall time" % limit,
             "%.2f × SQLite's" % x if x is not None else "no figure",
             x <= limit if x is not None else None,
             "reading opens the index only and reads each entry where it lies in the file, "
             "small neighbouring ones through one read-ahead buffer" if limit < 2 else
             "a close after a change appends the item and a new index and syncs twice (the "
             "data, then the data-section length at the start); the two syncs set the wall "
             "time on a shared disk, the CPU time beside it is the work itself")
    m = re.search(r"^Add one: Norva wrote ([0-9.]+) KB .*: ([0-9.]+) x \(item x 4 \+ index\)",
                  text, re.M)
    y = float(m.group(2)) if m else None
    goal("Record store", "add one item, bytes written", "≤ 4 × the item's size + the index",
         "%s KB, %.2f × (4 × item + index)" % (m.group(1), y) if m else "no figure",
         y <= 1 if y is not None else None,
         "the new item, a new index section and the 4-byte data length are written; once "
         "unreferenced bytes (old indexes among them) pass a quarter of the file, one close "
         "rewrites it whole, which the median of the runs does not show")
    return "## 4. Record store vs SQLite\n\n" + demote(text) + "\n"


def tables(text):
    """The markdown tables of a fragment: lists of rows, each a list of cells (header first)."""
    found, rows = [], []
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if not all(re.fullmatch(r":?-+:?", c) for c in cells):
                rows.append(cells)
        elif rows:
            found.append(rows)
            rows = []
    return found


def target_of(text):
    m = re.search(r"\b((?:under|within|below|at most|at least|over) [0-9.,]+ ?(?:ms|s|MB|×))", text)
    if not m:
        return "as stated"
    return "no stall " + m.group(1) if "stall" in text else m.group(1)


def fragment_section(name, title, bench, goal_rows):
    """rules_bench and list_bench print their own method and tables, their goals among them:
    a table with the columns goal, figure, met (yes/no), or a table whose last column is
    headed "goal: TARGET" and holds "met (FIGURE)" or "missed (FIGURE)"."""
    text = read(name)
    if text is None:
        return None
    found = 0
    for table in tables(text):
        head = [c.lower() for c in table[0]]
        if head[:1] == ["goal"] and "met" in head and len(head) >= 3:
            for row in table[1:]:
                goal(bench, row[0], target_of(row[0]), row[1],
                     row[head.index("met")].lower() in ("yes", "met"))
                found += 1
        elif head and head[-1].startswith("goal:"):
            target = table[0][-1].split(":", 1)[1].strip()
            for row in table[1:]:
                m = re.match(r"(met|missed)\s*(?:\((.*)\))?", row[-1])
                if m:
                    goal(bench, row[0], target, m.group(2) or row[-1], m.group(1) == "met")
                    found += 1
    if not found:
        for text_, target in goal_rows:
            goal(bench, text_, target, "see its section", None)
    return "## %s\n\n" % title + demote(text) + "\n"


VERSIONS = {}
machine = []
for item in a.machine:
    key, _, value = item.partition("=")
    machine.append("%s: %s" % (key, value))
    if key == "Peers":
        for part in value.split(", "):
            bits = part.split(" ", 1)
            if len(bits) == 2:
                VERSIONS[bits[0]] = bits[1]

TITLES = {"scan": "1. Header scan on loopback", "slow": "2. Header scan over a slow link",
          "mime": "3. MIME decode and encode", "store": "4. Record store vs SQLite",
          "rules": "5. Rule evaluation", "list": "6. The GUI list",
          "desktop": "7. A check by the desktop program", "learn": "8. The spam learner"}
sections = [
    ("scan", scan_section), ("slow", slow_section), ("mime", mime_section),
    ("store", store_section),
    ("rules", lambda: fragment_section(
        "rules.md", "5. Rule evaluation", "Rule evaluation",
        [("10,000 header blocks through the rules and check lists", "< 1 s")])),
    ("list", lambda: fragment_section(
        "list.md", "6. The GUI list", "GUI list",
        [("sorting 10,000 rows", "< 100 ms"), ("rows added during a check", "no visible stall")])),
    ("desktop", lambda: desktop_section()),
    ("learn", lambda: fragment_section(
        "learn.md", "8. The spam learner", "Spam learner",
        [("more spam caught than bogofilter on the whole message", "as stated")])),
]
skipped = [s for s in a.skip.split(",") if s]
SHORT = {"scan": "Header scan", "slow": "Slow link", "mime": "MIME", "store": "Record store",
         "rules": "Rule evaluation", "list": "GUI list", "desktop": "Desktop check",
         "learn": "Spam learner"}
UNRUN_GOALS = {
    "scan": [("lock-step wall time", "≤ 1.05 × poplib's"),
             ("lock-step client CPU", "≤ 0.6 × poplib's"),
             ("peak memory", "< 3 × the header bytes + 20 MiB"),
             ("pipelined wall time", "≤ 1.0 × the pipelined reference"),
             ("pipelined client CPU", "≤ 1.5 × the pipelined reference's")],
    "slow": [("pipelined vs mpop", "≤ 1.2 × mpop's wall time"),
             ("pipelined vs lock-step", "≥ 10 × faster than lock-step")],
    "mime": [("decoding throughput", "≥ 5 × Python email's"),
             ("encoding throughput", "≥ 3 × Python email's")],
    "store": [("read all", "≤ 2 × SQLite's wall time"), ("add one item", "≤ 2 × SQLite's wall time")],
    "rules": [("10,000 header blocks through the rules and check lists", "< 1 s")],
    "list": [("sorting 10,000 rows", "< 100 ms"), ("rows added during a check", "no visible stall")],
    "desktop": [("a check of %s messages" % "{:,}".format(a.messages), "≤ 1.2 × norva-cli's wall time")],
    "learn": [("spam recall at 0.5 % false positives, header block only",
               "more than bogofilter on the whole message")],
}
bodies = []
for name, make in sections:
    body = None if name in skipped else make()
    if body is None:
        for text, target in UNRUN_GOALS[name]:
            goal(SHORT[name], text, target, "–", None)
        bodies.append("## %s\n\nNot run in this run (`--skip %s`).\n" % (TITLES[name], name))
        continue
    bodies.append(body)

full = a.messages == 10000 and a.slow_messages == 1000 and a.runs >= 5 and not a.quick
intro = wrap(
    "Norva side by side with the tools a user would pick instead, on the same machine in the "
    "same run. `bench/run-all.sh` builds Release in `build-bench/`, runs every benchmark below "
    "and writes this file as a whole; nothing here is edited by hand. Timings never decide a "
    "test's pass or fail.")
running = """    bench/run-all.sh                  # 10,000 messages, 1,000 over the slow link, 5 runs
    bench/run-all.sh --quick          # 1,000 / 100 messages, 2 runs: a check that all runs
    bench/run-all.sh --runs 7 --skip mime,store
    bench/run-all.sh --profile        # also a perf profile of each Norva check, beside its goals

It needs the packages of `scripts/install-deps.sh` (Dovecot, mpop, GNU time, SQLite, Qt) and,
as root, a `/tmp` that Dovecot's `mail` user can reach. It starts its own Dovecot servers and
relays on free loopback ports and removes them and its temporary folders on exit, also when
interrupted. Its building blocks run on their own too and print their section:
`bench/mime_bench.sh` (MIME), `bench/run.sh` (record store), `rules_bench` and `list_bench`,
`bench/learn_bench.sh` (the spam learner beside bogofilter; it fetches its corpus with npm);
`bench/measure.py` times one command as the header scans do, `desktop_check --folder DIR` runs
one check by the desktop program. `bench/pop3_bench.sh` times Norva's `UpdateInfo` alone,
in-process, with its receive calls counted (not part of this file)."""

out = ["# Benchmarks", "", intro, ""]
if not full:
    out += [wrap("**A reduced run** (%d messages, %d over the slow link, %d runs): the goals "
                 "are set for 10,000 and 1,000 messages and at least 5 runs, so these figures "
                 "only show that everything runs." % (a.messages, a.slow_messages, a.runs)), ""]
out += ["Run on %s." % a.date, "", bullets(machine), "", "## Goals", ""]
out += ["| benchmark | goal | target | measured | |", "|---|---|---|---|---|"]
out += ["| %s | %s | %s | %s | %s |" % g for g in goals]
if limits:
    out += ["", "### What limits the goals", "", "\n".join(limits)]
out += ["", "## Running", "", running, ""]
out += bodies
with open(a.out, "w") as f:
    f.write("\n".join(out).rstrip() + "\n")
