#!/usr/bin/env bash
# Builds the Debian package, checks what it holds, unpacks it into a scratch
# root and runs the program from there against a virtual printer; then
# installs into a scratch prefix with cmake --install and checks the same
# layout there.
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

bundle=usr/lib/zelk/Contents
expected=(
    usr/lib/udev/rules.d/70-zelk.rules
    usr/share/applications/zelk.desktop
    usr/share/icons/hicolor/scalable/apps/zelk.svg
    usr/share/polkit-1/actions/com.corvane.zelk.install.policy
    $bundle/bin/dfu-util
    $bundle/bin/zelk-install
    $bundle/lib/libtrel.so.1
    $bundle/Resources/70-zelk.rules
    $bundle/Resources/zelk.png
)
# Whatever the build put in its Resources (firmware image, test print) goes
# into the bundle's.
resources=()
while IFS= read -r f; do resources+=("$f"); done < <(cd "$build/Resources" && find . -type f | sed 's,^\./,,')
for f in "${resources[@]}"; do expected+=("$bundle/Resources/$f"); done
for size in 16 24 32 48 64 128 256 512; do
    expected+=(usr/share/icons/hicolor/${size}x${size}/apps/zelk.png)
done
[ -n "$program" ] && expected+=($bundle/bin/zelk usr/bin/zelk)

# --- the package
echo "== cpack"
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/zelk_*_*.deb 2>/dev/null | head -n1)
[ -f "$deb" ] || { cat "$scratch/cpack.log"; fail "no package was made"; }
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's,^\./,,; s,/$,,' | sort >"$scratch/files"
for f in "${expected[@]}"; do
    grep -qx -- "$f" "$scratch/files" || fail "the package lacks $f"
done
# Only /usr, and nothing that another package owns: dfu-util stays private.
if grep -v '^usr\(/\|$\)' "$scratch/files" | grep -v '^$'; then fail "files outside /usr"; fi
if grep -x 'usr/bin/dfu-util' "$scratch/files"; then fail "dfu-util on the PATH"; fi
if grep -x 'usr/Resources.*' "$scratch/files"; then fail "resources outside the bundle"; fi

[ "$(dpkg-deb -f "$deb" Package)" = zelk ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for d in libusb-1.0-0 libyajl2 libqt5svg5; do
    grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
done
if [ -n "$program" ]; then
    grep -q libqt5widgets5 <<<"$depends" || fail "Depends lacks libqt5widgets5: $depends"
fi
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -qx './postinst' <<<"$control" || fail "no postinst"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/zelk.desktop" || fail "desktop entry"
grep -qx 'Exec="/usr/lib/zelk/Contents/bin/zelk"' "$root/usr/share/applications/zelk.desktop" ||
    fail "desktop entry does not start /usr/lib/zelk/Contents/bin/zelk"
grep -q 'ATTR{idProduct}=="0002".*TAG+="uaccess"' "$root/usr/lib/udev/rules.d/70-zelk.rules" &&
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
    # Its libtrel is the packaged one beside it, not the build tree's.
    loaded=$(env -u LD_LIBRARY_PATH ldd "$exe" | sed -n 's/^\tlibtrel\.so\.1 => \(.*\) (0x[0-9a-f]*)$/\1/p')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$root/$bundle/lib/libtrel.so.1")" ] ||
        fail "the program loads libtrel from ${loaded:-nowhere}, not from the package"

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

# --- cmake --install into a prefix of the user's choice
echo "== cmake --install"
prefix="$scratch/my prefix"
cmake --install "$build" --component zelk --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
for f in "${expected[@]}"; do
    f=${f#usr/}
    [ -e "$prefix/$f" ] || [ -L "$prefix/$f" ] || fail "cmake --install lacks $f"
done
desktop-file-validate "$prefix/share/applications/zelk.desktop" || fail "desktop entry of the prefix"
grep -qxF "Exec=\"$prefix/lib/zelk/Contents/bin/zelk\"" "$prefix/share/applications/zelk.desktop" ||
    { cat "$prefix/share/applications/zelk.desktop"; fail "desktop entry does not start the prefix's program"; }

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
        for f in Contents/bin/zelk Contents/bin/dfu-util Contents/bin/zelk-install Contents/lib/libtrel.so.1 \
            "${resources[@]/#/Contents/Resources/}"; do
            grep -qxF "$name/$f" "$scratch/listing" || fail "$archive lacks $f"
        done
    done
    mkdir "$scratch/unpacked"
    tar xjf "$scratch/archives/Zelk printer tool-$version.tar.bz2" -C "$scratch/unpacked"
    unpacked="$scratch/unpacked/Zelk printer tool/Contents"
    loaded=$(env -u LD_LIBRARY_PATH ldd "$unpacked/bin/zelk" | sed -n 's/^\tlibtrel\.so\.1 => \(.*\) (0x[0-9a-f]*)$/\1/p')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$unpacked/lib/libtrel.so.1")" ] ||
        fail "the unpacked update loads libtrel from ${loaded:-nowhere}"
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
