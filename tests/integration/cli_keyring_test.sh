#!/usr/bin/env bash
# norva-cli with a real Secret Service: a gnome-keyring-daemon on a private session bus, in a
# private home, unlocked without a prompt. The passwords go to the keyring with a marker in
# Config.QDB, an older file's password moves there at the next save, a removed mailbox's item
# goes, the others stay with their accounts, and a locked keyring leaves everything as it is.
set -euo pipefail
cli=$1
server=$2
for tool in gnome-keyring-daemon dbus-daemon dbus-send secret-tool; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
dir=$(mktemp -d)
bus_pid='' keyring_pid='' server_pid=''
cleanup() {
  for pid in "$server_pid" "$keyring_pid" "$bus_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Nothing of the developer's session: home, XDG folders and bus are the test's own.
export HOME=$dir/home XDG_DATA_HOME=$dir/home/data XDG_CONFIG_HOME=$dir/home/config \
  XDG_CACHE_HOME=$dir/home/cache XDG_RUNTIME_DIR=$dir/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY GNOME_KEYRING_CONTROL SSH_AUTH_SOCK
bus=unix:path=$dir/bus
dbus-daemon --session --nofork --address="$bus" >/dev/null 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.05; done
[ -S "$dir/bus" ] || fail "the private session bus did not start"
export DBUS_SESSION_BUS_ADDRESS=$bus
# The login keyring is created with this password and unlocked by it.
printf 'keyring-login' | gnome-keyring-daemon --foreground --unlock --components=secrets \
  >"$dir/keyring.log" 2>&1 &
keyring_pid=$!
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
    grep -q true && break
  sleep 0.05
done
secret() { timeout 10 secret-tool lookup xdg:schema org.norva.Password "$@" 2>/dev/null || true; }

mkdir "$dir/mail" "$dir/one" "$dir/two"
printf 'From: a@example.org\r\nSubject: hi\r\nMessage-ID: <1@x>\r\n\r\nbody\r\n' >"$dir/mail/1.eml"
"$server" --maildir "$dir/mail" --user demo --password 'Pw-k3y!ring' \
  --ready-file "$dir/ready" >/dev/null &
server_pid=$!
for _ in $(seq 100); do [ -s "$dir/ready" ] && grep -q SMTP_PORT "$dir/ready" && break; sleep 0.1; done
pop3=127.0.0.1:$(sed -n 's/^POP3_PORT=//p' "$dir/ready")
[ "$pop3" != 127.0.0.1: ] || fail "the test server did not start"
add() {  # folder address password [more options]
  local folder=$1 address=$2 password=$3
  shift 3
  "$cli" config --folder "$folder" add-account --address "$address" --user demo \
    --password "$password" --pop3 "$pop3" --timeout 5 "$@" >>"$dir/out" 2>&1 ||
    fail "add-account $address: $(cat "$dir/out")"
}
holds() { grep -qaF -- "$2" "$1/Config.QDB"; }

# 1. A new mailbox's passwords go to the keyring; the file and the dump keep the marker only.
add "$dir/one" first@example.org 'Pw-k3y!ring' --smtp-auth --smtp-password 'Smtp-9x!'
holds "$dir/one" 'Pw-k3y!ring' && fail "the POP3 password is in Config.QDB"
holds "$dir/one" 'Smtp-9x!' && fail "the SMTP password is in Config.QDB"
"$cli" qdb dump "$dir/one/Config.QDB" >"$dir/dump"
grep -qF 'Address/Password-0  size 16  string "\x01norva-keyring\x01"' "$dir/dump" ||
  fail "no marker in the dump: $(grep Password "$dir/dump")"
[ "$(secret kind pop3 address first@example.org)" = 'Pw-k3y!ring' ] || fail "POP3 item missing"
[ "$(secret kind smtp address first@example.org)" = 'Smtp-9x!' ] || fail "SMTP item missing"
"$cli" check --folder "$dir/one" >"$dir/check" 2>&1 ||
  fail "check with the keyring's password: $(cat "$dir/check")"

# 2. A file written without a keyring keeps the password, masked in the dump; the next save
#    moves it.
DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/no-bus add "$dir/two" old@example.org 'Old-pw-55'
holds "$dir/two" 'Old-pw-55' || fail "without a keyring the password is not in the file"
"$cli" qdb dump "$dir/two/Config.QDB" >"$dir/dump"
grep -qF 'Address/Password-0  password (not shown)' "$dir/dump" || fail "password not masked"
grep -qF 'Old-pw-55' "$dir/dump" && fail "qdb dump printed the password"
"$cli" config --folder "$dir/two" set-user-name Someone >>"$dir/out" 2>&1
holds "$dir/two" 'Old-pw-55' && fail "the password stayed in the file after a save"
[ "$(secret kind pop3 address old@example.org)" = 'Old-pw-55' ] || fail "the password did not move"

# 3. Removing the first of two mailboxes removes its item; the second, renumbered, keeps its own.
add "$dir/one" second@example.org 'Pw-k3y!ring'
"$cli" config --folder "$dir/one" remove-account 0 >>"$dir/out" 2>&1 || fail "remove-account"
[ -z "$(secret kind pop3 address first@example.org)" ] || fail "the removed mailbox's item stayed"
[ -z "$(secret kind smtp address first@example.org)" ] || fail "the removed SMTP item stayed"
[ "$(secret kind pop3 address second@example.org)" = 'Pw-k3y!ring' ] || fail "the other item went"
"$cli" check --folder "$dir/one" >"$dir/check" 2>&1 ||
  fail "check of the renumbered mailbox: $(cat "$dir/check")"

# 4. A locked keyring is never prompted for: the check says why it has no password, and neither
#    the file nor the keyring changes.
dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
  org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login \
  >/dev/null || fail "the keyring could not be locked"
cp "$dir/one/Config.QDB" "$dir/before"
status=0
timeout 30 "$cli" check --folder "$dir/one" >"$dir/check" 2>&1 || status=$?
[ "$status" = 1 ] || fail "check with a locked keyring exited $status: $(cat "$dir/check")"
grep -q 'desktop keyring is locked' "$dir/check" || fail "no word of the lock: $(cat "$dir/check")"
cmp -s "$dir/before" "$dir/one/Config.QDB" || fail "the check changed Config.QDB"
status=0
timeout 30 "$cli" config --folder "$dir/one" set-user-name Other >>"$dir/out" 2>&1 || status=$?
[ "$status" = 0 ] || fail "a save with a locked keyring failed"
grep -qF 'string "\x01norva-keyring\x01"' <("$cli" qdb dump "$dir/one/Config.QDB") ||
  fail "a save with a locked keyring lost the marker"
echo "ok"
