#!/usr/bin/env bash
# The shipped tavrel-control on a headless desktop (Xvfb and the XEmbed tray trayer), with
# the simulated device preloaded, checked the way a person would check it: what the tray
# shows, the menu, the window, the balloons, a client on loopback, the settings file and the
# exit code. Run it under dbus-run-session: a desktop's own bus could switch Qt's tray to
# D-Bus notifications. Screenshots are kept in the artefacts folder.
#
#   dbus-run-session -- bash tray_desktop.sh --app A --preload L --devicesim D --client C \
#       --helper H --artifacts DIR
set -euo pipefail

usage() {
    echo "usage: $0 --app PATH --preload PATH --devicesim PATH --client PATH --helper PATH --artifacts DIR" >&2
    exit 2
}
app='' preload='' devicesim='' client='' helper='' artifacts=''
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --app) app=$2 ;;
    --preload) preload=$2 ;;
    --devicesim) devicesim=$2 ;;
    --client) client=$2 ;;
    --helper) helper=$2 ;;
    --artifacts) artifacts=$2 ;;
    *) usage ;;
    esac
    shift 2
done
[ -n "$app" ] && [ -n "$preload" ] && [ -n "$devicesim" ] && [ -n "$client" ] \
    && [ -n "$artifacts" ] || usage

missing=()
for tool in Xvfb:xvfb trayer:trayer xdotool:xdotool xprop:x11-utils xwininfo:x11-utils \
    import:imagemagick convert:imagemagick identify:imagemagick; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
[ -x "$helper" ] || missing+=(libx11-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "FAIL: missing Debian packages: ${missing[*]} (bash scripts/test.sh installs them)" >&2
    exit 1
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    echo "FAIL: run under dbus-run-session, so that the tray is the XEmbed one" >&2
    exit 1
fi

rm -rf "$artifacts"
mkdir -p "$artifacts"
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-desktop.XXXXXX")
started=$(date +%s%3N)

# --- processes: every one this script starts, so that exactly these are ended -------------
live=() # pids not yet waited for, oldest first

forget() {
    local kept=() pid
    for pid in "${live[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
    live=("${kept[@]}")
}

# The state letter of a process (R, S, Z...), nothing once it is gone.
proc_state() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    echo "${stat%% *}"
}

# Polls for the end of a child (a zombie counts as ended) for up to $2 ms.
ended_within() {
    local deadline=$(($(date +%s%3N) + $2))
    while :; do
        case $(proc_state "$1") in '' | Z) return 0 ;; esac
        [ "$(date +%s%3N)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# Ends one child of ours: TERM, up to 3 s, then KILL; reaps it.
stop_process() {
    kill -TERM "$1" 2>/dev/null || true
    ended_within "$1" 3000 || kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    forget "$1"
}

# Reaps a child that has ended or ends within $2 ms, leaving its exit code in reaped_code.
reap() {
    ended_within "$1" "$2" || return 1
    reaped_code=0
    wait "$1" || reaped_code=$?
    forget "$1"
}

cleanup() {
    local i
    for ((i = ${#live[@]} - 1; i >= 0; i--)); do stop_process "${live[i]}"; done
    rm -rf "$work"
}
trap cleanup EXIT

# --- reporting -------------------------------------------------------------------------------
say() {
    printf '%6d ms  %s\n' $(($(date +%s%3N) - started)) "$*" | tee -a "$artifacts/log.txt"
}

fail() {
    say "FAIL: $*"
    if [ -n "${DISPLAY:-}" ]; then import -window root "$artifacts/failure.png" 2>/dev/null || true; fi
    [ -f "$work/app.log" ] && { echo "--- program output:"; cat "$work/app.log"; } >&2
    exit 1
}

# wait_for MS WHAT COMMAND...: runs COMMAND every 50 ms until it succeeds, for at most MS.
wait_for() {
    local ms=$1 what=$2 deadline
    shift 2
    deadline=$(($(date +%s%3N) + ms))
    until "$@" >/dev/null; do
        [ "$(date +%s%3N)" -lt "$deadline" ] || fail "no $what within $ms ms"
        sleep 0.05
    done
}

# --- X: windows, colours ---------------------------------------------------------------------
# Every X window of the program, one a line: id x y width height viewable(0/1) toplevel(0/1)
app_windows() {
    local id
    local id info top
    for id in $(xdotool search --classname '^tavrel-control$' 2>/dev/null || true); do
        info=$(xwininfo -id "$id" 2>/dev/null | awk -v id="$id" '
            /Absolute upper-left X:/ { x = $NF } /Absolute upper-left Y:/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            /Map State:/ { v = ($NF == "IsViewable") }
            END { if (w) print id, x, y, w, h, v }' || true)
        [ -n "$info" ] || continue # gone meanwhile
        top=0
        xwininfo -tree -id "$id" 2>/dev/null | grep -q 'Parent window id: .*(the root window)' && top=1
        echo "$info $top"
    done
}

# Viewable top-level windows of the program whose _NET_WM_WINDOW_TYPE names $1; fails when
# there is none.
windows_of_type() {
    local id x y w h v top found=''
    while read -r id x y w h v top; do
        [ "$v" = 1 ] && [ "$top" = 1 ] || continue
        xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q "_NET_WM_WINDOW_TYPE_$1" \
            && found+="$id $x $y $w $h"$'\n'
    done < <(app_windows)
    [ -n "$found" ] && printf '%s' "$found"
}

# The docked icon: viewable, inside the tray. Prints "x y w h" once two reads 200 ms apart
# agree (the icon moves while the tray's panel grows).
docked_icon() {
    local first second
    first=$(app_windows | awk '$6 == 1 && $7 == 0 { print $2, $3, $4, $5 }')
    [ -n "$first" ] || return 1
    sleep 0.2
    second=$(app_windows | awk '$6 == 1 && $7 == 0 { print $2, $3, $4, $5 }')
    [ "$first" = "$second" ] && [ "$(echo "$first" | wc -l)" = 1 ] && echo "$first"
}

# Fails while no such window shows.
main_window() {
    xdotool search --onlyvisible --name '^Tavrel Control v1\.0\.1\.0$' 2>/dev/null
}

# gray, green or other, by the mean colour of the icon's area on screen.
icon_colour() {
    import -window root -crop "${icon_w}x${icon_h}+${icon_x}+${icon_y}" +repage png:- 2>/dev/null \
        | convert png:- -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info: \
        | awk '{ r = $1; g = $2; b = $3; hi = r; lo = r
                 if (g > hi) hi = g; if (b > hi) hi = b; if (g < lo) lo = g; if (b < lo) lo = b
                 if (g - r > 0.1 && g - b > 0.1) print "green"
                 else if (hi - lo < 0.04) print "gray"
                 else print "other" }'
}

icon_is() { [ "$(icon_colour)" = "$1" ]; }

# Pixels of the balloon image $1 in the blue of the information icon and in the red of the
# critical one.
balloon_icon_pixels() {
    local blue red
    blue=$(convert "$1" -fx '(b > r + 0.25 && b > g + 0.15) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:)
    red=$(convert "$1" -fx '(r > g + 0.3 && r > b + 0.3) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:)
    echo "$blue $red"
}

# Width in pixels of the dark text on the balloon's last line (its message).
balloon_text_width() {
    local w h
    read -r w h < <(identify -format '%w %h' "$1")
    convert "$1" -crop "$((w - 8))x20+4+$((h - 24))" +repage -colorspace gray -threshold 50% \
        -negate -trim -format '%w' info:
}

new_balloon() {
    local found
    found=$(windows_of_type TOOLTIP | awk -v old="$1" '$1 != old { print $1 }' | head -n1 || true)
    [ -n "$found" ] && echo "$found"
}

# capture_balloon NAME OLD WHEN: waits for a balloon other than window OLD, saves it and the
# screen as NAME-balloon.png and NAME.png, and measures it (balloon, balloon_blue,
# balloon_red, balloon_text).
capture_balloon() {
    wait_for 3000 "new balloon $3" new_balloon "$2"
    balloon=$(new_balloon "$2")
    screenshot "$1-balloon.png" "$balloon"
    screenshot "$1.png"
    read -r balloon_blue balloon_red < <(balloon_icon_pixels "$artifacts/$1-balloon.png")
    balloon_text=$(balloon_text_width "$artifacts/$1-balloon.png")
}

# The whole screen (or one window), and for the screen also the tray's corner enlarged.
screenshot() {
    import -window "${2:-root}" "$artifacts/$1"
    [ -n "${2:-}" ] || convert "$artifacts/$1" -gravity northeast -crop 320x110+0+0 +repage \
        -scale 300% "$artifacts/${1%.png}-corner.png"
}

settings_value() {
    awk -F= -v key="$1" '$1 == key { print $2 }' "$config/Quorvale/Tavrel Control.conf" 2>/dev/null
}

sim() { "$devicesim" --socket "$work/sim.sock" "$@"; }

# --- the desktop -----------------------------------------------------------------------------
say "Xvfb"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
live+=($!)
wait_for 10000 "display from Xvfb" test -s "$work/display"
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY
unset XAUTHORITY

say "trayer on $DISPLAY"
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --transparent false >"$work/trayer.log" 2>&1 &
live+=($!)
wait_for 10000 "owner of the tray selection" "$helper" tray-owned

# Ports nobody uses: the test may run beside others that use the default ones.
mapfile -t ports < <("$helper" free-udp-ports 5)
listen=${ports[0]} metering=${ports[1]} configport=${ports[2]} custom=${ports[3]} listen2=${ports[4]}
config=$work/config
mkdir -p "$config/Quorvale" "$work/run"
chmod 700 "$work/run"
cat >"$config/Quorvale/Tavrel Control.conf" <<EOF
[General]
auto_connect=true
udp_default_ports=false
udp_listen_port=$listen
udp_metering_port=$metering
udp_config_port=$configport
udp_custom_port=$custom
EOF

# A sanitized build: its runtime has to come first among the loaded libraries. Leak checking
# is left to the window tests: on xcb, a library that is unloaded before exit leaves a leak
# report with nothing but "<unknown module>" on its stack, which no suppression can name;
# the program's own code is never unloaded. Memory errors still end the program.
app_env=(LD_PRELOAD="$preload")
runtime=$(ldd "$preload" | awk '/lib(asan|ubsan)\.so/ { print $3; exit }')
if [ -n "$runtime" ]; then
    app_env=(LD_PRELOAD="$runtime:$preload" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0")
fi

say "tavrel-control with the simulated device; LISTEN $listen, client ports $metering $configport $custom"
env "${app_env[@]}" TAVREL_DEVICESIM_SOCKET="$work/sim.sock" QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$config" "$app" >"$work/app.log" 2>&1 &
app_pid=$!
live+=("$app_pid")

# --- at start: only the gray icon ------------------------------------------------------------
running_docked_icon() {
    case $(proc_state "$app_pid") in '' | Z) fail "the program ended at start" ;; esac
    docked_icon
}
wait_for 10000 "docked tray icon" running_docked_icon
read -r icon_x icon_y icon_w icon_h < <(docked_icon)
say "icon docked at ${icon_x},${icon_y} size ${icon_w}x${icon_h}"
sleep 0.3 # a window that was going to open would be mapped by now
screenshot 01-start.png
[ "$(icon_colour)" = gray ] || fail "icon at start is $(icon_colour), not gray"
! main_window >/dev/null || fail "a window is showing at start"
toplevel=$(app_windows | awk '$6 == 1 && $7 == 1')
[ -z "$toplevel" ] || fail "a top-level window is showing at start: $toplevel"
sim status | grep -q '^plugged=no' || fail "the simulated device is not the one in use"

# --- menu and Settings -----------------------------------------------------------------------
icon_cx=$((icon_x + icon_w / 2)) icon_cy=$((icon_y + icon_h / 2))
open_menu() {
    xdotool mousemove "$icon_cx" "$icon_cy" click 3
    wait_for 3000 "tray menu" windows_of_type POPUP_MENU
    read -r _ menu_x menu_y menu_w menu_h < <(windows_of_type POPUP_MENU)
}
open_menu
screenshot 02-menu.png
say "menu at ${menu_x},${menu_y} size ${menu_w}x${menu_h}; choosing the lower entry"
# Two entries of equal height: the upper at a quarter, the lower at three quarters.
xdotool mousemove $((menu_x + menu_w / 2)) $((menu_y + menu_h * 3 / 4)) click 1
wait_for 3000 "window titled \"Tavrel Control v1.0.1.0\" after the lower entry" main_window
window=$(main_window)
read -r win_x win_y win_w win_h < <(app_windows | awk -v id="$window" '$1 == id { print $2, $3, $4, $5 }')
[ "${win_w}x${win_h}" = 412x265 ] || fail "window is ${win_w}x${win_h}, not 412x265"
say "the lower entry showed the 412x265 window"
screenshot 03-settings.png "$window"

# --- plug: green icon, "Running" -------------------------------------------------------------
sim plug >/dev/null
say "plugged; auto-connect retries every 2000 ms"
wait_for 6000 "green icon after plugging" icon_is green
capture_balloon 04-running none "after the start"
running_balloon=$balloon running_text=$balloon_text
[ "$balloon_blue" -gt 10 ] && [ "$balloon_red" -lt 5 ] \
    || fail "the start balloon's icon is not the information one (blue $balloon_blue, red $balloon_red)"
say "green icon; balloon with the information icon, message $running_text px wide"
sim status | grep -q ' handles=1 ' || fail "the program did not open the device: $(sim status)"

# --- a client on loopback --------------------------------------------------------------------
run_client() { # count timeout-ms output [extra options]
    local count=$1 timeout=$2 out=$3
    shift 3
    "$client" --bridge 127.0.0.1 --listen-port "$listen" --bind 127.0.0.2 --metering "$metering" \
        --config "$configport" --custom "$custom" --interval 1000 --count "$count" \
        --timeout "$timeout" "$@" >"$work/$out" 2>&1 &
    client_pid=$!
    live+=("$client_pid")
}
client_done() { # output
    reap "$client_pid" 8000 || fail "the client did not end"
    cat "$work/$1" >>"$artifacts/$1"
    [ "$reaped_code" = 0 ] || fail "the client ended with $reaped_code: $(cat "$work/$1")"
}

"$devicesim" --socket "$work/sim.sock" watch >"$work/watch.out" 2>/dev/null &
watch_pid=$!
live+=("$watch_pid")
wait_for 3000 "watcher" bash -c "\"$devicesim\" --socket \"$work/sim.sock\" status | grep -q ' watchers=1'"

report=01000102030405060708
run_client 3 5000 client-reports.txt --send 0a0b0c0d0e0f10111213
sim rate 20 "$report" >/dev/null
client_done client-reports.txt
sim stop >/dev/null
expected=$(printf 'port=%s data=a0a0%s metering=no\n' "$metering" "$report" "$configport" "$report" \
    "$custom" "$report" | sort)
got=$(grep '^port=' "$work/client-reports.txt" | sort || true)
[ "$got" = "$expected" ] || fail "client got:
$got
expected:
$expected"
say "the client got the report on METERING, CONFIG and CUSTOM"
wait_for 3000 "the client's control report at the device" grep -qx 000a0b0c0d0e0f10111213 "$work/watch.out"
say "the client's datagram reached the device as 000a0b0c0d0e0f10111213"
stop_process "$watch_pid"

sleep 0.2 # what was fed before the stop has been forwarded
metering_report=00f01122334455667788
run_client 2 5000 client-metering.txt
sim rate 20 "$metering_report" >/dev/null
client_done client-metering.txt
sim stop >/dev/null
expected=$(printf 'port=%s data=a0a0%s metering=yes\n' "$metering" "$metering_report" "$metering" \
    "$metering_report")
got=$(grep '^port=' "$work/client-metering.txt" || true)
[ "$got" = "$expected" ] || fail "metering client got:
$got
expected:
$expected"
say "metering reports went to METERING only"

# --- close request: hidden, still running, settings written ----------------------------------
# A LISTEN port typed while running (the field at 155,219 in the form) applies from the next
# start, but the close request must store it.
xdotool mousemove $((win_x + 155)) $((win_y + 219)) click 1 sleep 0.1 key ctrl+a type "$listen2"
sleep 0.2
screenshot 05-listen-typed.png "$window"
"$helper" close "$window" || fail "could not send the close request"
window_hidden() { ! main_window >/dev/null; }
wait_for 3000 "window hidden after the close request" window_hidden
sleep 0.5 # time enough for a program that was going to end to do so
case $(proc_state "$app_pid") in
'' | Z) fail "the program ended on a close request" ;;
esac
[ "$(settings_value udp_listen_port)" = "$listen2" ] \
    || fail "after the close request the stored LISTEN is '$(settings_value udp_listen_port)', not the typed $listen2"
screenshot 06-closed.png
icon_is green || fail "the icon is $(icon_colour) after the close request"
sleep 0.2
run_client 3 5000 client-after-close.txt
sim rate 20 "$report" >/dev/null
client_done client-after-close.txt
sim stop >/dev/null
[ "$(grep -c "data=a0a0$report" "$work/client-after-close.txt")" = 3 ] \
    || fail "after the close request the client got: $(cat "$work/client-after-close.txt")"
say "close request: window hidden, settings written, the bridge still forwards"

# --- unplug: gray icon, "USB Disconnected" ---------------------------------------------------
sim unplug >/dev/null
wait_for 3000 "gray icon after unplugging" icon_is gray
capture_balloon 07-disconnected "$running_balloon" "after unplugging"
lost_text=$balloon_text
[ "$balloon_red" -gt 10 ] && [ "$balloon_blue" -lt 5 ] \
    || fail "the unplug balloon's icon is not the critical one (blue $balloon_blue, red $balloon_red)"
# "USB Disconnected" is more than twice as long as "Running" in any proportional font.
[ $((lost_text * 10)) -ge $((running_text * 18)) ] \
    || fail "the unplug message is $lost_text px wide, \"Running\" was $running_text px"
say "gray icon; balloon with the critical icon, message $lost_text px wide"

# --- Quit ------------------------------------------------------------------------------------
open_menu
say "choosing the upper entry"
xdotool mousemove $((menu_x + menu_w / 2)) $((menu_y + menu_h / 4)) click 1
reap "$app_pid" 5000 || fail "the program still runs after the upper entry"
[ "$reaped_code" = 0 ] || fail "the program ended with exit code $reaped_code"
screenshot 08-after-quit.png
for pair in "udp_listen_port=$listen2" "udp_metering_port=$metering" \
    "udp_config_port=$configport" "udp_custom_port=$custom" auto_connect=true \
    udp_default_ports=false; do
    [ "$(settings_value "${pair%%=*}")" = "${pair#*=}" ] \
        || fail "the settings file holds ${pair%%=*}=$(settings_value "${pair%%=*}"), not ${pair#*=}"
done
cp "$config/Quorvale/Tavrel Control.conf" "$artifacts/settings-after-quit.conf"
cp "$work/app.log" "$artifacts/program-output.txt"
say "the upper entry ended the program with exit code 0; the settings file holds the window's values"
say "PASS"
