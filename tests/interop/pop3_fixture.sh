#!/usr/bin/env bash
# CTest fixture for the POP3 interop tests.
#   pop3_fixture.sh start ENVFILE [N]   work dir under /tmp, Dovecot on a free loopback port,
#                                        N (default 25) generated messages with a manifest
#   pop3_fixture.sh stop ENVFILE        stops Dovecot and removes the work dir
# ENVFILE gets KEY=VALUE lines for the tests: POP3_PORT, POP3_USER, POP3_PASS, POP3_MAILDIR,
# POP3_MANIFEST, POP3_COUNT, POP3_WORKDIR; or POP3_SKIP=reason when Dovecot cannot run here,
# which the tests report as skipped.
set -Eeuo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
[[ $# -ge 2 ]] || { echo "usage: $0 start|stop ENVFILE [N]" >&2; exit 2; }
action=$1 envfile=$2 count=${3:-25}

workdir_of() { [[ -f $envfile ]] && sed -n 's/^POP3_WORKDIR=//p' "$envfile" | head -n1 || true; }

stop() {
  local work
  work=$(workdir_of)
  if [[ -n $work && -d $work ]]; then
    "$here/stop-pop3.sh" "$work" || true
    rm -rf "$work"
  fi
  rm -f "$envfile"
}

skip() {
  echo "POP3_SKIP=$1" >"$envfile"
  echo "pop3 fixture: interop tests will be skipped: $1"
  exit 0
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  stop  # a previous run may have left its server behind
  mkdir -p "$(dirname "$envfile")"
  [[ -x ${DOVECOT:-/usr/sbin/dovecot} ]] ||
    skip "Dovecot is not installed (apt-get install dovecot-pop3d)"
  command -v python3 >/dev/null || skip "python3 is not installed"

  local work port started=
  work=$(mktemp -d /tmp/norva-pop3.XXXXXX)
  echo "POP3_WORKDIR=$work" >"$envfile"  # lets stop find the work dir even if starting fails
  trap 'stop' ERR
  # The port may be taken between probing and binding; try a few.
  for _ in 1 2 3; do
    port=$(free_port)
    if POP3_AUTH_FAILURE_DELAY="0 secs" "$here/start-pop3.sh" "$work" "$port"; then
      started=1
      break
    fi
    "$here/stop-pop3.sh" "$work" >/dev/null 2>&1 || true
  done
  if [[ -z $started ]]; then
    if [[ $EUID -ne 0 ]]; then
      trap - ERR
      stop
      skip "Dovecot did not start without root"
    fi
    echo "pop3 fixture: Dovecot did not start" >&2
    stop
    exit 1
  fi
  # shellcheck disable=SC1091
  source "$work/pop3.env"
  python3 "$here/fill-mailbox.py" "$POP3_MAILDIR" -n "$count" --seed 1 \
    --manifest "$work/manifest.jsonl"
  cat >"$envfile" <<EOF
POP3_WORKDIR=$work
POP3_PORT=$POP3_PORT
POP3_USER=$POP3_USER
POP3_PASS=$POP3_PASS
POP3_MAILDIR=$POP3_MAILDIR
POP3_MANIFEST=$work/manifest.jsonl
POP3_COUNT=$count
EOF
  trap - ERR
}

case $action in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop ENVFILE [N]" >&2; exit 2 ;;
esac
