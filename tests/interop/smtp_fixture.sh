#!/usr/bin/env bash
# CTest fixture for the SMTP interop tests.
#   smtp_fixture.sh start ENVFILE [--tls]
#       work dir under /tmp, the SMTP sink on a free loopback port. --tls (or SMTP_TLS=1): a test
#       CA, STARTTLS on SMTP_PORT, implicit TLS on SMTPS_PORT, and AUTH PLAIN/LOGIN for
#       SMTP_USER/SMTP_PASS over TLS only (mail without AUTH or TLS is still accepted).
#   smtp_fixture.sh stop ENVFILE    stops the sink and removes the work dir
# ENVFILE gets KEY=VALUE lines for the tests: SMTP_PORT, SMTP_DIR (where the sink stores each
# message and its envelope), SMTP_WORKDIR, with --tls also SMTPS_PORT, SMTP_CA (the CA
# certificate; wronghost.pem and selfsigned.pem with their keys lie next to it), SMTP_USER and
# SMTP_PASS; or SMTP_SKIP=reason when the sink cannot run here, which the tests report as
# skipped.
set -Eeuo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
usage() { echo "usage: $0 start|stop ENVFILE [--tls]" >&2; exit 2; }
[[ $# -eq 2 || ( $# -eq 3 && $3 == --tls ) ]] || usage
action=$1 envfile=$2 tls=${SMTP_TLS:-0}
[[ ${3:-} == --tls ]] && tls=1
user=test pass=secret   # AUTH on the TLS sink

workdir_of() { [[ -f $envfile ]] && sed -n 's/^SMTP_WORKDIR=//p' "$envfile" | head -n1 || true; }

stop() {
  local work
  work=$(workdir_of)
  if [[ -n $work && -d $work ]]; then
    "$here/stop-smtp.sh" "$work" || true
    rm -rf "$work"
  fi
  rm -f "$envfile"
}

skip() {
  echo "SMTP_SKIP=$1" >"$envfile"
  echo "smtp fixture: interop tests will be skipped: $1"
  exit 0
}

free_ports() {  # two distinct free ports
  /usr/bin/python3 -c 'import socket; s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))'
}

start() {
  stop  # a previous run may have left its sink behind
  mkdir -p "$(dirname "$envfile")"
  [[ -x /usr/bin/python3 ]] || skip "python3 is not installed"
  /usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null ||
    skip "aiosmtpd is not installed (apt-get install python3-aiosmtpd)"

  local work port sport opts started=
  work=$(mktemp -d /tmp/norva-smtp.XXXXXX)
  echo "SMTP_WORKDIR=$work" >"$envfile"  # lets stop find the work dir even if starting fails
  trap 'stop' ERR
  # The port may be taken between probing and binding; try a few.
  for _ in 1 2 3; do
    read -r port sport < <(free_ports)
    if [[ $tls == 1 ]]; then
      opts=(SMTP_TLS=1 "SMTP_AUTH=$user:$pass")
    else
      opts=(SMTP_TLS=0)
    fi
    if env "${opts[@]}" "$here/start-smtp.sh" "$work" "$port" "$sport"; then
      started=1
      break
    fi
    "$here/stop-smtp.sh" "$work" >/dev/null 2>&1 || true
  done
  if [[ -z $started ]]; then
    echo "smtp fixture: the SMTP sink did not start" >&2
    stop
    exit 1
  fi
  cat >"$envfile" <<ENV
SMTP_WORKDIR=$work
SMTP_PORT=$port
SMTP_DIR=$work/smtp
ENV
  if [[ $tls == 1 ]]; then
    printf 'SMTPS_PORT=%s\nSMTP_CA=%s\nSMTP_USER=%s\nSMTP_PASS=%s\n' \
      "$sport" "$work/tls/ca.pem" "$user" "$pass" >>"$envfile"
  fi
  trap - ERR
}

case $action in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
