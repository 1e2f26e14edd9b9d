#!/usr/bin/env bash
# The Debian package is complete: made with cpack from this build tree into a
# scratch folder and unpacked there, it holds the program, its desktop entry
# and its icon and nothing else, its control fields are filled in, and every
# library the program needs resolves and comes from a package it depends on.
#
# package_test.sh CPACK BUILD_DIR VERSION    makes the package and checks it
# package_test.sh --check DEB VERSION [ARCH]  checks a package made before,
#                                             for ARCH (default: this machine's)
#
# A package for another architecture (arm64, cross-built here) is checked
# against that architecture's libraries, which multiarch installs beside the
# machine's own; its program's libraries are listed by its own dynamic
# loader, which runs under qemu-user through binfmt_misc.
set -euo pipefail

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

arch=$(dpkg --print-architecture)
if [ "$1" = --check ]; then
    deb=$2
    version=$3
    arch=${4:-$arch}
else
    cpack=$1
    build_dir=$2
    version=$3
    # A cross build names the architecture it packages for.
    cross_arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build_dir/CPackConfig.cmake")
    arch=${cross_arch:-$arch}
    if ! "$cpack" --config "$build_dir/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
        cat "$scratch/cpack.log" >&2
        echo "FAIL: cpack did not make the package" >&2
        exit 1
    fi
    debs=("$scratch"/out/*.deb)
    if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        echo "FAIL: cpack made ${#debs[@]} packages, not one: ${debs[*]}" >&2
        exit 1
    fi
    deb=${debs[0]}
fi
echo "package: $(basename "$deb")"
dpkg-deb --info "$deb"

# Control fields.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tarvik-downloader ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
for name in Maintainer Section Description; do
    [ -n "$(field "$name")" ] || fail "no $name field"
done
depends=$(field Depends)
# The package names in Depends, one a line, without versions.
depended=$(tr ',|' '\n\n' <<<"$depends" | sed -e 's/(.*)//' -e 's/[[:space:]]//g' | sed '/^$/d' | sort -u)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6; do
    grep -qx "$package" <<<"$depended" || fail "Depends lacks $package: $depends"
done

# Contents: exactly the program, the desktop entries and the icon.
root=$scratch/root
dpkg-deb --extract "$deb" "$root"
program=usr/bin/tarvik-downloader
entry=usr/share/applications/tarvik-downloader.desktop
station_entry=usr/share/applications/tarvik-station.desktop
icon=usr/share/icons/hicolor/scalable/apps/tarvik-downloader.svg
actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)
expected=$(printf '%s\n' "$program" "$entry" "$station_entry" "$icon" | sort)
[ "$actual" = "$expected" ] || fail "the package holds:
$actual
and should hold:
$expected"

[ -x "$root/$program" ] || fail "$program is not executable"

# The desktop entry is valid and starts the program with the icon.
if [ -f "$root/$entry" ]; then
    desktop-file-validate "$root/$entry" || fail "desktop-file-validate rejects $entry"
    entry_value() { sed -n "s/^$1=//p" "$root/$entry"; }
    [ "$(entry_value Name)" = "Tarvik Downloader" ] || fail "Name is '$(entry_value Name)'"
    exec_command=$(entry_value Exec | cut -d' ' -f1)
    [ "$exec_command" = "$(basename "$program")" ] || fail "Exec runs '$exec_command', not the program"
    [ "$(entry_value Icon)" = "$(basename "$icon" .svg)" ] || fail "Icon is '$(entry_value Icon)', not the icon"
fi
# The station's entry opens the station window, empty, with the same icon.
if [ -f "$root/$station_entry" ]; then
    desktop-file-validate "$root/$station_entry" || fail "desktop-file-validate rejects $station_entry"
    station_value() { sed -n "s/^$1=//p" "$root/$station_entry"; }
    [ "$(station_value Name)" = "Tarvik Station" ] || fail "Name is '$(station_value Name)'"
    [ "$(station_value Exec)" = "$(basename "$program") station" ] || fail "Exec is '$(station_value Exec)', not the station"
    [ "$(station_value Icon)" = "$(basename "$icon" .svg)" ] || fail "Icon is '$(station_value Icon)', not the icon"
fi
if [ -f "$root/$icon" ]; then
    xmllint --noout "$root/$icon" || fail "$icon is not well-formed"
    grep -q '<svg' "$root/$icon" || fail "$icon is not an SVG image"
fi

# Every library resolves, and each one the program links to directly comes
# from a package in Depends, in the package's architecture.
list_libraries() { # as ldd lists them; ldd knows only this machine's loaders
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        ldd "$1"
    else
        local loader
        loader=$(readelf -l "$1" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
        "$loader" --list "$1"
    fi
}
if [ -f "$root/$program" ]; then
    libraries=$(list_libraries "$root/$program") || fail "the program's libraries cannot be listed: $libraries"
    if grep -q 'not found' <<<"$libraries"; then
        fail "libraries that do not resolve:
$(grep 'not found' <<<"$libraries")"
    fi
    # The package that owns a file, as dpkg names it: "name:arch" for a
    # library of which each architecture has its own.
    owner_of() {
        local path=$1 other
        case $path in
        /usr/*) other=${path#/usr} ;;
        *) other=/usr$path ;;
        esac
        { dpkg -S "$path" 2>/dev/null || dpkg -S "$other" 2>/dev/null || true; } | head -n1 | sed 's/: .*//'
    }
    needed=$(objdump -p "$root/$program" | awk '$1 == "NEEDED" { print $2 }')
    [ -n "$needed" ] || fail "objdump finds no libraries the program needs"
    for library in $needed; do
        # ldd lists the dynamic loader by its path alone, without "=>" (it
        # is NEEDED by a program that uses thread-local storage).
        path=$(awk -v lib="$library" '
            $1 == lib && $2 == "=>" { print $3 }
            substr($1, length($1) - length(lib)) == "/" lib { print $1 }' <<<"$libraries")
        if [ -z "$path" ]; then
            fail "ldd does not resolve $library"
            continue
        fi
        owner=$(owner_of "$path")
        if [ -z "$owner" ]; then
            fail "no package owns $path ($library)"
        elif ! grep -qx "${owner%%:*}" <<<"$depended"; then
            fail "$library comes from $owner, which Depends lacks: $depends"
        elif [[ $owner == *:* ]] && [ "${owner#*:}" != "$arch" ]; then
            fail "$library resolves to $path, from $owner, not from an $arch package"
        fi
    done
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed" >&2
    exit 1
fi
echo "the package is complete"
