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
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local build_dir="$1"
    shift
    cmake -S "$repo_root" -B "$build_dir" -G Ninja "$@" >/dev/null
    cmake --build "$build_dir"
}
