#!/usr/bin/env bash
# Installs the project the way a user gets it and checks every file and path:
#   check-install.sh staged BUILD_DIR SOURCE_DIR   cmake --install into a staging folder
#   check-install.sh deb    BUILD_DIR SOURCE_DIR   cpack's .deb, unpacked with dpkg -x
set -euo pipefail
mode=$1
build=$2
source_dir=$3
app_id=com.quorvale.TavrelControl

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
need() {
    command -v "$1" >/dev/null 2>&1 || {
        echo "FAIL: $1 is missing; install the Debian package $2 (scripts/test.sh does)" >&2
        exit 1
    }
}
need desktop-file-validate desktop-file-utils
need appstreamcli appstream
need file file
need dpkg-deb dpkg

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The one line of a key in the desktop entry, or nothing.
desktop_value() {
    sed -n "s/^$2=//p" "$1" | head -n 1
}

# check_tree ROOT PREFIX: everything installed under ROOT/PREFIX, nothing else under ROOT.
check_tree() {
    local root=$1 prefix=$2
    local p=${prefix#/}
    local bin="$p/bin" share="$p/share"
    local rules="$p/lib/udev/rules.d/70-tavrel-control.rules"
    local unit="$p/lib/systemd/user/tavrel-control.service"
    local desktop="$share/applications/$app_id.desktop"
    local metainfo="$share/metainfo/$app_id.metainfo.xml"
    local icon48="$share/icons/hicolor/48x48/apps/$app_id.png"
    local icon256="$share/icons/hicolor/256x256/apps/$app_id.png"
    echo "checking $root ($prefix)"

    local expected actual
    expected=$(printf '%s\n' "$bin/tavrel-control" "$bin/tavrel-client" "$desktop" "$metainfo" \
        "$icon48" "$icon256" "$rules" "$unit" | LC_ALL=C sort)
    actual=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
    [ "$actual" = "$expected" ] || fail "installed files differ from the expected set:
$(diff <(echo "$expected") <(echo "$actual") || true)"

    local f mode
    for f in "$bin/tavrel-control" "$bin/tavrel-client"; do
        [ -f "$root/$f" ] || continue
        mode=$(stat -c %a "$root/$f")
        [ "$mode" = 755 ] || fail "$f has mode $mode, not 755"
        file -b "$root/$f" | grep -q '^ELF .*executable' || fail "$f is not an ELF executable: $(file -b "$root/$f")"
        if ldd "$root/$f" | grep -q 'not found'; then
            fail "$f needs libraries that are missing: $(ldd "$root/$f" | grep 'not found')"
        fi
    done
    for f in "$desktop" "$metainfo" "$icon48" "$icon256" "$rules" "$unit"; do
        [ -f "$root/$f" ] || continue
        mode=$(stat -c %a "$root/$f")
        [ "$mode" = 644 ] || fail "$f has mode $mode, not 644"
    done
    if [ -x "$root/$bin/tavrel-client" ]; then
        local version
        version=$("$root/$bin/tavrel-client" --version) || fail "the installed tavrel-client does not run"
        [ "$version" = "tavrel-client 1.0.1.0" ] || fail "tavrel-client --version says '$version'"
    fi

    # Desktop entry: valid, launches the installed binary with the installed icon.
    if [ -f "$root/$desktop" ]; then
        desktop-file-validate "$root/$desktop" || fail "desktop-file-validate rejects $desktop"
        local key want
        while IFS='|' read -r key want; do
            [ "$(desktop_value "$root/$desktop" "$key")" = "$want" ] \
                || fail "$desktop: $key is '$(desktop_value "$root/$desktop" "$key")', not '$want'"
        done <<'TABLE'
Type|Application
Exec|tavrel-control
Icon|com.quorvale.TavrelControl
Categories|Utility;
StartupNotify|false
Terminal|false
TABLE
        [ -n "$(desktop_value "$root/$desktop" Keywords)" ] || fail "$desktop has no Keywords"
        grep -Eq '^X-GNOME-Autostart-Delay=[1-9][0-9]*$' "$root/$desktop" \
            || fail "$desktop has no autostart delay hint"
    fi

    # Metainfo: valid, names the desktop entry, offers itself for the device.
    if [ -f "$root/$metainfo" ]; then
        appstreamcli validate --no-net "$root/$metainfo" || fail "appstreamcli rejects $metainfo"
        grep -q "<id>$app_id</id>" "$root/$metainfo" || fail "$metainfo: wrong or missing id"
        grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$root/$metainfo" \
            || fail "$metainfo: launchable is not $app_id.desktop"
        grep -q '<modalias>usb:v0805p1404d\*</modalias>' "$root/$metainfo" \
            || fail "$metainfo: no modalias for the device"
    fi

    # Icons: the green tray icon as drawn, and a 48 px copy.
    if [ -f "$root/$icon256" ]; then
        file -b "$root/$icon256" | grep -q '^PNG image data, 256 x 256' || fail "$icon256: $(file -b "$root/$icon256")"
        cmp -s "$root/$icon256" "$source_dir/src/resources/png/icon_green.png" \
            || fail "$icon256 is not the green icon"
    fi
    if [ -f "$root/$icon48" ]; then
        file -b "$root/$icon48" | grep -q '^PNG image data, 48 x 48' || fail "$icon48: $(file -b "$root/$icon48")"
    fi

    # udev rule: one rule, for the device's hidraw node, tagging it for the seat's user, and
    # sorting before 73-seat-late.rules, which turns the tag into access.
    if [ -f "$root/$rules" ]; then
        local rule
        rule=$(grep -v -e '^#' -e '^[[:space:]]*$' "$root/$rules")
        [ "$(echo "$rule" | wc -l)" = 1 ] || fail "$rules should hold exactly one rule"
        for want in 'SUBSYSTEM=="hidraw"' 'KERNELS=="0003:0805:1404.*"' 'TAG+="uaccess"'; do
            [[ "$rule" == *"$want"* ]] || fail "$rules: the rule lacks $want"
        done
        [[ "70-tavrel-control.rules" < "73-seat-late.rules" ]] || fail "the rule sorts after 73-seat-late.rules"
    fi

    # The user unit: as shipped, and clean for systemd-analyze with the command resolved to
    # the installed program (systemd looks a bare name up in /usr/local/bin and /usr/bin).
    if [ -f "$root/$unit" ]; then
        cmp -s "$root/$unit" "$source_dir/packaging/tavrel-control.service" || fail "$unit differs from the source"
        if command -v systemd-analyze >/dev/null 2>&1; then
            mkdir -p "$work/unit" "$work/runtime" && chmod 700 "$work/runtime"
            sed "s|^ExecStart=tavrel-control|ExecStart=$root/$bin/tavrel-control|" "$root/$unit" >"$work/unit/tavrel-control.service"
            local verdict
            verdict=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze verify --user "$work/unit/tavrel-control.service" 2>&1) \
                && [ -z "$verdict" ] || fail "systemd-analyze verify: $verdict"
        else
            echo "systemd-analyze missing (Debian package systemd): the user unit is not verified"
        fi
    fi
}

case "$mode" in
staged)
    # The package's prefix, and the default one of a source install.
    for prefix in /usr /usr/local; do
        root="$work/stage${prefix//\//-}"
        DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >/dev/null
        check_tree "$root" "$prefix"
    done
    ;;
deb)
    need dpkg-shlibdeps dpkg-dev
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 \
        || { cat "$work/cpack.log" >&2; exit 1; }
    arch=$(dpkg --print-architecture)
    deb="$work/out/tavrel-control_1.0.1.0_$arch.deb"
    [ -f "$deb" ] || { ls -l "$work/out" >&2; fail "no $(basename "$deb")"; exit 1; }
    echo "built $(basename "$deb"), $(stat -c %s "$deb") bytes"

    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = tavrel-control ] || fail "Package is '$(field Package)'"
    [ "$(field Version)" = 1.0.1.0 ] || fail "Version is '$(field Version)'"
    [ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
    depends=$(field Depends)
    echo "Depends: $depends"
    echo "Suggests: $(field Suggests)"
    # Computed from the binaries: the libraries they link, with minimum versions, by the names
    # of the release that built it: Debian 13 adds "t64" to those whose ABI changed with its
    # 64-bit time_t (libqt5core5a became libqt5core5t64); a Qt 6 build names Qt 6's.
    for lib in libc6 'libqt(5core5a|5core5t64|6core6|6core6t64)' 'libqt(5widgets5|6widgets6)(t64)?' \
        'libqt(5network5|6network6)(t64)?' 'libhidapi-hidraw0(t64)?'; do
        [[ ", $depends" =~ ,\ $lib(\ \(>=[^\)]*\))?(,|$) ]] || fail "Depends lacks $lib"
    done
    [[ "$depends" == *'(>= '* ]] || fail "Depends carries no versions: not computed by shlibdeps?"
    [[ "$(field Suggests)" == *gnome-shell-extension-appindicator* ]] || fail "Suggests lacks the AppIndicator extension"
    [ -n "$(field Maintainer)" ] || fail "no Maintainer"
    # A summary line, then the long text indented by exactly one space.
    description=$(field Description)
    [ "$(echo "$description" | head -n 1)" = "USB control surface to UDP bridge in the system tray" ] \
        || fail "Description starts '$(echo "$description" | head -n 1)'"
    echo "$description" | tail -n +2 | grep -qv '^ [^ ]' && fail "Description lines not indented by one space:
$description"
    [ "$(echo "$description" | wc -l)" -gt 2 ] || fail "Description has no long text"

    owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
    [ "$owners" = root/root ] || fail "files not owned by root/root: $owners"

    dpkg-deb -e "$deb" "$work/control"
    [ -x "$work/control/postinst" ] || fail "no executable postinst"
    sh -n "$work/control/postinst" || fail "postinst is not valid sh"

    dpkg -x "$deb" "$work/root"
    check_tree "$work/root" /usr
    ;;
*)
    echo "usage: $0 staged|deb BUILD_DIR SOURCE_DIR" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all install checks passed"
