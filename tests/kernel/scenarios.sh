#!/usr/bin/env bash
# scenarios.sh APP CLIENT UHID TRAYSINK SOURCE: the program as users get it (real
# libhidapi-hidraw, no preload) on the kernel's hidraw stack, run as root inside the throwaway
# machine of vm.sh. tavrel-uhid devices play the control surface and record what the kernel
# hands them, tavrel-client plays the network on loopback, tavrel-traysink the desktop's
# notifications (on Xvfb Qt sends them over D-Bus; offscreen it would show none).
set -euo pipefail
[ $# = 5 ] || { echo "usage: $0 APP CLIENT UHID TRAYSINK SOURCE" >&2 && exit 2; }
app=$1 client=$2 uhid=$3 sink=$4 rule=$5/packaging/70-tavrel-control.rules
# The rule the README gives for machines nobody sits at, as a user would copy it.
group_rule=$(grep -o 'SUBSYSTEM=="hidraw".*GROUP="plugdev"' "$5/README.md")
run=/tmp/kernel-test t0=$(date +%s%3N) pids=()
mkdir -p "$run/bin" && chmod 755 "$run" "$run/bin"
# Copies, as an unprivileged user may not reach a build tree in a private home (/root, ...).
cp "$app" "$sink" "$run/bin/" && app=$run/bin/${app##*/} sink=$run/bin/${sink##*/}
say() { printf '%6d ms  %s\n' $(($(date +%s%3N) - t0)) "$*"; }
fail() {
    say "FAIL: $*"
    for log in "$run"/*.log; do [ ! -e "$log" ] || { echo "--- ${log##*/}:" && cat "$log"; }; done
    exit 1
}
until_ms() { # MS COMMAND...: true once COMMAND succeeds (tried every 50 ms), false after MS
    local end=$(($(date +%s%3N) + $1)) && shift
    until "$@" >/dev/null 2>&1; do [ "$(date +%s%3N)" -lt "$end" ] && sleep 0.05 || return 1; done
}
wait_for() { until_ms "$1" "${@:3}" || fail "no $2 within $1 ms"; }
cleanup() { for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done; }
trap cleanup EXIT

# Devices, by name: NAME.log holds what the kernel told the device, one event a line.
plug() { # NAME [PRODUCT]: a new device; waits for its hidraw node
    mkfifo "$run/$1.in"
    "$uhid" "$1" ${2:-} <"$run/$1.in" >"$run/$1.log" 2>&1 &
    pids+=($!) && eval "pid_$1=$!" && eval "exec {fd_$1}>$run/$1.in"
    wait_for 5000 "the hidraw node of $1" node "$1"
}
node() { # NAME: its /dev/hidrawN, found by the name the kernel shows in its uevent
    local uevent
    uevent=$(grep -lx "HID_NAME=$1" /sys/class/hidraw/hidraw*/device/uevent) || return 1
    uevent=${uevent%/device/uevent} && echo "/dev/${uevent##*/}"
}
to() { local fd="fd_$1" && echo "$2" >&"${!fd}"; } # NAME LINE: a report in hex, or destroy
unplug() { local pid="pid_$1" && to "$1" destroy && wait "${!pid}"; }
events() { grep -c "^$2\$" "$run/$1.log" || true; } # NAME EVENT: how often it happened
has() { [ "$(events "$1" "$2")" -ge "$3" ]; } # NAME EVENT COUNT: at least that often
outputs() { sed -n 's/^output //p' "$run/$1.log" | paste -sd' '; }

home() { # TAG USER: HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR in $run/TAG
    local home=$run/$1
    mkdir -p "$home/Quorvale" "$home/runtime" && chmod 700 "$home/runtime"
    printf '[General]\nauto_connect=true\nudp_default_ports=true\n' >"$home/Quorvale/Tavrel Control.conf"
    [ "$2" = root ] || chown -R "${2%%:*}:$(cut -d: -f2 <<<"$2")" "$home"
}
as_user() { # USER: uid:gid:groups, or uid:gid for none; in the array as, to prefix a command
    local uid gid groups
    IFS=: read -r uid gid groups <<<"$1"
    as=(setpriv --reuid="$uid" --regid="$gid")
    if [ -n "$groups" ]; then as+=(--groups="$groups"); else as+=(--clear-groups); fi
}
check() { # TAG USER STATUS: "tavrel-control --check" as USER, without a display, ends with STATUS
    local as=() status=0
    [ "$2" = root ] || as_user "$2"
    home "$1" "$2"
    env -u DISPLAY HOME="$run/$1" XDG_CONFIG_HOME="$run/$1" XDG_RUNTIME_DIR="$run/$1/runtime" \
        "${as[@]}" "$app" --check >"$run/$1-check.log" 2>&1 || status=$?
    sed 's/^/    /' "$run/$1-check.log"
    expect "--check as $2: status" "$status" "$3"
}
checked() { grep -q "$1" "$run/$2-check.log" || fail "--check did not say \"$1\""; }

# The program, as USER (root, or uid:gid[:groups]) on its own session bus with a traysink,
# settings with "Auto Connect" and the default ports. Its output goes to TAG.log, what it
# notified to TAG-notified.log.
launch() { # TAG USER
    local as=() home=$run/$1
    [ "$2" = root ] || as_user "$2"
    home "$1" "$2"
    : >"$run/$1-notified.log" && : >"$run/$1.pid" && chmod 666 "$run/$1-notified.log" "$run/$1.pid"
    env HOME="$home" XDG_CONFIG_HOME="$home" XDG_RUNTIME_DIR="$home/runtime" DISPLAY="$DISPLAY" \
        QT_QPA_PLATFORM=xcb "${as[@]}" dbus-run-session -- bash -c '
        "$1" >>"$2" 2>&1 &
        for _ in $(seq 200); do # the tray host must be there before the tray icon
            dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
                org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications \
                2>/dev/null | grep -q true && break
            sleep 0.05
        done
        echo $$ >"$4" && exec "$3"' bridge "$sink" "$run/$1-notified.log" "$app" "$run/$1.pid" \
        >"$run/$1.log" 2>&1 &
    pids+=($!) && eval "session_$1=$!"
    wait_for 40000 "the program's start" test -s "$run/$1.pid"
    pids+=("$(cat "$run/$1.pid")") && eval "pid_$1=$(cat "$run/$1.pid")"
}
ended() { [[ $(cat "/proc/$1/stat" 2>/dev/null || echo ') Z ') == *') Z '* ]]; } # or a zombie
quit() { # TAG: ends the program, then its session bus
    local pid="pid_$1" session="session_$1"
    kill "${!pid}" && wait_for 10000 "the end of $1" ended "${!pid}" && wait "${!session}" || true
}
lines() { grep -c "^$2\$" "$run/$1.log" || true; } # TAG LINE: how often the program wrote it

# A client that registers, then sends what follows; its output is TAG.log.
talk() { # TAG COUNT ARGS...: expects COUNT datagrams within 40 s
    "$client" --count "$2" --timeout 40000 "${@:3}" >"$run/$1.log" 2>&1 &
    pids+=($!) && eval "pid_$1=$!"
}
received() { sed -n "s/^port=$2 data=\\([0-9a-f]*\\).*/\\1/p" "$run/$1.log" | paste -sd' '; }
expect() { [ "$2" = "$3" ] || fail "$1: got \"$2\", expected \"$3\""; }
said() { [ "$(lines "$1" "$2")" -ge "$3" ]; } # TAG LINE COUNT: at least that often
keepalives() { lines "$1" 'Keep Alive message from: .*'; }
notified() { [ "$(grep -c "^$2\$" "$run/$1-notified.log")" -ge "$3" ]; } # TAG TEXT COUNT

Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset -ac 3>"$run/display" 2>"$run/xvfb.log" &
pids+=($!) # under emulation on a busy machine it took more than 10 s to start
wait_for 30000 "Xvfb" test -s "$run/display" && DISPLAY=:$(head -n1 "$run/display") && export DISPLAY
say "Xvfb on $DISPLAY"

say "Found and opened through the real enumeration; another product and a second device never"
plug other 1405 && plug first && plug second
launch root root
wait_for 30000 "open of a device" grep -qx open "$run/first.log" "$run/second.log" "$run/other.log"
used=first spare=second && [ "$(events first open)" = 1 ] || used=second spare=first
expect "opens of 0805:1405 and 0805:1404" "$(events other open) $(events first open) $(events second open)" \
    "0 $(events first open) $((1 - $(events first open)))"
say "the program opened $used ($(node $used)); a client talks while no report is waiting"
# Non-blocking: with no report waiting, the poll must return for the client to be served.
talk net 7 --interval 0 --raw a0a04b41 --send 0102030405060708090a --raw a0a0ff11
wait_for 15000 "control reports at the device" has $used 'output.*' 2
say "Client datagrams as the kernel delivers them (keep-alive first, then full, then short)"
expect "$used got" "$(outputs $used)" "000102030405060708090a 00ff110000000000000000"
expect "keep-alives logged" "$(keepalives root)" 1

say "Input reports: in order, byte exact, metering on METERING only, other lengths dropped"
for report in 0a0b0c0d0e0f10111213 01f0aabbccddeeff0011 112233445566778899 \
    112233445566778899aabb 2122232425262728292a; do to $used $report; done
pid=pid_net && wait "${!pid}" || fail "the client did not receive its 7 datagrams"
expect METERING "$(received net 18150)" \
    "a0a00a0b0c0d0e0f10111213 a0a001f0aabbccddeeff0011 a0a02122232425262728292a"
expect CONFIG "$(received net 18151)" "a0a00a0b0c0d0e0f10111213 a0a02122232425262728292a"
expect CUSTOM "$(received net 18152)" "a0a00a0b0c0d0e0f10111213 a0a02122232425262728292a"
expect "opens of the other product" "$(events other open)" 0
expect "opens of the spare 0805:1404" "$(events $spare open)" 0

say "Unplug while running: stop, \"USB Disconnected\"; replug under a new node: running again"
old_node=$(node $used)
unplug $spare && unplug $used
wait_for 10000 "two \"disconnecting... \" lines" said root 'disconnecting... ' 2
wait_for 10000 "\"USB Disconnected\"" notified root '2 Tavrel Control: USB Disconnected' 1
expect "\"disconnecting... \" lines" "$(lines root 'disconnecting... ')" 2
plug hold1 1405 && plug hold2 1405 # both freed nodes taken: the device comes back elsewhere
plug back && plugged=$(date +%s%3N) new_node=$(node back)
[ "$new_node" != "$old_node" ] || fail "the replugged device has the old node $old_node"
wait_for 6000 "open of the replugged device" grep -qx open "$run/back.log"
after=$(($(date +%s%3N) - plugged))
say "replugged as $new_node (was $old_node), opened after $after ms"
# One 2 s retry, and time for the emulated machine to enumerate, open and tell.
[ "$after" -le 3500 ] || fail "not opened within one auto-connect retry (2 s)"
wait_for 10000 "the second \"Running\"" notified root '0 Tavrel Control: Running' 2
talk again 1 --interval 0 --raw a0a04b41
wait_for 15000 "the client's keep-alive" said root 'Keep Alive message from: .*' 2
to back 3132333435363738393a
pid=pid_again && wait "${!pid}" || fail "no report after the replug"
expect "after the replug" "$(received again 18150)" "a0a03132333435363738393a"
expect "notifications" "$(paste -sd, "$run/root-notified.log")" \
    "0 Tavrel Control: Running,2 Tavrel Control: USB Disconnected,0 Tavrel Control: Running"
quit root

say "Permissions: an unprivileged user, the node root's alone: stopped, silently"
nobody=$(id -u nobody):$(id -g nobody)
launch user "$nobody"
launched=$(date +%s%3N)
say "meanwhile, the shipped rule under a real systemd-udevd"
mkdir -p /run/udev/rules.d && cp "$rule" /run/udev/rules.d/
udevd=$(command -v systemd-udevd || echo /lib/systemd/systemd-udevd)
"$udevd" 2>"$run/udevd.log" &
pids+=($!) && wait_for 10000 "systemd-udevd" udevadm control --ping
plug seat && udevadm settle --timeout=20
udevadm info --query=property --name="$(node seat)" | grep -q '^TAGS=.*:uaccess:' \
    || fail "the shipped rule did not tag $(node seat) uaccess: $(udevadm info --name="$(node seat)")"
say "$(node seat) tagged uaccess; $(stat -c '%A %U:%G' "$(node back)") $(node back)"
sleep $(((launched + 6000 - $(date +%s%3N)) / 1000)) 2>/dev/null || true # two auto-connect tries
! ended "$(cat "$run/user.pid")" || fail "the program ended"
expect "opens of the root-only nodes" "$(events back open) $(events seat open)" "1 0"
expect "notified" "$(cat "$run/user-notified.log")" ""
check user "$nobody" 1 && checked "^device: $(node back) " user && checked "^ *fix: " user
quit user

say "The group rule, for machines nobody sits at: a member of the group bridges"
rm /run/udev/rules.d/* && echo "$group_rule" >/run/udev/rules.d/70-tavrel-group.rules
udevadm control --reload && unplug back && unplug seat
plug shared && udevadm settle --timeout=20
expect "$(node shared)" "$(stat -c '%a %G' "$(node shared)")" "660 plugdev"
check member "$nobody:plugdev" 0 && checked "^device: $(node shared) " member
! grep -q "fix:" "$run/member-check.log" || fail "--check offered a fix for a usable device"
launch member "$nobody:plugdev"
wait_for 30000 "open by the group member" grep -qx open "$run/shared.log"
talk group 1 --interval 0 --raw a0a04b41
wait_for 15000 "the client's keep-alive" said member 'Keep Alive message from: .*' 1
to shared 4142434445464748494a
pid=pid_group && wait "${!pid}" || fail "no report from the group member's bridge"
expect "the member's bridge" "$(received group 18150)" "a0a04142434445464748494a"
quit member && unplug shared
check member "$nobody:plugdev" 1 && checked "^device: none with the ids 0805:1404" member
say "All passed"
