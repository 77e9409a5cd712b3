#!/usr/bin/env bash
# Pictures of Norva on a desktop: the new-mail notification, the tray's menu and its tooltip.
# Run inside a virtual display and a D-Bus session (tools/screenshots.sh does that):
#   tools/desktop-shots.sh BUILD_DIR OUTDIR
# Needs trayer (the tray), dunst (the notifications), xdotool and ImageMagick's import. Starts
# its own demo mail server, so that the start-up check finds new mail.
set -euo pipefail
build=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=demo/demo-server.sh
. "$here/demo/demo-server.sh"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  demo_stop
}
trap cleanup EXIT
demo_start "$build"
# A second mailbox that cannot be reached, for the failure notice and the tooltip.
"$build/src/cli/norva-cli" config --folder "$demo/norva" add-account --address work@example.org \
  --user work --password hunter22 --pop3 127.0.0.1:1 >/dev/null
cat > "$demo/dunstrc" <<'R'
[global]
    geometry = "420x8-20+20"
    font = DejaVu Sans 10
    frame_width = 2
    frame_color = "#5577aa"
[urgency_normal]
    background = "#ffffff"
    foreground = "#202020"
    timeout = 60
R
dunst -config "$demo/dunstrc" >/dev/null 2>&1 & pids+=($!)
trayer --edge bottom --align right --widthtype pixel --width 120 --height 28 \
  --transparent false --tint 0x404040 >/dev/null 2>&1 & pids+=($!)
sleep 1
NORVA_FOLDER="$demo/norva" "$build/src/ui/norva" >/dev/null 2>&1 & pids+=($!)
sleep 12  # the start-up check is due 5 s after start
mkdir -p "$out"
import -window root "$out/notification.png"
# The tray icon sits at the bottom right of the screen.
geometry=$(xdotool getdisplaygeometry)
x=$((${geometry% *} - 14)) y=$((${geometry#* } - 14))
xdotool mousemove "$x" "$y" click 3
sleep 1.5
import -window root "$out/tray-menu.png"
xdotool key Escape
xdotool mousemove 100 100
sleep 0.5
xdotool mousemove "$x" "$y"
sleep 0.3
xdotool mousemove $((x + 1)) $((y + 1))
sleep 3
import -window root "$out/tray-tooltip.png"
printf '%s\n' "$out/notification.png" "$out/tray-menu.png" "$out/tray-tooltip.png"
