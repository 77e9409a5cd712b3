#!/usr/bin/env bash
# MIME decode and encode: builds mime_bench in Release, writes the corpus of
# bench/mime_corpus.py into a temporary folder, checks once (untimed) what Norva and Python's
# email package make of it, then times Norva's TmsMessage LoadFromStream / SaveToStream
# against email.message_from_bytes / as_bytes (compat32), runs taking turns.
# Writes its section of bench/README.md, the method and the results, to FILE (--out FILE) or to
# standard output, and the speed-ups of all messages to FILE.json ({"decode": x, "encode": y});
# bench/run-all.sh puts the section in the README.
# Usage: bench/mime_bench.sh [--runs R (5)] [--out FILE]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5 out=/dev/stdout
while [[ $# -gt 0 ]]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--runs R] [--out FILE]" >&2; exit 2 ;;
  esac
done

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target mime_bench >&2
norva=build-bench/bench/mime_bench
baseline=bench/mime_bench.py
py=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper

work=$(mktemp -d "${TMPDIR:-/tmp}/norva-mime.XXXXXX")
trap 'rm -rf "$work"' EXIT
corpus=$work/corpus
"$py" bench/mime_corpus.py "$corpus" --messages 1000 --seed 1 >&2

# What each side decodes, against the manifest, and what Python reads in Norva's output.
echo "checking" >&2
"$norva" "$corpus" --verify --write "$work/norva-out" >"$work/verify-norva.json"
"$py" "$baseline" "$corpus" --verify >"$work/verify-python.json"
"$py" "$baseline" "$work/norva-out" --manifest "$corpus/manifest.tsv" --verify \
  >"$work/verify-python-reads-norva.json"
rm -rf "$work/norva-out"

echo "warming up" >&2
"$norva" "$corpus" >/dev/null
"$py" "$baseline" "$corpus" >/dev/null

for r in $(seq 1 "$runs"); do  # interleaved, so drift on the machine hits both alike
  echo "run $r of $runs" >&2
  "$norva" "$corpus" >>"$work/norva.jsonl"
  "$py" "$baseline" "$corpus" >>"$work/python.jsonl"
done

report=$("$py" - "$work" <<'PY'
import collections, json, statistics, sys, textwrap
work = sys.argv[1]
runs = {side: [json.loads(l) for l in open("%s/%s.jsonl" % (work, side))]
        for side in ("norva", "python")}
manifest = [l.rstrip("\n").split("\t") for l in open(work + "/corpus/manifest.tsv")
            if not l.startswith("#")]
kinds = collections.Counter(f[2] for f in manifest)
features = collections.Counter(x for f in manifest for x in f[9].split(",") if x != "-")
total = runs["norva"][0]["input_bytes"]
median = statistics.median


def figures(side, op, groups):
    """Median wall and CPU seconds and the bytes of the passes, summed per run."""
    walls = [sum(r["passes"]["%s %s" % (op, g)]["seconds"] for g in groups) for r in runs[side]]
    cpus = [sum(r["passes"]["%s %s" % (op, g)]["cpu_seconds"] for g in groups) for r in runs[side]]
    size = sum(runs[side][0]["passes"]["%s %s" % (op, g)]["input_bytes"] for g in groups)
    count = sum(runs[side][0]["passes"]["%s %s" % (op, g)]["messages"] for g in groups)
    return median(walls), median(cpus), size, count, min(walls), max(walls)


corpus = ("%d messages, %.1f MB: %d plain text, %d quoted-printable text, %d multipart/mixed "
          "with small attachments, %d with a 1 MB attachment. Headers: %d subjects in encoded "
          "words (%d of them followed by plain words), %d folded subjects, %d senders with an "
          "encoded name, %d folded To fields, %d To fields with a quoted name that holds a "
          "comma, %d messages without MIME headers."
          % (len(manifest), total / 1e6, kinds["plain"], kinds["qp"], kinds["mixed"],
             kinds["large"], features["subject-encoded"] + features["subject-encoded-then-text"],
             features["subject-encoded-then-text"], features["subject-folded"],
             features["from-encoded"], features["to-folded"], features["to-quoted-comma"],
             features["no-mime"]))
with open(work + "/corpus.md", "w") as f:
    f.write(textwrap.fill(corpus, 96) + "\n")

out = []
out.append("| workload | MB | Norva MB/s | Norva s (CPU s) | Python MB/s | Python s (CPU s) "
           "| Norva/Python speed |")
out.append("|---|--:|--:|--:|--:|--:|--:|")
spreads = []
speedups = {}
for op in ("decode", "encode"):
    for label, groups in (("%s messages of text and small attachments", ["small"]),
                          ("%s messages with a 1 MB attachment", ["large"]),
                          ("all %s messages", ["small", "large"])):
        n = figures("norva", op, groups)
        p = figures("python", op, groups)
        rate_n, rate_p = n[2] / 1e6 / n[0], p[2] / 1e6 / p[0]
        out.append("| %s, %s | %.1f | %.1f | %.3f (%.3f) | %.1f | %.3f (%.3f) | %.2f |"
                   % (op, label % n[3], n[2] / 1e6, rate_n, n[0], n[1], rate_p, p[0], p[1],
                      rate_n / rate_p))
        if len(groups) == 2:
            speedups[op] = round(rate_n / rate_p, 3)
            spreads.append("%s all: Norva %.3f–%.3f s, Python %.3f–%.3f s"
                           % (op, n[4], n[5], p[4], p[5]))
out.append("")
notes = ["Wall time fastest–slowest: %s." % "; ".join(spreads)]
rss = {s: median(r["peak_rss_kb"] for r in runs[s]) / 1024 for s in runs}
notes.append("Peak RSS (each process holds the corpus and every decoded message): Norva %.0f MiB, "
             "Python %.0f MiB." % (rss["norva"], rss["python"]))
notes.append("Encoded output: Norva %.1f MB, Python %.1f MB. Decoded bytes read: Norva %.1f MB "
             "(attachments and body lines), Python %.1f MB (every leaf part's payload)."
             % (runs["norva"][0]["output_bytes"] / 1e6, runs["python"][0]["output_bytes"] / 1e6,
                runs["norva"][0]["touched_bytes"] / 1e6, runs["python"][0]["touched_bytes"] / 1e6))
for side in runs:
    errors = [(r["decode_errors"], r["encode_errors"], r["first_error"]) for r in runs[side]]
    if any(e[0] or e[1] for e in errors):
        notes.append("**%s failed on messages in the timed runs** (decode, encode per run: %s; "
                     "first: %s): those messages are missing from its figures."
                     % (side, ", ".join("%d/%d" % e[:2] for e in errors),
                        next(e[2] for e in errors if e[2])))
for note in notes:
    out.append(textwrap.fill(note, 96, initial_indent="- ", subsequent_indent="  "))


def checks(name, label):
    """Rows of the checks table: messages whose field differs from the corpus, per stage."""
    r = json.load(open("%s/verify-%s.json" % (work, name)))
    rows = []
    for stage, text in (("decode", "%s"), ("roundtrip", "%s, encoded and decoded again")):
        if name == "python-reads-norva" and stage == "roundtrip":
            continue
        counts = [r["mismatches"].get("%s %s" % (stage, f), 0) for f in FIELDS]
        rows.append("| %s | %d | %d | %s |" % (text % label, r["checked"], r["errors"],
                                               " | ".join(str(c) for c in counts)))
    return rows


FIELDS = ("sender", "to", "cc", "subject", "body_sha256", "attachments")
out.append("")
out.append(textwrap.fill(
    "Checks against the corpus manifest, one untimed pass: messages whose field differs from "
    "what the generator wrote (subject and text body lines as Unicode text, attachment names, "
    "sizes and SHA-256).", 96))
out.append("")
out.append("| decoded by | messages | failed | sender | To | Cc | subject | body | attachments |")
out.append("|---|--:|--:|--:|--:|--:|--:|--:|--:|")
out += checks("norva", "Norva")
out += checks("python", "Python")
out += checks("python-reads-norva", "Python, reading what Norva encoded")
with open(work + "/speedups.json", "w") as f:
    json.dump(speedups, f)
print("\n".join(out))
PY
)

[[ $out == /dev/stdout ]] || cp "$work/speedups.json" "$out.json"
cat >"$out" <<EOF
\`mime_bench\` times Norva's message decoder and encoder, \`TmsMessage::LoadFromStream\` and
\`SaveToStream\`, against Python's \`email\` package with the \`compat32\` policy
(\`bench/mime_bench.py\`), on the same messages in the same run. The corpus comes from
\`bench/mime_corpus.py\` (seed 1, the same bytes every time):

$(cat "$work/corpus.md")

### Method

- Each side first reads every file into memory; reading files is not timed.
- **decode**: Norva copies each message into a \`TMemoryStream\`, decodes it into a
  \`TmsMessage\` and reads every byte of every attachment. Python calls
  \`email.message_from_bytes(data, policy=compat32)\` and \`get_payload(decode=True)\` on every
  leaf part. **encode**: Norva writes each decoded message with \`SaveToStream\` into a
  \`TMemoryStream\`, Python calls \`as_bytes()\`. Norva encodes afresh from the decoded bytes
  (base64 and quoted-printable included); compat32 keeps each part's text as received and
  writes it back out.
- The two groups of messages (text and small attachments, 1 MB attachment) are timed as
  separate passes; "all" adds them up per run. MB/s is the corpus size of the messages in the
  pass (MB = 10^6 bytes) over the median wall time, for decode and encode alike, so the ratio
  Norva/Python is the speed-up (above 1: Norva is faster). CPU time is user + system of the
  process over the same span (\`getrusage\`, \`time.process_time\`).
- ${runs} runs, each a new process, taking turns (Norva, Python), after one untimed warm-up run
  of each. Figures are medians. Peak RSS is the process's \`ru_maxrss\`.
- The checks run once before the timing: each side's result is compared with what the
  generator put in (sender, To and Cc addresses, subject, text body, attachment names and
  bytes), then the message is encoded, decoded again and compared again. Subject and body are
  compared as the text a reader sees, whatever the charset: Norva's decoder gives them in
  UTF-8; on Python's side each encoded word and text part is decoded in its own charset, and
  a \`format=flowed\` part (as Norva writes plain text) is unflowed first (RFC 3676: soft line
  breaks joined, stuffing removed), which compat32 does not do.

### Running

    bench/mime_bench.sh              # 5 runs; prints this section
    bench/mime_bench.sh --runs 3     # fewer runs

It builds \`mime_bench\` in Release in \`build-bench/\` and writes the corpus (about 180 MB) into
a temporary folder under \`\$TMPDIR\`, removed at the end.

### Results

Median of ${runs} runs.

${report}
EOF
