#!/usr/bin/env bash
# CTest fixture for the POP3 interop tests.
#   pop3_fixture.sh start ENVFILE [N] [--tls]
#       work dir under /tmp, Dovecot on a free loopback port, N (default 25) generated messages
#       with a manifest. --tls (or POP3_TLS=1): a test CA, STLS on POP3_PORT and implicit TLS on
#       POP3S_PORT; without it the server offers no TLS at all.
#   pop3_fixture.sh stop ENVFILE        stops Dovecot and removes the work dir
# ENVFILE gets KEY=VALUE lines for the tests: POP3_PORT, POP3_USER, POP3_PASS, POP3_MAILDIR,
# POP3_MANIFEST, POP3_COUNT, POP3_WORKDIR, with --tls also POP3S_PORT and POP3_CA (the CA
# certificate; wronghost.pem and selfsigned.pem with their keys lie next to it); or
# POP3_SKIP=reason when Dovecot cannot run here, which the tests report as skipped.
set -Eeuo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
usage() { echo "usage: $0 start|stop ENVFILE [N] [--tls]" >&2; exit 2; }
[[ $# -ge 2 ]] || usage
action=$1 envfile=$2 count=25 tls=${POP3_TLS:-0}
for arg in "${@:3}"; do
  case $arg in
    --tls) tls=1 ;;
    *[!0-9]* | '') usage ;;
    *) count=$arg ;;
  esac
done

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

free_ports() {  # two distinct free ports
  python3 -c 'import socket; s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))'
}

start() {
  stop  # a previous run may have left its server behind
  mkdir -p "$(dirname "$envfile")"
  [[ -x ${DOVECOT:-/usr/sbin/dovecot} ]] ||
    skip "Dovecot is not installed (apt-get install dovecot-pop3d)"
  command -v python3 >/dev/null || skip "python3 is not installed"

  local work port sport started=
  work=$(mktemp -d /tmp/norva-pop3.XXXXXX)
  echo "POP3_WORKDIR=$work" >"$envfile"  # lets stop find the work dir even if starting fails
  trap 'stop' ERR
  # The port may be taken between probing and binding; try a few.
  for _ in 1 2 3; do
    read -r port sport < <(free_ports)
    if POP3_TLS=$tls POP3_AUTH_FAILURE_DELAY="0 secs" "$here/start-pop3.sh" "$work" "$port" "$sport"; then
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
  if [[ $tls == 1 ]]; then
    printf 'POP3S_PORT=%s\nPOP3_CA=%s\n' "$POP3S_PORT" "$POP3_CA" >>"$envfile"
  fi
  trap - ERR
}

case $action in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
