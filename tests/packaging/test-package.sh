#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: Norvatek
# Builds the Debian package and checks it as a user's machine would receive it. Nothing is
# installed on this machine: the package is unpacked into a scratch root and run from there.
#
# usage: test-package.sh <source-dir> <work-dir> <program-version> <debian-revision>
set -euo pipefail

src=$1
work=$2
version=$3
package_version=$3-$4
cmake_cmd=${CMAKE_COMMAND:-cmake}
cpack_cmd=${CPACK_COMMAND:-cpack}
generator=${CMAKE_GENERATOR:-Ninja}

readonly package=lumetra-updater
# Every program the package installs; each comes with its manual page in section 1.
readonly programs=(lumetra-updater lumetra-flash)
readonly cli=lumetra-flash
readonly desktop_id=lumetra-updater.desktop
readonly metainfo=com.norvatek.LumetraUpdater.metainfo.xml
# udev reads the uaccess tag in 73-seat-late.rules: a rule numbered from 73 on comes too late.
readonly udev_rule=70-lumetra-updater.rules
readonly icon_name=lumetra-updater
readonly icon_sizes=(16x16 24x24 32x32 48x48 64x64 128x128 256x256)
readonly qt_runtime=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6)
# Loaded at run time by Qt Network's TLS plugin, hence invisible to dpkg-shlibdeps.
readonly tls_runtime=(libssl3 ca-certificates)
# Long enough for the window to be up and its first timers to have fired.
readonly stay_up_seconds=3
readonly window_wait_seconds=20

failures=0
pass() { echo "ok: $*"; }
fail() {
    failures=$((failures + 1))
    echo "FAIL: $*" >&2
}
check() { # check <description> <command...>: what the command says is shown when it fails
    local what=$1 output
    shift
    if output=$("$@" 2>&1); then pass "$what"; else fail "$what${output:+: $output}"; fi
}
die() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir -p "$work"
build="$work/release-build"
scratch=$(mktemp -d "$work/scratch.XXXXXX")
xvfb_pid=
app_pid=
http_pid=
cleanup() {
    for pid in $app_pid $xvfb_pid $http_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

for tool in dpkg-deb dpkg-shlibdeps dpkg-parsechangelog desktop-file-validate appstreamcli readelf \
    lintian hardening-check Xvfb xdotool xprop minisign python3; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/bootstrap installs it)"
done

# --- build the package ---------------------------------------------------------------------
run_logged() { # run_logged <log> <command...>: the log is shown only when the step fails
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        die "$* failed"
    fi
}
# The package is built as a maker builds it, trusting its release signing key: here a throwaway
# one without a password, made once and kept with the build so a rerun rebuilds nothing for it.
keys="$work/signing-key"
if [ ! -s "$keys/release.pub" ] || [ ! -s "$keys/release.key" ]; then
    mkdir -p "$keys"
    run_logged "$work/keygen.log" minisign -G -f -W -p "$keys/release.pub" -s "$keys/release.key"
fi
public_key=$(sed -n 2p "$keys/release.pub")
run_logged "$work/configure.log" "$cmake_cmd" -S "$src" -B "$build" -G "$generator" \
    -DCMAKE_BUILD_TYPE=Release -DLUMETRA_BUILD_TESTS=OFF -DLUMETRA_SANITIZE=OFF \
    -DLUMETRA_RELEASE_PUBLIC_KEYS="$public_key"
run_logged "$work/build.log" "$cmake_cmd" --build "$build" --parallel 2
rm -f "$build"/*.deb
run_logged "$work/cpack.log" bash -c "cd '$build' && '$cpack_cmd' -G DEB"
debs=("$build/${package}_${package_version}_"*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one ${package}_${package_version}_*.deb"
deb=${debs[0]}
echo "package: $deb"

# --- what the package holds ------------------------------------------------------------------
# Exactly the programs and their data files: a test executable, a tool or a static library in
# the list is as wrong as a missing icon.
expected="$scratch/expected.txt"
{
    for program in "${programs[@]}"; do
        echo "./usr/bin/$program"
        echo "./usr/share/man/man1/$program.1.gz"
    done
    echo "./usr/share/applications/$desktop_id"
    echo "./usr/share/metainfo/$metainfo"
    echo "./usr/lib/udev/rules.d/$udev_rule"
    echo "./usr/share/doc/$package/copyright"
    echo "./usr/share/doc/$package/changelog.Debian.gz"
    echo "./usr/share/bash-completion/completions/$cli"
    for size in "${icon_sizes[@]}"; do
        echo "./usr/share/icons/hicolor/$size/apps/$icon_name.png"
    done
    echo "./usr/share/icons/hicolor/scalable/apps/$icon_name.svg"
} | sort >"$expected"
actual="$scratch/actual.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$actual"
check "the package holds exactly the programs and their data files (diff: - missing, + extra)" \
    diff -u "$expected" "$actual"

# Name and version are in the file name cpack chose; lintian judges the maintainer scripts below.
field() { dpkg-deb -f "$deb" "$1"; }
homepage=$(field Homepage)
check "package has a https homepage ($homepage)" grep -q '^https://' <<<"$homepage"
check "recommends bash-completion, which loads the completion of $cli" \
    grep -Eq '(^|, )bash-completion( |,|$)' <<<"$(field Recommends)"
depends=$(field Depends)
for lib in "${qt_runtime[@]}" "${tls_runtime[@]}"; do
    check "depends on $lib" grep -Eq "(^|, )$lib( |,|$)" <<<"$depends"
done

# --- the unpacked files ----------------------------------------------------------------------
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
desktop="$root/usr/share/applications/$desktop_id"
meta="$root/usr/share/metainfo/$metainfo"
program="$root/usr/bin/$package"
rule="$root/usr/lib/udev/rules.d/$udev_rule"

# Hints count too: one about the categories means the menu files the program under "Other".
desktop_report=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$desktop_report" ] &&
    pass "desktop entry passes desktop-file-validate without a remark" ||
    fail "desktop-file-validate: $desktop_report"
check "metainfo passes appstreamcli validate --no-net" appstreamcli validate --no-net "$meta"

desktop_key() { sed -n "s/^$1=//p" "$desktop"; }
check "desktop entry runs the installed program" test "$(desktop_key Exec)" = "$package"
check "desktop entry names the icon $icon_name" test "$(desktop_key Icon)" = "$icon_name"
check "metainfo launches this desktop entry" \
    grep -q "<launchable type=\"desktop-id\">$desktop_id</launchable>" "$meta"
check "metainfo names the package's homepage" \
    grep -qF "<url type=\"homepage\">$homepage</url>" "$meta"
screenshot=$(grep -o '<image[^>]*>[^<]*' "$meta" | sed 's|.*/||')
check "the metainfo's screenshot $screenshot is the one in packaging/screenshots" \
    test -f "$src/packaging/screenshots/$screenshot"
changelog_version=$(zcat "$root/usr/share/doc/$package/changelog.Debian.gz" |
    dpkg-parsechangelog -l - -S Version)
check "changelog's newest entry is $package_version (found '$changelog_version')" \
    test "$changelog_version" = "$package_version"
newest_release=$(grep -o '<release version="[^"]*"' "$meta" | head -n 1 | cut -d'"' -f2)
check "metainfo's newest release is $version (found '$newest_release')" \
    test "$newest_release" = "$version"

tty_rule=$(grep -v '^[[:space:]]*#' "$rule" | grep 'SUBSYSTEM=="tty"' || true)
for clause in 'ATTRS{idVendor}=="04d8"' 'ATTRS{idProduct}=="000a"' 'TAG+="uaccess"' \
    'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
    check "udev rule for the tty holds $clause" grep -qF "$clause" <<<"$tty_rule"
done
# The maintainer scripts: postinst replays only the meter's ports (04d8:000a), not every port of
# the vendor; postrm makes udev forget the rule once it is removed.
postinst=$(dpkg-deb -I "$deb" postinst 2>/dev/null || true)
postrm=$(dpkg-deb -I "$deb" postrm 2>/dev/null || true)
check "postinst replays only ports of 04d8:000a" \
    grep -qF "ID_MODEL_ID=000a" <<<"$postinst"
check "postinst never replays every port of the vendor" \
    bash -c '! grep -q -- "--property-match=ID_VENDOR_ID" <<<"$1"' _ "$postinst"
check "postrm reloads the udev rules" grep -qF "udevadm control --reload-rules" <<<"$postrm"
# Every clause is KEY op "value"; a lone '=' on a match key or a stray quote silently
# disables the rule, so each clause is checked for its shape.
bad_clauses=$(grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$rule" | tr ',' '\n' |
    sed 's/^[[:space:]]*//; s/[[:space:]]*$//' |
    grep -Ev '^[A-Z_]+(\{[A-Za-z0-9_]+\})?(==|!=|\+=|-=|:=|=)"[^"]*"$' || true)
check "every udev rule clause is KEY op \"value\"${bad_clauses:+ (bad: $bad_clauses)}" \
    test -z "$bad_clauses"

for name in "${programs[@]}"; do
    binary="$root/usr/bin/$name"
    check "$name is not a sanitizer build" bash -c "! readelf -d '$binary' | grep -q 'libasan'"
    check "every library $name links is found" bash -c "! ldd '$binary' | grep -q 'not found'"
    # Position independent, stack protector, read-only relocations bound at start: the report
    # names whatever is missing. Fortification is left out here: a program whose copies all have
    # sizes known only at run time calls no checked function, and the report then says "no"
    # however it was built; the compile commands show it below. Control-flow protection is not
    # among the flags Debian 12's dpkg-buildflags gives.
    check "$name is hardened" hardening-check --nofortify --nocfprotection "$binary"
    manual_warnings=$(zcat "$root/usr/share/man/man1/$name.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
    check "the manual page of $name renders without a warning${manual_warnings:+ ($manual_warnings)}" \
        test -z "$manual_warnings"
done
unfortified=$(grep '"command":' "$build/compile_commands.json" | grep -vc -- '-D_FORTIFY_SOURCE=' ||
    true)
check "every file of the Release build is compiled with _FORTIFY_SOURCE ($unfortified without)" \
    test "$unfortified" -eq 0

# The terminal program runs where no display exists: no widget or GUI library may come with it.
check "$cli links no GUI library" \
    bash -c "! readelf -d '$root/usr/bin/$cli' | grep -q 'libQt6\(Gui\|Widgets\)'"
check "$cli --version names the package version" \
    test "$(env -u DISPLAY "$root/usr/bin/$cli" --version)" = "$cli $version"
# As many as the program has: one per value of its ExitCode.
exit_statuses=$(grep -cE '^ +[A-Za-z]+ = [0-9]+' "$src/src/cli/exitcode.h")
check "the manual page of $cli documents every exit status ($exit_statuses)" \
    bash -c "zcat '$root/usr/share/man/man1/$cli.1.gz' | grep -A1 '^\.TP' | grep -c '^\.B [0-9]$' |
        grep -qx $exit_statuses"

# lintian judges the package as Debian's archive would; its warnings and notes are printed for
# the reader, an error fails the test.
lintian_status=0
lintian_report=$(lintian --fail-on error --display-info "$deb" 2>&1) || lintian_status=$?
# Its warning about being run as root (as CI does) is not about the package.
lintian_report=$(grep -v 'running with root privileges' <<<"$lintian_report" || true)
if [ "$lintian_status" -eq 0 ]; then
    pass "lintian reports no error${lintian_report:+ (remarks below)}"
else
    fail "lintian reports errors (below)"
fi
[ -z "$lintian_report" ] || sed 's/^/    /' <<<"$lintian_report"

# --- the installed program starts and shows its window ---------------------------------------
# Its settings and runtime files go to the scratch folder, never to this user's.
export XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# --- the installed lumetra-flash trusts the build's key, and only it -------------------------
# A plain web server answers the catalogue's two paths: <branch>/lumetrarelease/ (its index file)
# and <branch>/lumetrarelease.minisig. Branch "signed" is signed with the build's key, "unsigned"
# not at all.
site="$scratch/site"
catalogue='[{"product": "Lumetra", "versions": [{"tag_name": "1.0.0"}]}]'
for branch in signed unsigned; do
    mkdir -p "$site/$branch/lumetrarelease"
    printf '%s\n' "$catalogue" >"$site/$branch/lumetrarelease/index.html"
done
# The trusted comment binds the catalogue to its branch and signing time, as the program requires.
run_logged "$work/sign.log" minisign -S -s "$keys/release.key" \
    -t "$(printf 'timestamp:%s\tbranch:signed' "$(date +%s)")" \
    -m "$site/signed/lumetrarelease/index.html" -x "$site/signed/lumetrarelease.minisig"
python3 -u -m http.server --bind 127.0.0.1 --directory "$site" 0 >"$scratch/http.log" 2>&1 &
http_pid=$!
http_port=
for _ in $(seq 50); do
    http_port=$(sed -n 's/.* port \([0-9][0-9]*\).*/\1/p' "$scratch/http.log" | head -n 1)
    [ -n "$http_port" ] && break
    sleep 0.1
done
[ -n "$http_port" ] || die "the local web server did not start: $(cat "$scratch/http.log")"
flash_versions() { # flash_versions <branch>: the installed lumetra-flash's versions --json
    env -u DISPLAY "$root/usr/bin/$cli" --server "http://127.0.0.1:$http_port" versions --json \
        --branch "$1" 2>"$scratch/versions-$1.err"
}
# minisign names the key's id in the comment line of the public key file.
key_id=$(sed -n '1s/.*public key \([0-9A-F]*\)$/\1/p' "$keys/release.pub")
signed_listing=$(flash_versions signed || true)
check "$cli lists a catalogue signed with the build's key as signed by $key_id" python3 -c '
import json, sys
listing = json.loads(sys.argv[1])
sys.exit(not (len(listing) == 1 and listing[0]["signed"] is True and listing[0]["keyId"] == sys.argv[2]))
' "$signed_listing" "$key_id"
unsigned_status=0
flash_versions unsigned >/dev/null || unsigned_status=$?
check "$cli refuses an unsigned catalogue with status 5 (got $unsigned_status)" \
    test "$unsigned_status" -eq 5
check "$cli says why: $(cat "$scratch/versions-unsigned.err")" \
    grep -q 'is not trusted: no signature was published for it' "$scratch/versions-unsigned.err"
kill "$http_pid" 2>/dev/null && wait "$http_pid" 2>/dev/null || true
http_pid=

# On a real X server the window must be mapped, and its class must be the one the desktop
# entry's StartupWMClass names so docks group it with its launcher.
mkfifo "$scratch/display-number"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display-number" \
    >"$scratch/xvfb.log" 2>&1 &
xvfb_pid=$!
# Xvfb picks a free display and writes its number to the pipe once it accepts clients.
display_number=
read -r -t 10 display_number <"$scratch/display-number" || true
[ -n "$display_number" ] || die "Xvfb did not start: $(cat "$scratch/xvfb.log")"
export DISPLAY=":$display_number"
env -u QT_QPA_PLATFORM "$program" >"$scratch/x11.log" 2>&1 &
app_pid=$!
window=$(timeout "$window_wait_seconds" xdotool search --sync --onlyvisible --classname "$package" |
    head -n 1 || true)
if [ -n "$window" ]; then
    pass "the program maps its window on an X display"
    wm_class=$(xprop -id "$window" WM_CLASS)
    check "window class '$wm_class' matches StartupWMClass $(desktop_key StartupWMClass)" \
        grep -qF "\"$(desktop_key StartupWMClass)\"" <<<"$wm_class"
    # Docks that do not go by the class take the icon from the window; unpacked here, outside
    # any icon theme, it is the one compiled into the program. -len keeps xprop from drawing it.
    icon=$(xprop -id "$window" -len 8 -notype _NET_WM_ICON | tr -s '\t\n' '  ')
    check "the window carries an icon ($icon)" grep -Eq 'Icon \([1-9][0-9]* x [1-9][0-9]*\)' <<<"$icon"
    sleep "$stay_up_seconds"
    check "the program is still running $stay_up_seconds s after showing its window" \
        kill -0 "$app_pid"
else
    cat "$scratch/x11.log" >&2
    fail "no visible window of class $package within $window_wait_seconds s"
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
