#!/usr/bin/env bash
# The package on a fresh board: a minimal Debian 12 root of the package's
# architecture (debootstrap, its second stage run under qemu-user), the
# package installed there with apt so that its Depends resolve from the
# archive as they would on the board, and then, inside that root, the
# program's --version, its flash --help, and one flash against a simulated
# device on a pseudo-terminal of the root's own.
#
# package_root_test.sh DEB DEVICE_SIM FIRMWARE
#
# DEVICE_SIM is device-sim built for the same architecture; it is copied
# into the root and runs on the Qt Core the package brought. Needs root
# (debootstrap, chroot, mount) and qemu-user registered with binfmt_misc
# with the flag F, so that the root needs no emulator of its own.
#
# The bootstrapped root is kept as a tarball in TARVIK_CACHE (default
# ~/.cache/tarvik) and every run unpacks a fresh copy of it: a first run
# takes minutes longer than later ones.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: package_root_test.sh DEB DEVICE_SIM FIRMWARE" >&2
    exit 2
fi
deb=$(realpath "$1")
device_sim=$(realpath "$2")
firmware=$(realpath "$3")
if [ "$(id -u)" -ne 0 ]; then
    exec sudo -E "$0" "$@"
fi

arch=$(dpkg-deb --field "$deb" Architecture)
suite=bookworm
cache="${TARVIK_CACHE:-$HOME/.cache/tarvik}"
tarball="$cache/debian-$suite-$arch-root.tar"

# The archive this machine installs from, for the root too.
source "$(dirname "$0")/../scripts/setup.sh"
mirror=$(debian_archive)

work=$(mktemp -d)
root="$work/root"
mounted=()
device_pid=

# Whether process $1 has ended (gone, or a zombie not yet waited for).
ended() {
    local state
    state=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || return 0
    [ -z "$state" ] || [ "$state" = Z ]
}
# The processes running inside the root: whatever this check started there
# and has not ended.
processes_in_root() {
    local process
    for process in /proc/[0-9]*; do
        if [ "$(readlink "$process/root" 2>/dev/null)" = "$root" ]; then
            echo "${process#/proc/}"
        fi
    done
}
# Ends the simulated device: asked first (it stops on SIGTERM and lets its
# line go), then made to.
stop_device() {
    [ -n "$device_pid" ] || return 0
    kill "$device_pid" 2>/dev/null || true
    local tries=0
    while ! ended "$device_pid" && [ $tries -lt 100 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    kill -KILL "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
    device_pid=
}
cleanup() {
    stop_device
    # Nothing started in the root outlives the check, whichever way it ends.
    local process
    for process in $(processes_in_root); do
        kill -KILL "$process" 2>/dev/null || true
    done
    local at
    for ((at = ${#mounted[@]} - 1; at >= 0; at--)); do
        umount "${mounted[at]}" 2>/dev/null || umount -l "${mounted[at]}" || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
# Stopped from outside (Ctrl+C, CI's time limit): the cleanup still runs.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mount_in_root() { # mount_in_root MOUNT-ARGUMENTS... TARGET
    mount "$@"
    mounted+=("${!#}")
}
in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
# Starts a program of the root in the background, its output to FILE. The
# subshell, chroot and env each replace themselves with the next, so the id
# in $! is the program's own and ending it ends the program. (A function
# run with & is a shell of its own: ending it would leave the program
# running, orphaned, holding its pseudo-terminal and its link.)
start_in_root() { # start_in_root FILE PROGRAM ARGUMENTS...
    local output=$1
    shift
    (exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@" >"$output" 2>&1) &
}

started=$SECONDS
if [ ! -f "$tarball" ]; then
    echo "Bootstrapping a minimal Debian $suite root for $arch (kept in $tarball)"
    mkdir -p "$cache"
    fresh="$work/fresh"
    debootstrap --arch="$arch" --variant=minbase --foreign "$suite" "$fresh" "$mirror" >"$work/debootstrap.log" 2>&1 \
        || { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
    # The second stage runs the root's own programs: under qemu-user.
    chroot "$fresh" /debootstrap/debootstrap --second-stage >>"$work/debootstrap.log" 2>&1 \
        || { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
    rm -rf "$fresh"/var/cache/apt/archives/*.deb
    tar -C "$fresh" -cf "$tarball.part" .
    mv "$tarball.part" "$tarball"
    rm -rf "$fresh"
    echo "Root bootstrapped in $((SECONDS - started)) s"
fi

mkdir "$root"
tar -C "$root" -xf "$tarball"
mount_in_root -t proc proc "$root/proc"
# Pseudo-terminals of the root's own: the device's port is made inside it.
mount_in_root -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
rm -f "$root/dev/ptmx"
ln -s pts/ptmx "$root/dev/ptmx"
cp /etc/resolv.conf "$root/etc/resolv.conf"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

installing=$SECONDS
cp "$deb" "$root/tmp/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
if ! in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >>"$work/apt.log" 2>&1; then
    cat "$work/apt.log" >&2
    echo "FAIL: apt could not install $(basename "$deb") in a fresh $arch root" >&2
    exit 1
fi
echo "Installed $(basename "$deb") with apt in the $arch root in $((SECONDS - installing)) s:" \
    "$(grep -c '^Setting up' "$work/apt.log") packages set up"
grep -q '^Setting up tarvik-downloader' "$work/apt.log" || fail "apt did not set up tarvik-downloader"

version=$(in_root tarvik-downloader --version 2>&1) || fail "tarvik-downloader --version failed: $version"
echo "$version"
[ "$version" = "tarvik-downloader $(dpkg-deb --field "$deb" Version)" ] || fail "--version says '$version'"

help=$(in_root tarvik-downloader flash --help 2>&1) || fail "tarvik-downloader flash --help failed: $help"
grep -q -- '--port' <<<"$help" || fail "flash --help does not tell about --port: $help"

# One flash as a station on the board runs it: the device behind port 1's
# first name (/dev/COM1), the program on port 1, the production log kept.
cp "$device_sim" "$root/tmp/device-sim"
cp "$firmware" "$root/tmp/firmware.txt"
start_in_root "$work/device.out" /tmp/device-sim --rate 19200 --reply-delay 20 --version 42 --link /dev/COM1
device_pid=$!
tries=0
until [ -L "$root/dev/COM1" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ] || ! kill -0 "$device_pid" 2>/dev/null; then
        cat "$work/device.out" >&2
        echo "FAIL: the simulated device did not start in the root" >&2
        exit 1
    fi
    sleep 0.05
done
flash_status=0
in_root timeout 120 tarvik-downloader flash --port 1 --file /tmp/firmware.txt --check --log /tmp/station.csv \
    >"$work/flash.out" 2>&1 || flash_status=$?
cat "$work/flash.out"
[ "$flash_status" -eq 0 ] || fail "flash exited with $flash_status"
grep -Eq '^1 +/dev/COM1 +19200 +pass +0 .* 42 ' "$work/flash.out" || fail "the summary has no pass at 19200 with version 42"
grep -q ',1,/dev/COM1,19200,/tmp/firmware.txt,.*,pass,OK!,42,' "$root/tmp/station.csv" \
    || fail "the log has no pass line: $(cat "$root/tmp/station.csv" 2>/dev/null)"

# The device is ended as the check ends it on any way out; then nothing the
# check started may be left running in the root.
stop_device
left=$(processes_in_root)
if [ -n "$left" ]; then
    fail "still running in the root after the device was stopped: $(for process in $left; do
        tr '\0' ' ' <"/proc/$process/cmdline" 2>/dev/null
        echo
    done)"
fi

echo "The $arch root: $((SECONDS - started)) s in all"
if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed in the $arch root" >&2
    exit 1
fi
echo "the package installs and flashes in a fresh $arch root"
