#!/usr/bin/env bash
# The shipped tavrel-control on Xvfb with the XEmbed tray trayer and the simulated device
# preloaded, checked as a person would: the icon's colour, the balloons, the menu, the window,
# a close request, the exit status and the settings file. Run under dbus-run-session, so that
# no desktop bus turns Qt's tray into D-Bus notifications. Colours are read only as numbers
# through fx escapes, which ImageMagick 6 and 7 print alike.
set -euo pipefail

[ $# = 5 ] || { echo "usage: $0 APP PRELOAD_LIBRARY DEVICESIM HELPER ARTIFACTS_DIR" >&2 && exit 2; }
app=$1 preload=$2 devicesim=$3 helper=$4 artifacts=$5
im=(convert) grab=(import) && hash convert 2>/dev/null || im=(magick) grab=(magick import)
# fx tests: the icon's mean colour; the information and the critical balloon icon's pixels
green='mean.g - max(mean.r, mean.b) > 0.1'
gray='max(mean.r, max(mean.g, mean.b)) - min(mean.r, min(mean.g, mean.b)) < 0.04'
blue='b > r + 0.25 && b > g + 0.15' red='r > g + 0.3 && r > b + 0.3'

rm -rf "$artifacts" && mkdir -p "$artifacts" && unset DISPLAY XAUTHORITY
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-desktop.XXXXXX") png=$work/screen.png
t0=$(date +%s%3N) xvfb_pid='' tray_pid='' app_pid=''
exec 4>&2 # reports show even when they come from a check whose output is silenced
say() { printf '%6d ms  %s\n' $(($(date +%s%3N) - t0)) "$*" | tee -a "$artifacts/log.txt" >&4; }
fail() {
    say "FAIL: $*" && "${grab[@]}" -window root "$artifacts/failure.png" 2>/dev/null || true
    { echo "--- program output:" && cat "$work/app.log"; } >&4 2>/dev/null || true
    exit 1
}
until_ms() { # MS COMMAND...: true once COMMAND succeeds (tried every 50 ms), false after MS
    local end=$(($(date +%s%3N) + $1)) && shift
    until "$@" >/dev/null 2>&1; do [ "$(date +%s%3N)" -lt "$end" ] && sleep 0.05 || return 1; done
}
wait_for() { until_ms "$1" "${@:3}" || fail "no $2 within $1 ms"; }
ended() { [[ $(cat "/proc/$1/stat" 2>/dev/null || echo ') Z ') == *') Z '* ]]; } # gone or a zombie
stop() { kill "$1" && until_ms 3000 ended "$1" || kill -KILL "$1"; wait "$1"; } 2>/dev/null
cleanup() { for pid in $app_pid $tray_pid $xvfb_pid; do stop "$pid" || true; done; rm -rf "$work"; }
trap cleanup EXIT
hash Xvfb trayer xdotool xwininfo "${im[0]}" && [ -x "$helper" ] || fail "missing: scripts/deps.sh"
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "not run under dbus-run-session"

# Every visible window of the program, one a line: id WxH+X+Y kind, kind being DOCK for the
# icon inside the tray, else its window type as xwininfo names it (PopupMenu, Tooltip...).
windows() {
    local id
    for id in $(xdotool search --onlyvisible --classname '^tavrel-control$' 2>/dev/null); do
        xwininfo -id "$id" -tree -stats -wm 2>/dev/null | awk -v id="$id" '
            /Parent window id:/ { kind = /the root window/ ? "?" : "DOCK" }
            /Window type:/ { getline; gsub(/ /, ""); if (kind == "?") kind = $0 }
            /Absolute upper-left X:/ { x = $NF } /Absolute upper-left Y:/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { if (w) print id, w "x" h "+" x "+" y, kind }'
    done
}
window_of() { # KIND [NOT_ID]: true when one shows (other than NOT_ID); "id WxH+X+Y" in found
    found=$(windows | awk -v kind="$1" -v not="${2:-}" '$3 == kind && $1 != not { print $1, $2 }')
    [ -n "$found" ]
}
icon_docked() { # its place in found once two reads 200 ms apart agree: it moves as trayer grows
    ! ended "$app_pid" || fail "the program ended at start"
    window_of DOCK && local first=$found && sleep 0.2 && window_of DOCK && [ "$found" = "$first" ]
}
screen() { "${grab[@]}" -window root "$png"; }
icon_is() { screen && [ "$("${im[@]}" "$png" -crop "$icon" -format "%[fx:${!1}]" info:)" = 1 ]; }
shot() { # the tray's corner of the screen, enlarged
    screen && "${im[@]}" "$png" -gravity northeast -crop 400x150+0+0 +repage -scale 200% \
        "$artifacts/$1.png"
}
pixels() { # of the balloon, those that pass the fx test named $1
    "${im[@]}" "$work/balloon.png" -alpha off -fx "${!1}" -format '%[fx:round(mean*w*h)]' info: \
        | tail -n 1 # ImageMagick 7 prints a line of its own before the figure
}
# check_balloon NAME OLD COLOUR OTHER: a balloon other than window OLD shows, its icon with
# pixels in COLOUR and hardly any in OTHER; leaves its id and its message's width.
check_balloon() {
    wait_for 3000 "balloon for $1" window_of Tooltip "$2"
    local w h want other && IFS=' x+' read -r balloon w h _ <<<"$found"
    "${grab[@]}" -window "$balloon" "$work/balloon.png" && shot "$1"
    want=$(pixels "$3") other=$(pixels "$4")
    [ "$want" -gt 10 ] && [ "$other" -lt 5 ] || fail "$1 balloon's icon: $want $3, $other $4 pixels"
    # the message: the dark text on the last line, inside the border
    text_width=$("${im[@]}" "$work/balloon.png" -crop "$((w - 8))x20+4+$((h - 24))" +repage \
        -alpha off -fx 'r + g + b < 1.5' -trim -format '%w' info: | tail -n 1)
    say "$1 balloon: a $3 icon, a message $text_width px wide"
}
open_menu() {
    xdotool mousemove "$icon_cx" "$icon_cy" click 3
    wait_for 3000 "tray menu" window_of PopupMenu
    IFS=' x+' read -r _ menu_w menu_h menu_x menu_y <<<"$found"
}
choose() { xdotool mousemove $((menu_x + menu_w / 2)) $((menu_y + menu_h * $1 / 4)) click 1; }
settings_window() { xdotool search --onlyvisible --name '^Tavrel Control v1\.0\.1\.0$'; }

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" &>/dev/null &
xvfb_pid=$!
wait_for 10000 "display from Xvfb" test -s "$work/display"
DISPLAY=":$(head -n1 "$work/display")" && export DISPLAY
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --transparent false &>/dev/null & tray_pid=$!
wait_for 10000 "tray on $DISPLAY" "$helper" tray-owned

# Auto-connect on; LISTEN 0 lets the kernel pick a free port, so parallel tests never collide.
# The keys are in the order the program writes them: the file after Quit must equal this one.
conf="$work/config/Quorvale/Tavrel Control.conf" && mkdir -p "${conf%/*}"
mkdir -m 700 "$work/run"
printf '%s\n' '[General]' auto_connect=true udp_config_port=18151 udp_custom_port=18152 \
    udp_default_ports=false udp_listen_port=0 udp_metering_port=18150 | tee "$work/ini" >"$conf"
# A sanitized build's runtime has to load first; its leak report would name no module here.
runtime=$(ldd "$preload" | awk '/lib(asan|ubsan)\.so/ { print $3; exit }')
export TAVREL_DEVICESIM_SOCKET=$work/sim.sock # served by the preloaded library, for devicesim
env LD_PRELOAD="${runtime:+$runtime:}$preload" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" XDG_RUNTIME_DIR="$work/run" \
    QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$work/config" "$app" &>"$work/app.log" & app_pid=$!

wait_for 10000 "docked tray icon" icon_docked
read -r _ icon <<<"$found" && IFS=x+ read -r w h x y <<<"$icon"
icon_cx=$((x + w / 2)) icon_cy=$((y + h / 2))
sleep 0.3 # a window about to open would be mapped by now
icon_is gray || fail "the icon is not gray at start"
shot 1-start
[ -z "$(windows | awk '$3 != "DOCK"')" ] || fail "a window shows at start: $(windows)"
say "the gray icon docked at $icon, no window"

open_menu
shot 2-menu
choose 3 # the lower of the two entries
wait_for 3000 'window "Tavrel Control v1.0.1.0" after the lower entry' settings_window
window=$(settings_window) && size=$(windows | awk -v id="$window" '$1 == id { print $2 }')
[ "${size%%+*}" = 412x265 ] || fail "the window is ${size%%+*}, not 412x265"
"$helper" close "$window" || fail "could not send the close request"
wait_for 3000 "hidden window after the close request" eval '! settings_window'
! until_ms 500 ended "$app_pid" || fail "the program ended on a close request"
say "the lower entry showed the 412x265 window; a close request hid it, the program runs on"

"$devicesim" plug >/dev/null
wait_for 6000 "green icon after plugging (auto-connect tries every 2 s)" icon_is green
check_balloon 3-running none blue red
running=$balloon running_width=$text_width
"$devicesim" unplug >/dev/null
wait_for 3000 "gray icon after unplugging" icon_is gray
check_balloon 4-disconnected "$running" red blue
# "USB Disconnected" is over twice as wide as "Running" in any proportional font; "Stopped" not.
[ $((text_width * 10)) -ge $((running_width * 18)) ] ||
    fail "the unplug message is $text_width px wide, \"Running\" was $running_width px"

rm "$conf" # so that only a write at Quit brings it back
open_menu
choose 1 # the upper entry
until_ms 5000 ended "$app_pid" || fail "the program still runs after the upper entry"
status=0 && wait "$app_pid" || status=$?
app_pid='' && [ "$status" = 0 ] || fail "the program ended with exit status $status"
cmp "$work/ini" "$conf" || fail "no settings, or other ones, written at Quit"
say "the upper entry ended the program with status 0 and wrote the settings; PASS"
