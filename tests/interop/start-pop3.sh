#!/usr/bin/env bash
# Start a throw-away Dovecot POP3 server on 127.0.0.1:PORT (USER/PASS, no TLS).
# Usage: start-pop3.sh WORKDIR [PORT [POP3S_PORT]]   (PORT defaults to 11110, POP3S_PORT to 11995)
# Env:   POP3_USER (test)  POP3_PASS (secret)  POP3_AUTH_FAILURE_DELAY ("2 secs")
#        POP3_TLS=1: make a test CA (make-test-ca.sh WORKDIR) and serve TLS with its server
#        certificate: STLS on PORT, implicit TLS on POP3S_PORT; USER/PASS stay allowed in clear
#        on PORT. Without it there is no TLS at all: no STLS, no POP3S port.
#        POP3_OAUTH2_URL=URL: also OAuth 2.0 logins (POP3_OAUTH2_MECHS, "xoauth2 oauthbearer"),
#        each token checked by RFC 7662 introspection (POST token=...) at URL, which must answer
#        {"active": true, "username": USER} for a good one.
#        POP3_SUBMISSION_PORT=N and POP3_RELAY_PORT=M: also SMTP submission on 127.0.0.1:N (same
#        logins), relaying what it takes to an SMTP server on 127.0.0.1:M (the SMTP sink).
# Everything lives in WORKDIR: dovecot.conf, passwd, run/ (base_dir, master.pid),
# state/, dovecot.log, tls/ (with POP3_TLS=1) and mail/$POP3_USER/Maildir (fill it with
# fill-mailbox.py).
# Writes WORKDIR/pop3.env (shell-sourceable host/port/user/pass/maildir; with POP3_TLS=1 also
# POP3S_PORT and POP3_CA, the CA certificate to trust).
# Independent of any system dovecot: own config, own base_dir, own port.
set -euo pipefail

DOVECOT=${DOVECOT:-/usr/sbin/dovecot}  # another build may be named in the environment
if [[ ! -x $DOVECOT ]]; then
  echo "error: $DOVECOT missing; install it with: apt-get install -y dovecot-pop3d" >&2
  exit 1
fi
[[ $# -ge 1 ]] || { echo "usage: $0 WORKDIR [PORT [POP3S_PORT]]" >&2; exit 2; }
mkdir -p "$1"
WORK=$(cd "$1" && pwd -P)
PORT=${2:-11110}
TLS=${POP3_TLS:-0}
[[ $TLS == 1 ]] && SPORT=${3:-11995} || SPORT=0   # 0: no implicit-TLS listener
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
USER_NAME=${POP3_USER:-test}
USER_PASS=${POP3_PASS:-secret}
# unix sockets live in WORKDIR/run; their paths must stay below 108 bytes
if (( ${#WORK} > 70 )); then
  echo "error: WORKDIR path too long for dovecot's unix sockets (${#WORK} > 70 chars): $WORK" >&2
  exit 1
fi
if [[ -f $WORK/run/master.pid ]] && kill -0 "$(cat "$WORK/run/master.pid")" 2>/dev/null; then
  echo "error: dovecot already running for $WORK (pid $(cat "$WORK/run/master.pid")); run stop-pop3.sh first" >&2
  exit 1
fi
for p in "$PORT" "$SPORT"; do
  if [[ $p != 0 ]] && (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
    echo "error: 127.0.0.1:$p is already in use" >&2
    exit 1
  fi
done

# Mail processes may not run as root: as root use the system user "mail";
# otherwise run everything (login, auth, mail) as the calling user.
if [[ $EUID -eq 0 ]]; then
  MAIL_USER=mail; INTERNAL=dovecot; IGROUP=dovecot; LOGIN=dovenull; CHROOT=login; ACHROOT=empty
else
  MAIL_USER=$(id -un); INTERNAL=$MAIL_USER; IGROUP=$(id -gn); LOGIN=$MAIL_USER; CHROOT=; ACHROOT=   # chroot needs root
fi
MUID=$(id -u "$MAIL_USER"); MGID=$(id -g "$MAIL_USER")

MAILDIR=$WORK/mail/$USER_NAME/Maildir
mkdir -p "$WORK/run" "$WORK/state" "$MAILDIR"/{cur,new,tmp}
printf '%s:{PLAIN}%s::::::\n' "$USER_NAME" "$USER_PASS" > "$WORK/passwd"
chmod 0755 "$WORK"; chmod 0644 "$WORK/passwd"   # auth + mail processes are not root
if [[ $EUID -eq 0 ]]; then
  chown -R "$MUID:$MGID" "$WORK/mail"
  for u in "$MAIL_USER" "$INTERNAL"; do   # every parent dir must be traversable
    runuser -u "$u" -- test -r "$WORK/passwd" -a -x "$WORK/mail" || {
      echo "error: user $u cannot reach $WORK (a parent directory is not o+x); use e.g. mktemp -d" >&2
      exit 1; }
  done
fi

# TLS: the test CA's server certificate (localhost, 127.0.0.1). Clear-text USER/PASS stays
# allowed: Dovecot counts loopback connections as secure anyway, and the tests must be able to
# show that it is the client that keeps a password off an unencrypted connection.
if [[ $TLS == 1 ]]; then
  "$HERE/make-test-ca.sh" "$WORK" >/dev/null
  SSL_CONF="ssl = yes
ssl_cert = <$WORK/tls/server.pem
ssl_key = <$WORK/tls/server.key"
else
  SSL_CONF="ssl = no"
fi
[[ $TLS == 1 ]] && POP3S_SSL=$'\n    address = 127.0.0.1\n    ssl = yes' || POP3S_SSL=


MECHS="plain login"
OAUTH_PASSDB=
if [[ -n ${POP3_OAUTH2_URL:-} ]]; then
  OAUTH_MECHS=${POP3_OAUTH2_MECHS:-xoauth2 oauthbearer}
  MECHS="$MECHS $OAUTH_MECHS"
  cat > "$WORK/oauth2.conf.ext" <<OAUTH
introspection_mode = post
introspection_url = $POP3_OAUTH2_URL
username_attribute = username
active_attribute = active
active_value = true
OAUTH
  chmod 0644 "$WORK/oauth2.conf.ext"
  OAUTH_PASSDB="passdb {
  driver = oauth2
  mechanisms = $OAUTH_MECHS
  args = $WORK/oauth2.conf.ext
}"
fi

PROTOCOLS=pop3
SUBMISSION=
if [[ -n ${POP3_SUBMISSION_PORT:-} ]]; then
  PROTOCOLS="pop3 submission"
  SUBMISSION="hostname = localhost
submission_relay_host = 127.0.0.1
submission_relay_port = ${POP3_RELAY_PORT:?POP3_RELAY_PORT is needed with POP3_SUBMISSION_PORT}
submission_relay_trusted = yes
service submission-login {
  chroot = $CHROOT
  inet_listener submission {
    address = 127.0.0.1
    port = $POP3_SUBMISSION_PORT
  }
}"
fi

cat > "$WORK/dovecot.conf" <<CONF
# generated by start-pop3.sh -- throw-away test server, NOT for production
base_dir = $WORK/run
state_dir = $WORK/state
instance_name = pop3test-$PORT
protocols = $PROTOCOLS
listen = 127.0.0.1
$SSL_CONF
disable_plaintext_auth = no
auth_mechanisms = $MECHS
auth_verbose = yes
auth_failure_delay = ${POP3_AUTH_FAILURE_DELAY:-2 secs}
log_path = $WORK/dovecot.log
default_internal_user = $INTERNAL
default_internal_group = $IGROUP
default_login_user = $LOGIN
first_valid_uid = 1
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
protocol pop3 {
  mail_max_userip_connections = 100
}
$OAUTH_PASSDB
passdb {
  driver = passwd-file
  args = scheme=PLAIN $WORK/passwd
}
userdb {
  driver = static
  args = uid=$MUID gid=$MGID home=$WORK/mail/%u
}
$SUBMISSION
service anvil {
  chroot = $ACHROOT
}
service pop3-login {
  chroot = $CHROOT
  inet_listener pop3 {
    address = 127.0.0.1
    port = $PORT
  }
  inet_listener pop3s {
    port = $SPORT$POP3S_SSL
  }
}
CONF

cat > "$WORK/pop3.env" <<ENV
POP3_HOST=127.0.0.1
POP3_PORT=$PORT
POP3_USER=$USER_NAME
POP3_PASS=$USER_PASS
POP3_MAILDIR=$MAILDIR
ENV
if [[ $TLS == 1 ]]; then
  printf 'POP3S_PORT=%s\nPOP3_CA=%s\n' "$SPORT" "$WORK/tls/ca.pem" >> "$WORK/pop3.env"
fi

# dovecot daemonizes after binding its listeners; pid goes to run/master.pid.
# Its stdio goes to a file: the daemon would otherwise keep the caller's pipes
# open, and a caller reading our output to EOF (popen, QProcess) would hang.
if ! "$DOVECOT" -c "$WORK/dovecot.conf" </dev/null >"$WORK/dovecot.out" 2>&1; then
  echo "error: dovecot failed to start:" >&2; cat "$WORK/dovecot.out" >&2; exit 1
fi

# wait (max ~10 s) until the server greets with +OK
for _ in $(seq 1 50); do
  if { exec 3<>"/dev/tcp/127.0.0.1/$PORT"; } 2>/dev/null; then
    if read -r -t 2 greeting <&3 && [[ $greeting == +OK* ]]; then
      printf 'QUIT\r\n' >&3; exec 3>&-
      [[ $TLS == 1 ]] && tls=", STLS, POP3S on 127.0.0.1:$SPORT, CA $WORK/tls/ca.pem" || tls=
      echo "dovecot POP3 on 127.0.0.1:$PORT$tls (pid $(cat "$WORK/run/master.pid")), user $USER_NAME, maildir $MAILDIR"
      exit 0
    fi
    exec 3>&-
  fi
  sleep 0.2
done
echo "error: dovecot did not answer on 127.0.0.1:$PORT; see $WORK/dovecot.log" >&2
tail -n 20 "$WORK/dovecot.log" >&2 || true
exit 1
