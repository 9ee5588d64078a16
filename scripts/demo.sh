#!/usr/bin/env bash
# The bridge at work without the hardware: builds what is needed, starts tavrel-control on
# your display with a simulated device that sends a slowly changing pattern of reports, and a
# client that prints every datagram the bridge sends it. Auto-connect and the default ports
# are stored in a temporary settings folder: your own settings are neither read nor changed.
# Ctrl-C ends everything and removes the temporary folder. Without a display the program runs
# headless, as its user unit does; then, when standard input is not a terminal, the demo also
# ends by itself after ten seconds (scripts/run.sh comes here on a machine without a display).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/deps.sh"

headless=
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    headless=yes
    export QT_QPA_PLATFORM=offscreen
fi
rate=${DEMO_RATE:-2} # reports a second

install_packages "${BUILD_PACKAGES[@]}"
build="$root/build/demo"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVREL_BUILD_TESTS=OFF \
    -DTAVREL_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" \
    --target tavrel-control tavrel_devicesim_preload tavrel-devicesim tavrel-client
app="$build/src/tavrel-control"
preload="$build/tools/devicesim/libtavrel-devicesim.so"
devicesim="$build/tools/devicesim/tavrel-devicesim"
client="$build/tools/client/tavrel-client"

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-demo.XXXXXX")
pids=()
cleanup() {
    trap - INT TERM EXIT
    local i
    # Newest first: client and watcher, then the program.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null || true; done
    rm -rf "$work"
    echo
    echo "Demo ended; the temporary settings in $work are removed."
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/config/Quorvale"
cat >"$work/config/Quorvale/Tavrel Control.conf" <<'EOF'
[General]
auto_connect=true
udp_default_ports=true
EOF
export TAVREL_DEVICESIM_SOCKET="$work/devicesim.sock"

echo "Starting tavrel-control with the simulated device (program output: $work/program.log)."
LD_PRELOAD="$preload" XDG_CONFIG_HOME="$work/config" "$app" >"$work/program.log" 2>&1 &
pids+=($!)
"$devicesim" --wait 10000 status >/dev/null || {
    cat "$work/program.log" >&2
    die "tavrel-control did not come up with the simulated device"
}
"$devicesim" plug >/dev/null
"$devicesim" pattern "$rate" >/dev/null
echo "Waiting for auto-connect (it tries every 2 seconds)..."
for _ in $(seq 100); do # 10 s
    "$devicesim" status | grep -q ' handles=1 ' && break
    sleep 0.1
done
sleep 0.2 # the start binds the LISTEN port right after opening the device

if [ -n "$headless" ]; then
    cat <<EOF

No display here (DISPLAY and WAYLAND_DISPLAY are unset), so tavrel-control runs headless, on
Qt's offscreen platform as its systemd user unit runs it. The simulated device is plugged in
and sends $rate reports a second; auto-connect has started the bridge.

To run it for real, with the device plugged in:
  - in a desktop session, bash scripts/run.sh starts it in the tray;
  - on a machine without one, install it and enable its systemd user unit (README, "Without
    a desktop"): systemctl --user enable --now tavrel-control
  - tavrel-control --check says whether the device can be opened, and what to fix if not.
EOF
else
    cat <<EOF

The simulated device is plugged in and sends $rate reports a second; auto-connect has started
the bridge: the tray icon is green and "Running" pops up. Right-click the icon and choose
Settings to watch the counters; Quit ends the program.
EOF
fi
# Without a terminal nobody can press Ctrl-C: a headless run then shows ten seconds' worth.
timed=
if [ -n "$headless" ] && ! [ -t 0 ]; then timed=yes; fi
cat <<EOF

A client registered over loopback prints what the bridge sends it (every fourth report is a
metering report, sent on the METERING port only). The client also sends one datagram, which
reaches the device as the control report shown as "device got". ${timed:+It ends by itself in
ten seconds; }Ctrl-C ends the demo.

EOF

# The watcher's own pid, so that it is ended by pid; sed ends with its input.
"$devicesim" watch 2>/dev/null > >(sed -u 's/^/device got: /') &
pids+=($!)
"$client" --bridge 127.0.0.1 --interval 1000 --send 0102030405060708090a &
pids+=($!)

# Until Ctrl-C, or until the program or the client ends by itself (Quit from the tray).
end=$((SECONDS + 10))
while kill -0 "${pids[0]}" 2>/dev/null && kill -0 "${pids[2]}" 2>/dev/null; do
    if [ -n "$timed" ] && ((SECONDS >= end)); then exit 0; fi
    sleep 0.5
done
if ! kill -0 "${pids[0]}" 2>/dev/null; then
    echo "tavrel-control has ended."
else
    code=0
    wait "${pids[2]}" || code=$?
    # The client also takes Ctrl-C, and then ends with 0.
    [ "$code" = 0 ] || echo "The client stopped with code $code: are ports 18150 to 18153 taken?"
fi
