#!/usr/bin/env bash
# Builds the .deb in an existing build folder and checks it as an installer would meet it:
# lintian finds no errors, the desktop entry and AppStream data validate, and the unpacked
# programs run (norva-cli help; the desktop program offscreen for a few seconds).
# Usage: scripts/check-deb.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake --build "$build" --target norva norva-cli norva_package_files
rm -f "$build"/norva_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/norva_*.deb)
echo "package: $deb"

# lintian warns about running as root; errors (E:) fail the check, warnings are listed.
report=$(lintian --allow-root "$deb" 2>&1 || true)
[ -n "$report" ] && echo "$report"
if grep -q '^E:' <<<"$report"; then echo "lintian reports errors" >&2; exit 1; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/norva usr/bin/norva-cli usr/share/applications/norva.desktop \
         usr/share/icons/hicolor/scalable/apps/norva.svg \
         usr/share/icons/hicolor/16x16/apps/norva.png usr/share/icons/hicolor/256x256/apps/norva.png \
         usr/share/metainfo/org.norva.Norva.metainfo.xml usr/share/man/man1/norva-cli.1.gz \
         usr/share/doc/norva/help.html usr/share/doc/norva/copyright usr/share/doc/norva/changelog.gz; do
  [ -e "$work/root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
if dpkg-deb -c "$deb" | grep -q testserver; then echo "the test server is packaged" >&2; exit 1; fi

desktop-file-validate "$work/root/usr/share/applications/norva.desktop"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.norva.Norva.metainfo.xml"

"$work/root/usr/bin/norva-cli" help >/dev/null
echo "norva-cli help: ok"

# The desktop program on a fresh folder must still be running when timeout stops it (124).
mkdir "$work/folder"
set +e
NORVA_FOLDER="$work/folder" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" \
  timeout 5 "$work/root/usr/bin/norva" >"$work/gui.log" 2>&1
rc=$?
set -e
if [ "$rc" -ne 124 ]; then
  cat "$work/gui.log" >&2
  echo "the desktop program ended with $rc within 5 seconds" >&2
  exit 1
fi
echo "norva offscreen for 5 s: ok"
echo "deb check: ok"
