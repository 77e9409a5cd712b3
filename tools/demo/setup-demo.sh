#!/usr/bin/env bash
# Prepares a Norva program folder for the demo mailbox served by norva-testserver: the account
# demo@norva.test, a Safe List and a Black List, rules that sort the demo mail, a reply template.
# Usage: setup-demo.sh OUTDIR POP3_PORT SMTP_PORT NORVA_CLI
# The server's user and password are DEMO_USER and DEMO_PASSWORD (default demo and demo).
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: setup-demo.sh OUTDIR POP3_PORT SMTP_PORT NORVA_CLI" >&2
  exit 2
fi
out=$1 pop3_port=$2 smtp_port=$3 cli=$4
mkdir -p "$out"
if [ -e "$out/Config.QDB" ]; then
  echo "setup-demo: $out already holds a configuration" >&2
  exit 1
fi
cfg() { "$cli" config --folder "$out" "$@" >/dev/null; }

printf '%s\n' "${DEMO_PASSWORD:-demo}" |
  cfg add-account --address demo@norva.test --user "${DEMO_USER:-demo}" --password-stdin \
    --pop3 "127.0.0.1:$pop3_port" --smtp "127.0.0.1:$smtp_port" --timeout 20 --default
cfg set-user-name "Demo User"

cfg add-checklist "Safe List"
cfg add-checklist-line "Safe List" anna.berg@example.org  # a friend
cfg add-checklist-line "Safe List" brightworks.example    # the colleagues' domain
cfg add-checklist "Black List"
for domain in cheap-deals.example prize-center.example pharma-outlet.example; do
  cfg add-checklist-line "Black List" "$domain"
done

cfg add-rule 14 "Black List" 1 ""        # From in the Black List: spam
cfg add-rule 14 "Black List" 4 50        # ... and 50 on the spam pound
cfg add-rule 8 X-Advertisement 1 ""      # an advertisement header: spam (kept, to show it)
cfg add-rule 8 X-Advertisement 4 30
cfg add-rule 8 List-Id 4 10              # newsletters: a little on the spam pound
cfg add-rule 14 "Safe List" 2 ""         # From in the Safe List: safe
cfg add-rule 2 URGENT 3 ""               # "URGENT" in the subject: urgent

template=$(mktemp)
trap 'rm -f "$template"' EXIT
cat >"$template" <<'TEXT'
Hello,

thank you for your message. I am reading mail only now and then this week
and will answer as soon as I can.

Best regards,
Demo User
TEXT
cfg add-template "Thank you" "$template"
echo "setup-demo: program folder ready in $out"
