# Shared by the project's scripts: installs what a fresh Debian 12 machine
# lacks, then configures and builds. Source it; it does not run on its own.

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the build, the tests and the demo need; the last line is
# for making the Debian package and checking it.
tarvik_packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-serialport-dev libgl-dev
    xvfb xauth fonts-liberation2
    dpkg-dev file desktop-file-utils libxml2-utils
)

# Installs the packages that are missing; a second run only checks.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # Another install running on the machine is waited for, not failed on.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...] [-- TARGET...]
# Builds the targets named after "--", or everything.
configure_and_build() {
    local build_dir="$1"
    shift
    local options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    local targets=()
    if [ $# -gt 0 ]; then
        shift
        targets=(--target "$@")
    fi
    cmake -S "$repo_root" -B "$build_dir" -G Ninja "${options[@]}" >/dev/null
    cmake --build "$build_dir" "${targets[@]}"
}

# ---- arm64 boards, built here -------------------------------------------
#
# The program for 64-bit ARM Linux (the small boards next to a fixture) is
# cross-built with Debian's cross compiler against the arm64 Qt libraries
# that multiarch installs beside the machine's own, and run here under
# qemu-user: a simulated install of them beside the amd64 ones removes
# nothing.
tarvik_arm64_packages=(
    crossbuild-essential-arm64
    qt6-base-dev:arm64 qt6-serialport-dev:arm64 libgl-dev:arm64
)

# One Release tree for the arm64 package, its tests and its figures; each
# script builds the targets it needs.
tarvik_arm64_build_dir="$repo_root/build-arm64"
tarvik_arm64_cmake_options=(
    -DCMAKE_TOOLCHAIN_FILE="$repo_root/packaging/arm64/aarch64-linux-gnu.cmake"
    -DCMAKE_BUILD_TYPE=Release -DTARVIK_WERROR=ON
)

# The Debian archive this machine installs from (not its security archive),
# from either form of apt's sources.
debian_archive() {
    local archive
    archive=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '$1 == "URIs:" && $2 !~ /security/ { print $2; exit }')
    [ -n "$archive" ] || archive=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | awk '$1 == "deb" && $3 !~ /security/ { print ($2 ~ /^\[/ ? $3 : $2); exit }')
    if [ -z "$archive" ]; then
        echo "No Debian archive in this machine's apt sources" >&2
        return 1
    fi
    echo "$archive"
}

# The emulator comes from Debian 12's backports: qemu-user 7.2 of Debian 12
# refuses the clone with CLONE_PIDFD that Qt's QProcess starts every program
# with (EINVAL), so under it a test cannot start the program or device-sim;
# 10.0 from the backports can. Nothing else is taken from the backports.
tarvik_emulator_minimum=1:10.0
tarvik_emulator_release=bookworm-backports

# Lets dpkg take arm64 packages, then installs the machine's own packages,
# the arm64 ones, the emulator and any named.
ensure_arm64_packages() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "Adding arm64 to dpkg's architectures"
        "${sudo[@]}" dpkg --add-architecture arm64
    fi
    ensure_packages "${tarvik_packages[@]}" "${tarvik_arm64_packages[@]}" "$@"

    local installed
    installed=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
    if [ -n "$installed" ] && dpkg --compare-versions "$installed" ge "$tarvik_emulator_minimum"; then
        return 0
    fi
    # The backports of the archive this machine installs from.
    local list=/etc/apt/sources.list.d/tarvik-backports.list
    if [ ! -f "$list" ]; then
        local archive
        archive=$(debian_archive) || return 1
        echo "deb $archive $tarvik_emulator_release main" | "${sudo[@]}" tee "$list" >/dev/null
    fi
    echo "Installing qemu-user from $tarvik_emulator_release"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q \
        --no-install-recommends "qemu-user/$tarvik_emulator_release" "qemu-user-binfmt/$tarvik_emulator_release"
}

# arm64 programs run here as if they were the machine's own, so a test's
# arm64 process can start the arm64 program and device-sim in turn: the
# kernel hands them to qemu-aarch64 through binfmt_misc. Debian's package
# leaves the registration to systemd-binfmt at boot; on a machine that
# booted without it (a container, a VM without systemd) it is made here from
# the same file. Its flag F has the kernel open the emulator once, at
# registration, so it runs inside another root too (debootstrap), and keeps
# that file even after an upgrade replaced it: the registration is made anew
# on every run.
ensure_arm64_emulation() {
    local binfmt=/proc/sys/fs/binfmt_misc
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    if [ ! -e "$binfmt/register" ]; then
        "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    if [ -e "$binfmt/qemu-aarch64" ]; then
        echo -1 | "${sudo[@]}" tee "$binfmt/qemu-aarch64" >/dev/null
    fi
    "${sudo[@]}" tee "$binfmt/register" </usr/lib/binfmt.d/qemu-aarch64.conf >/dev/null
}
