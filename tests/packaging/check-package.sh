#!/usr/bin/env bash
# Builds the Debian package, checks what it holds and lintian's verdict,
# unpacks it into a scratch root and runs the program, zelkctl and zelkd from
# there against virtual printers, checks zelkd's systemd units with
# systemd-analyze verify; then installs into a scratch prefix with cmake
# --install and checks the same layout there.
#
#   check-package.sh --build BUILD_DIR --version VERSION --sim ZELK_SIM [--program ZELK]
#
# Without --program (the program is not part of the build) the package is
# checked without it, and the bundle archives are not made.
set -euo pipefail

build= version= sim= program=
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    *) echo "check-package: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$build" ] && [ -n "$version" ] && [ -n "$sim" ] ||
    { echo "usage: $0 --build DIR --version VERSION --sim ZELK_SIM [--program ZELK]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelk-package.XXXXXX")
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Whether PROGRAM loads the libtrel.so.1 of LIBDIR, the one of its own bundle,
# rather than the build tree's.
loads_libtrel_of() {
    local loaded
    loaded=$(env -u LD_LIBRARY_PATH ldd "$1" | sed -n 's/^\tlibtrel\.so\.1 => \(.*\) (0x[0-9a-f]*)$/\1/p')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$2/libtrel.so.1")" ] ||
        fail "$1 loads libtrel from ${loaded:-nowhere}, not from $2"
}

bundle=usr/lib/zelk/Contents
# Every file of the package and of an installation, no more: a tool for
# developers (trel-probe, zelk-sim) that slipped in would fail here.
expected=(
    usr/bin/zelkctl
    usr/bin/zelkd
    usr/lib/udev/rules.d/70-zelk.rules
    usr/share/applications/zelk.desktop
    usr/share/doc/zelk/changelog.gz
    usr/share/doc/zelk/copyright
    usr/share/icons/hicolor/scalable/apps/zelk.svg
    usr/share/man/man1/zelkctl.1.gz
    usr/share/man/man1/zelkd.1.gz
    usr/share/polkit-1/actions/com.corvane.zelk.install.policy
    usr/share/systemd/user/zelkd.service
    $bundle/bin/dfu-util
    $bundle/bin/zelk-install
    $bundle/bin/zelkctl
    $bundle/bin/zelkd
    $bundle/lib/libtrel.so.1
    $bundle/lib/libtrel.so.$version
    $bundle/Resources/70-zelk.rules
    $bundle/Resources/zelk.png
)
# Whatever the build put in its Resources (firmware image, test print) goes
# into the bundle's.
resources=()
while IFS= read -r f; do resources+=("$f"); done < <(cd "$build/Resources" && find . -type f | sed 's,^\./,,')
for f in "${resources[@]}"; do expected+=("$bundle/Resources/$f"); done
# zelkd's page, whatever its folder holds.
while IFS= read -r f; do expected+=("$bundle/share/zelkd/www/$f"); done \
    < <(cd "$here/../../tools/zelkd/www" && find . -type f | sed 's,^\./,,')
for size in 16 24 32 48 64 128 256 512; do
    expected+=(usr/share/icons/hicolor/${size}x${size}/apps/zelk.png)
done
[ -n "$program" ] && expected+=($bundle/bin/zelk usr/bin/zelk usr/share/man/man1/zelk.1.gz)
# The package alone.
deb_only=(
    etc/zelkd/zelkd.conf
    usr/lib/systemd/system/zelkd.service
    usr/lib/sysusers.d/zelkd.conf
    usr/share/lintian/overrides/zelk
)

# --- the package
echo "== cpack"
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/zelk_*_*.deb 2>/dev/null | head -n1)
[ -f "$deb" ] || { cat "$scratch/cpack.log"; fail "no package was made"; }
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

# Files and links, not folders.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's,^\./,,' | sort >"$scratch/files"
printf '%s\n' "${expected[@]}" "${deb_only[@]}" | sort -u >"$scratch/expected"
if ! diff -u --label expected --label package "$scratch/expected" "$scratch/files"; then
    fail "the package does not hold what it should (- lacks, + should not hold)"
fi

# Debian's checks; errors and warnings fail, the rest is shown. The
# overrides in packaging/debian/lintian-overrides say why what they name stays.
echo "== lintian"
status=0
lintian --allow-root --fail-on error,warning --display-info "$deb" >"$scratch/lintian.log" 2>&1 || status=$?
sed 's/^/  /' "$scratch/lintian.log"
[ "$status" -eq 0 ] || fail "lintian finds errors or warnings in the package (exit $status)"

[ "$(dpkg-deb -f "$deb" Package)" = zelk ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libusb-1.0-0 libyajl2 libqt5svg5 libmicrohttpd12 libqt5sql5-sqlite libjs-chart.js adduser; do
    grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
if [ -n "$program" ]; then
    grep -q libqt5widgets5 <<<"$depends" || fail "Depends lacks libqt5widgets5: $depends"
fi
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for f in postinst prerm postrm conffiles; do
    grep -qx "./$f" <<<"$control" || fail "no $f"
done
# dpkg keeps an administrator's edits of zelkd's settings, and the service
# comes disabled: no maintainer script enables it.
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/zelkd/zelkd.conf ] ||
    fail "conffiles does not name /etc/zelkd/zelkd.conf alone"
if dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -v '^ *#' |
    grep -Eq '(systemctl|deb-systemd-helper)( [-a-z]+)* enable'; then
    fail "postinst enables zelkd.service"
fi

root=$scratch/root
dpkg-deb -x "$deb" "$root"
# The changelog's newest entry is this version: a new version needs its entry.
zcat "$root/usr/share/doc/zelk/changelog.gz" >"$scratch/changelog"
[ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's newest entry is not $version: add one to packaging/debian/changelog"
# The manual pages are help2man's reading of --help: a usage line it did not
# recognise leaves the page without a SYNOPSIS.
pages=(zelkctl zelkd)
[ -n "$program" ] && pages+=(zelk)
for page in "${pages[@]}"; do
    zcat "$root/usr/share/man/man1/$page.1.gz" >"$scratch/$page.1"
    grep -qx '\.SH SYNOPSIS' "$scratch/$page.1" || fail "man page $page.1 has no SYNOPSIS"
done
grep -q 'dfu flash' "$scratch/zelkctl.1" || fail "zelkctl.1 lacks its subcommands"
grep -qx '\.SH FILES' "$scratch/zelkd.1" && grep -q 'max\\-upload\\-size' "$scratch/zelkd.1" ||
    fail "zelkd.1 lacks its options or files"
[ -z "$program" ] || grep -qx '\.SH OPTIONS' "$scratch/zelk.1" || fail "zelk.1 lacks its options"
desktop-file-validate "$root/usr/share/applications/zelk.desktop" || fail "desktop entry"
grep -qx 'Exec="/usr/lib/zelk/Contents/bin/zelk"' "$root/usr/share/applications/zelk.desktop" ||
    fail "desktop entry does not start /usr/lib/zelk/Contents/bin/zelk"
grep -q 'ATTR{idProduct}=="0002".*TAG+="uaccess".*GROUP="zelkd"' "$root/usr/lib/udev/rules.d/70-zelk.rules" &&
    grep -q 'ATTR{idProduct}=="0003".*TAG+="uaccess"' "$root/usr/lib/udev/rules.d/70-zelk.rules" ||
    fail "udev rule"
"$root/$bundle/bin/dfu-util" --version >/dev/null 2>&1 || fail "the packaged dfu-util does not run"
# pkexec shows the action's message for the program its annotation names: the
# packaged install helper, which the program runs through pkexec.
policy=$root/usr/share/polkit-1/actions/com.corvane.zelk.install.policy
xmllint --noout "$policy" || fail "the polkit action is not well-formed"
grep -qF '<annotate key="org.freedesktop.policykit.exec.path">/usr/lib/zelk/Contents/bin/zelk-install</annotate>' "$policy" ||
    { cat "$policy"; fail "the polkit action does not name /usr/lib/zelk/Contents/bin/zelk-install"; }
[ -x "$root/$bundle/bin/zelk-install" ] || fail "the install helper is not executable"

# --- the program from the scratch root, on a virtual printer
if [ -n "$program" ]; then
    echo "== running $bundle/bin/zelk from the unpacked package"
    [ "$(readlink "$root/usr/bin/zelk")" = ../lib/zelk/Contents/bin/zelk ] || fail "usr/bin/zelk link"
    exe=$root/$bundle/bin/zelk
    loads_libtrel_of "$exe" "$root/$bundle/lib"
    # --help and --version answer before anything starts: no display, no
    # log, no single-instance channel.
    for option in --help --version; do
        env -i PATH="$PATH" HOME="$scratch/no-home" timeout 20 "$root/usr/bin/zelk" $option \
            >"$scratch/info.out" 2>&1 || { cat "$scratch/info.out"; fail "zelk $option failed"; }
        [ ! -e "$scratch/no-home" ] || fail "zelk $option wrote into the home folder"
    done
    [ "$(cat "$scratch/info.out")" = "zelk $version" ] ||
        fail "zelk --version says '$(cat "$scratch/info.out")', the package $version"

    home=$scratch/home
    mkdir -p "$home" "$scratch/runtime"
    chmod 700 "$scratch/runtime"
    HOME=$home XDG_DATA_HOME=$home/.local/share XDG_CONFIG_HOME=$home/.config \
        XDG_RUNTIME_DIR=$scratch/runtime QT_QPA_PLATFORM=offscreen \
        "$sim" --printer 1:5 -- "$exe" --silent >"$scratch/run.log" 2>&1 &
    sim_pid=$!
    # The program's messages go to its standard error as well as to its log
    # file, which is written in blocks.
    out=$scratch/run.log
    for _ in $(seq 1 600); do
        grep -q 'Printer port: 1:5' "$out" && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q 'Printer port: 1:5' "$out" ||
        { cat "$out"; fail "the program from the package did not find the virtual printer"; }
    grep -qF "Executable: \"$exe\"" "$out" || { cat "$out"; fail "it was not the packaged program that ran"; }
    grep -E '^Printer (port|model|firmware version):' "$out" | sed 's/^/  /'
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
fi

# --- zelkctl from the scratch root, started through its link on the PATH: it
# finds its libtrel, and the dfu-util that lists the printer in
# firmware-update mode, in the bundle
echo "== running usr/bin/zelkctl from the unpacked package"
[ "$(readlink "$root/usr/bin/zelkctl")" = ../lib/zelk/Contents/bin/zelkctl ] || fail "usr/bin/zelkctl link"
loads_libtrel_of "$root/$bundle/bin/zelkctl" "$root/$bundle/lib"
[ "$("$root/usr/bin/zelkctl" --version)" = "zelkctl $version" ] || fail "zelkctl --version"
mkdir -p "$scratch/home"
status=0
env -u LD_LIBRARY_PATH HOME="$scratch/home" "$sim" --printer 1:5 --printer 2:7:dfu -- \
    sh -c '"$1" list && "$1" dfu list' sh "$root/usr/bin/zelkctl" >"$scratch/zelkctl.log" 2>&1 || status=$?
sed 's/^/  /' "$scratch/zelkctl.log"
[ "$status" -eq 0 ] || fail "the packaged zelkctl failed (exit $status)"
grep -q '^1:5 .* Idle$' "$scratch/zelkctl.log" || fail "zelkctl list did not show the printer at 1:5"
grep -q '^2b75:0003 ' "$scratch/zelkctl.log" || fail "zelkctl dfu list did not show the printer in firmware-update mode"

# --- zelkd from the scratch root, and its systemd units
echo "== zelkd from the unpacked package"
[ "$(readlink "$root/usr/bin/zelkd")" = ../lib/zelk/Contents/bin/zelkd ] || fail "usr/bin/zelkd link"
loads_libtrel_of "$root/$bundle/bin/zelkd" "$root/$bundle/lib"
[ "$("$root/usr/bin/zelkd" --version)" = "zelkd $version" ] || fail "zelkd --version"
# --help with each option's text on one line.
"$root/usr/bin/zelkd" --help | awk '/^  -/ { if (line) print line; line = $0; next }
    /^   / { sub(/^ +/, " "); line = line $0 } END { print line }' >"$scratch/zelkd-options"

# The settings file holds every setting (each option with a value but
# --config) commented out at the default --help states, DATA being the data
# folder. Taken in, those lines are what zelkd runs on below: it refuses a
# key it does not know, and prose comments that hold a "=" must stay comments.
conf=$root/etc/zelkd/zelkd.conf
# mqtt_password has no option (a command line is visible to every user).
settings=$(sed -n 's/^;\([a-z_]*\) = *\(.*\)$/\1=\2/p' "$conf" | grep -v '^mqtt_password=')
options=$(grep -E -- '^ +--[a-z-]+ <' "$scratch/zelkd-options" | grep -cv -- '--config <')
[ "$(wc -l <<<"$settings")" -eq "$options" ] || fail "zelkd.conf holds not the $options settings: $settings"
data_folder=$(sed -n 's/^data_folder=//p' <<<"$settings")
while IFS='=' read -r key value; do
    stated=$(sed -n "s/^ *--${key//_/-} <.*(default \\([^;)]*\\)[;)].*/\\1/p" "$scratch/zelkd-options")
    stated=${stated//DATA/$data_folder}
    [ -z "$stated" ] || [ "$stated" = "$value" ] || fail "zelkd.conf: $key = $value, zelkd --help: $stated"
done <<<"$settings"
[ -f "$root$(sed -n 's/^web_folder=//p' <<<"$settings")/index.html" ] || fail "zelkd.conf's web_folder"
sed 's/^;\([a-z_]* =\)/\1/' "$conf" >"$scratch/zelkd.conf"

# Not as the unit starts it (no systemd, no account zelkd), but on the
# package's settings, a loopback port, scratch data folders, and without
# memory both writable and executable, as MemoryDenyWriteExecute= has it
# (prctl PR_SET_MDWE, kept across execve).
data=$scratch/zelkd-data
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
env -u LD_LIBRARY_PATH HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" \
    XDG_DATA_HOME="$scratch/home/.local/share" "$sim" --printer 1:5 -- python3 -c 'import ctypes, os, sys
ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) == 0 or sys.exit("no PR_SET_MDWE")
os.execv(sys.argv[1], sys.argv[1:])' "$root/usr/bin/zelkd" --user --config "$scratch/zelkd.conf" \
    --port "$port" --data-folder "$data" --api-key-file "$data/api-key" --upload-folder "$data/uploads" \
    --web-folder "$root/$bundle/share/zelkd/www" >"$scratch/zelkd.log" 2>&1 &
sim_pid=$!
# /api/version with the key (made on the first start), not without it; the
# page, which needs no key, from the bundle.
python3 - "$port" "$data/api-key" <<'PYTHON' || { cat "$scratch/zelkd.log"; fail "the packaged zelkd"; }
import json, sys, time, urllib.error, urllib.request
def get(path, key=None):
    request = urllib.request.Request("http://127.0.0.1:%s%s" % (sys.argv[1], path),
                                     headers={"X-Api-Key": key} if key else {})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as e:
        return e.code, b""
deadline = time.monotonic() + 30
while True:
    try:
        status, body = get("/api/version", open(sys.argv[2]).read().strip())
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("no answer from zelkd")
        time.sleep(0.1)
assert status == 200 and json.loads(body)["text"].startswith("OctoPrint (zelkd "), (status, body)
assert get("/api/version")[0] == 401 and get("/")[0] == 200
print("  /api/version:", body.decode())
PYTHON
grep -qF "listening on http://127.0.0.1:$port/" "$scratch/zelkd.log" ||
    { cat "$scratch/zelkd.log"; fail "zelkd does not listen where its settings say"; }
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=

# systemd-analyze verify, with PID 1 not systemd. The system unit under
# --root: its ExecStart= (/usr/bin/zelkd, a link into the bundle) resolved in
# the unpacked package, Documentation='s page through MANPATH, the targets it
# names from this machine's units copied into the scratch root's /etc. A user
# unit cannot be read under --root: it is checked as a file, its program's
# path moved into the unpacked package. Warnings (an unknown key, a bad
# value) do not change the exit status: any output fails.
echo "== systemd-analyze verify"
mkdir -m 700 "$scratch/systemd-runtime" "$scratch/user-unit"
verify() {
    local out status=0
    out=$(MANPATH="$root/usr/share/man" XDG_RUNTIME_DIR="$scratch/systemd-runtime" SYSTEMD_LOG_COLOR=0 \
        systemd-analyze verify "$@" 2>&1) || status=$?
    [ "$status" -eq 0 ] && [ -z "$out" ] || { echo "$out"; fail "systemd-analyze verify $* (exit $status)"; }
    echo "  systemd-analyze verify $*: clean"
}
mkdir "$root/etc/systemd"
cp -r /usr/lib/systemd/system "$root/etc/systemd/"
rm -f "$root/etc/systemd/system/zelkd.service"
verify --root="$root" zelkd.service
sed "s,^ExecStart=\"/usr/,ExecStart=\"$root/usr/," "$root/usr/share/systemd/user/zelkd.service" \
    >"$scratch/user-unit/zelkd.service"
verify --user "$scratch/user-unit/zelkd.service"
# The account the sysusers file makes, in a scratch root.
mkdir -p "$scratch/sysroot/etc"
systemd-sysusers --root="$scratch/sysroot" "$root/usr/lib/sysusers.d/zelkd.conf" >"$scratch/sysusers.log" 2>&1 ||
    { cat "$scratch/sysusers.log"; fail "systemd-sysusers refuses the sysusers file"; }
grep -q '^zelkd:x:[0-9]*:[0-9]*:Zelk printer service:/var/lib/zelkd:/usr/sbin/nologin$' \
    "$scratch/sysroot/etc/passwd" || fail "the sysusers file does not make the account zelkd"

# --- cmake --install into a prefix of the user's choice
echo "== cmake --install"
prefix="$scratch/my prefix"
cmake --install "$build" --component zelk --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
(cd "$prefix" && find . ! -type d | sed 's,^\./,usr/,' | sort) >"$scratch/installed"
if ! diff -u --label expected --label installed <(printf '%s\n' "${expected[@]}" | sort -u) "$scratch/installed"; then
    fail "cmake --install does not install what it should (- lacks, + should not install)"
fi
desktop-file-validate "$prefix/share/applications/zelk.desktop" || fail "desktop entry of the prefix"
grep -qxF "Exec=\"$prefix/lib/zelk/Contents/bin/zelk\"" "$prefix/share/applications/zelk.desktop" ||
    { cat "$prefix/share/applications/zelk.desktop"; fail "desktop entry does not start the prefix's program"; }
# The user unit starts the prefix's zelkd, whose path has a space in it.
unit=$prefix/share/systemd/user/zelkd.service
grep -qxF "ExecStart=\"$prefix/lib/zelk/Contents/bin/zelkd\" --user" "$unit" ||
    { cat "$unit"; fail "the user unit does not start the prefix's zelkd"; }
verify --user "$unit"

# --- the archives of the bundle for the program's installer and updates
if [ -n "$program" ]; then
    echo "== bundle archives"
    mkdir -p "$scratch/archives"
    cmake -DBUILD="$build" -DVERSION="$version" -DOUT="$scratch/archives" \
        -P "$here/../../packaging/bundle-archives.cmake" >"$scratch/archives.log" 2>&1 ||
        { cat "$scratch/archives.log"; fail "making the bundle archives failed"; }
    for name in "Zelk printer tool" "Install Zelk printer tool"; do
        archive="$scratch/archives/$name-$version.tar.bz2"
        [ -f "$archive" ] || fail "no archive $name-$version.tar.bz2"
        tar tjf "$archive" >"$scratch/listing"
        if grep -v "^$name/" "$scratch/listing"; then fail "$archive holds more than its bundle"; fi
        for f in Contents/bin/zelk Contents/bin/zelkctl Contents/bin/dfu-util Contents/bin/zelk-install \
            Contents/lib/libtrel.so.1 \
            "${resources[@]/#/Contents/Resources/}"; do
            grep -qxF "$name/$f" "$scratch/listing" || fail "$archive lacks $f"
        done
    done
    mkdir "$scratch/unpacked"
    tar xjf "$scratch/archives/Zelk printer tool-$version.tar.bz2" -C "$scratch/unpacked"
    unpacked="$scratch/unpacked/Zelk printer tool/Contents"
    loads_libtrel_of "$unpacked/bin/zelk" "$unpacked/lib"
    [ "$(readlink "$unpacked/lib/libtrel.so.1")" = "libtrel.so.$version" ] || fail "libtrel link in the archive"

    # The self-update as runInstaller() starts it: the unpacked update with
    # --update= and an installation, which it replaces and starts with
    # --updated. That one then waits at its confirmation, and is ended here.
    echo "== self-update from the archive"
    installed=$scratch/home/.local/lib/zelk
    mkdir -p "$(dirname "$installed")"
    tar xjf "$scratch/archives/Install Zelk printer tool-$version.tar.bz2" -C "$scratch"
    mv "$scratch/Install Zelk printer tool" "$installed"
    touch "$installed/Contents/Resources/from-the-old-version"
    status=0
    HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime QT_QPA_PLATFORM=offscreen \
        "$unpacked/bin/zelk" "--update=$installed" >"$scratch/update.log" 2>&1 || status=$?
    [ "$status" -eq 255 ] || { cat "$scratch/update.log"; fail "the hand-over ended with $status, not -1"; }
    [ ! -e "$installed/Contents/Resources/from-the-old-version" ] ||
        { cat "$scratch/update.log"; fail "the installation was not replaced"; }
    [ -x "$installed/Contents/bin/zelk" ] || fail "the replaced installation has no program"
    started=
    for _ in $(seq 1 300); do
        for p in /proc/[0-9]*; do
            [ "$(readlink "$p/exe" 2>/dev/null)" = "$installed/Contents/bin/zelk" ] || continue
            tr '\0' ' ' <"$p/cmdline" | grep -q -- '--updated' && started=${p#/proc/} && break
        done
        [ -n "$started" ] && break
        sleep 0.1
    done
    [ -n "$started" ] || { cat "$scratch/update.log"; fail "the replaced program was not started with --updated"; }
    kill "$started" 2>/dev/null || true
    echo "  replaced $installed and started it with --updated (pid $started)"
fi

echo "package check passed"
