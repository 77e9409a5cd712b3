#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing and running Norva needs.
# Idempotent: installs only what is missing and touches apt's lists only when it must.
# --screenshots adds what tools/screenshots.sh needs for the tray and notification pictures.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config git
  # core libraries; JSON for norva-cli's message formats
  libssl-dev nlohmann-json3-dev
  # tests and benchmarks; clang and its sanitizer and libFuzzer runtimes for fuzz/
  googletest libgtest-dev libgmock-dev libsqlite3-dev clang-14 libclang-rt-14-dev
  # content types of attachment extensions (/etc/mime.types)
  media-types
  # POP3 interop tests and benchmark: a loopback Dovecot server (with SMTP submission for the
  # OAuth test), the mailbox generator and the
  # poplib baseline (python3), service names (/etc/services), receive-call counts (strace)
  dovecot-pop3d dovecot-submissiond python3 netbase strace
  # benchmarks: mpop, the POP3 peer in the header scan; GNU time for peak memory
  mpop time
  # SMTP interop tests: the loopback SMTP sink
  python3-aiosmtpd
  # TLS interop tests: the command line tool that makes their test CA and server certificates
  openssl
  # the desktop application (Qt 6 Widgets, printing, WAV alarms) and its platform plugins; a
  # virtual display for screenshots and for running it where there is no display; fonts
  # (Liberation Mono stands in for Courier New when printing)
  qt6-base-dev qt6-multimedia-dev qt6-qpa-plugins xvfb xauth fonts-dejavu-core fonts-liberation
  # passwords in the desktop's keyring (libsecret); its test runs a gnome-keyring-daemon on a
  # private session bus and reads the items back with secret-tool
  libsecret-1-dev gnome-keyring libsecret-tools dbus-daemon dbus-bin
  # the .deb and its check: dependencies from the shared libraries (dpkg-shlibdeps, file),
  # lintian, the desktop entry's and AppStream data's validators
  dpkg-dev file lintian desktop-file-utils appstream
)
if [ "${1:-}" = --screenshots ]; then
  # a tray host, a notification daemon and a D-Bus session for them, a mouse, a camera
  packages+=(trayer dunst dbus xdotool imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "install-deps: missing packages (${missing[*]}) and not root; install them as root." >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists at all; a failed install retries once after an update.
if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e '^lock$' -e '^partial$' -e '^auxfiles$')" ]; then
  $SUDO apt-get update
fi
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
