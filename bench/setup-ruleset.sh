#!/usr/bin/env bash
# Prepares a Norva program folder with a realistic rule set for the benchmarks: two check lists
# of 5,000 lines each ("Black List": spam senders and domains; "Safe List": contacts and trusted
# domains) and 20 rules of the kinds a user sets up: sender and domain tests, subject and header
# words, check-list membership, size, spam-score steps, urgent senders and safe lists. Both lists
# hold some senders of tests/interop/fill-mailbox.py's messages, so the rules do real work on
# them. The lists are generated deterministically; the rules only mark, score and flag (nothing
# is deleted, read, archived or answered), so a mailbox can be checked again and again.
# Usage: bench/setup-ruleset.sh FOLDER   (norva-cli from $NORVA_CLI, default
#        build-bench/src/cli/norva-cli). FOLDER is created when missing; mailboxes are added after.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 FOLDER" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${NORVA_CLI:-$root/build-bench/src/cli/norva-cli}
folder=$1
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
[[ -x $cli ]] || { echo "$0: no norva-cli at $cli (set NORVA_CLI)" >&2; exit 1; }
config() { "$cli" config --folder "$folder" "$@" >/dev/null; }

# Creates the check list and prints the file that holds its lines.
checklist() {
  local said
  said=$("$cli" config --folder "$folder" add-checklist "$1")
  [[ $said =~ (CL[0-9]+\.txt) ]] || { echo "$0: unexpected answer: $said" >&2; exit 1; }
  echo "$folder/${BASH_REMATCH[1]}"
}
black=$(checklist "Black List")
safe=$(checklist "Safe List")

# The lines, written as the preferences window writes them (CR LF). Comment and empty lines
# count among the 5,000, as they do in a list a user keeps.
python3 - "$black" "$safe" <<'PY'
import random, sys

def syllables(rng, n):
    parts = "ka lo mi ne ro sa ti vu be da fe gi ho ju ly pe qu ra si to".split()
    return "".join(rng.choice(parts) for _ in range(n))

def write(path, lines):
    assert len(lines) == 5000, len(lines)
    with open(path, "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))

# Black list: domains (two thirds) and addresses of bulk senders. The spam senders of the
# generated mail stand among them, spread over the list.
rng = random.Random("black")
tlds = ["com", "net", "biz", "info", "ru", "cn", "top", "xyz", "click", "online"]
words = "cheap deal prize win bonus pharma loan casino promo offer lucky gift crypto".split()
lines, used = ["; spam senders and domains, one a line (a bare domain blocks all of it)", ""], set()
while len(lines) < 5000 - 4:
    domain = "%s-%s%d.%s" % (rng.choice(words), syllables(rng, 2), rng.randrange(100),
                             rng.choice(tlds))
    line = domain if rng.random() < 0.66 else "%s@%s" % (rng.choice(
        ["sales", "info", "news", "promo", "noreply", "offers", syllables(rng, 2)]), domain)
    if line.lower() in used:
        continue
    used.add(line.lower())
    lines.append(line if rng.random() < 0.9 else line.upper())
for at, line in ((1234, "lucky-prize.example"), (2500, "CHEAP-MEDS.example"),
                 (4000, "bank-verify.example"), (4990, "noreply@bulk-mailer.example")):
    lines.insert(at, line)
write(sys.argv[1], lines)

# Safe list: the user's contacts by address, and a few trusted domains. Some senders of the
# generated mail are among them.
rng = random.Random("safe")
first = ("anna ben chris dora emil frank greta hans ida jan karl lena max nora otto paul rita "
         "sven tina uwe vera walt xenia yves zoe").split()
last = ("meyer schmidt fischer weber wagner becker schulz hoffmann koch richter klein wolf "
        "neumann schwarz braun zimmer krueger hartmann lange werner").split()
hosts = ["gmail.example", "web.example", "posteo.example", "uni-%s.example", "%s-gmbh.example",
         "mail.%s.example"]
lines, used = ["; contacts and trusted domains", ""], set()
while len(lines) < 5000 - 4:
    host = rng.choice(hosts)
    if "%s" in host:
        host = host % syllables(rng, 2)
    if rng.random() < 0.1:
        line = host
    else:
        line = "%s.%s%s@%s" % (rng.choice(first), rng.choice(last),
                               rng.choice(["", str(rng.randrange(100))]), host)
    if line.lower() in used:
        continue
    used.add(line.lower())
    lines.append(line)
for at, line in ((700, "carol@example.net"), (2100, "corp.example"),
                 (3300, "Dev-Team@lists.example.com"), (4800, "friends.example")):
    lines.insert(at, line)
write(sys.argv[2], lines)
PY

# FILTER PARAM ACTION PARAM, in evaluation order (codes as `norva-cli config` lists them).
rules=(
  14 "Safe List" 2 ""                     # sender in the safe list: safe
  1 "example.org" 2 ""                    # a trusted domain: safe
  14 "Black List" 1 ""                    # sender in the black list: spam
  21 "Black List" 4 "40"                  # a black-listed name anywhere in the header: +40
  15 "Black List" 4 "30"                  # addressed to a black-listed address: +30
  2 "winner" 4 "40"                       # subject words
  2 "free money" 4 "50"
  2 "prescription" 4 "40"
  2 "verify your account" 4 "30"
  9 "X-Priority: 1" 4 "10"                # header text
  10 "BulkSender" 4 "30"                  # the mailer
  11 "bulk" 4 "20"
  8 "X-Spam-Flag" 1 ""                    # flagged by the provider's filter
  6 "" 4 "10"                             # replies go elsewhere
  17 "" 4 "20"                            # no To
  12 "1048576" 4 "10"                     # size over 1 MB
  0 "bob@corp.example" 3 ""               # the boss writes: urgent
  2 "deadline" 3 ""                       # urgent subject
  13 "50" 1 ""                            # score over 50: spam
  3 "undisclosed" 4 "20"                  # sent to nobody in particular
)
for ((i = 0; i < ${#rules[@]}; i += 4)); do
  config add-rule "${rules[i]}" "${rules[i + 1]}" "${rules[i + 2]}" "${rules[i + 3]}"
done
echo "$folder: 20 rules, check lists \"Black List\" ($(basename "$black")) and \"Safe List\"" \
  "($(basename "$safe")), 5,000 lines each"
