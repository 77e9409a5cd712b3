#!/usr/bin/env bash
# CTest fixture for the SMTP interop tests.
#   smtp_fixture.sh start ENVFILE   work dir under /tmp, the SMTP sink on a free loopback port
#   smtp_fixture.sh stop ENVFILE    stops the sink and removes the work dir
# ENVFILE gets KEY=VALUE lines for the tests: SMTP_PORT, SMTP_DIR (where the sink stores each
# message and its envelope), SMTP_WORKDIR; or SMTP_SKIP=reason when the sink cannot run here,
# which the tests report as skipped.
set -Eeuo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
[[ $# -eq 2 ]] || { echo "usage: $0 start|stop ENVFILE" >&2; exit 2; }
action=$1 envfile=$2

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

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  stop  # a previous run may have left its sink behind
  mkdir -p "$(dirname "$envfile")"
  [[ -x /usr/bin/python3 ]] || skip "python3 is not installed"
  /usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null ||
    skip "aiosmtpd is not installed (apt-get install python3-aiosmtpd)"

  local work port started=
  work=$(mktemp -d /tmp/norva-smtp.XXXXXX)
  echo "SMTP_WORKDIR=$work" >"$envfile"  # lets stop find the work dir even if starting fails
  trap 'stop' ERR
  # The port may be taken between probing and binding; try a few.
  for _ in 1 2 3; do
    port=$(free_port)
    if "$here/start-smtp.sh" "$work" "$port"; then
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
  trap - ERR
}

case $action in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop ENVFILE" >&2; exit 2 ;;
esac
