#!/bin/sh
# Installs what building and testing gallivox needs on Debian 12, as root:
# the build dependencies that debian/control lists (the one list of them),
# with apt-get build-dep; nothing is fetched when all of it is there. Extra
# sets by name:
#   fuzz     clang and its runtime, for the libFuzzer targets
#   bench    Google Benchmark and GNU time, for bench/measure.sh
#   windows  MinGW-w64, Wine, dpkg-dev, the locale sources and msitools' wixl (the
#            installer), for tools/build_windows.sh
#   package  lintian, devscripts (hardening-check) and mandoc, for tools/check_package.sh,
#            and the desktops' thumbnail services it runs the package through:
#            GNOME's (gnome-desktop through python3-gi, bubblewrap) and XFCE's
#            (tumbler, with a D-Bus session), and KDE's thumbnail worker (kio-extras)
#   lint     shellcheck and clang-format, for the checks of style in .ci/run
set -eu
cd "$(dirname "$0")/.."
packages=""
for extra in "$@"; do
    case "$extra" in
        fuzz) packages="$packages clang libclang-rt-14-dev" ;;
        bench) packages="$packages libbenchmark-dev time" ;;
        windows) packages="$packages g++-mingw-w64-x86-64-posix wine64 dpkg-dev googletest locales wixl msitools python3" ;;
        package) packages="$packages lintian devscripts mandoc bubblewrap python3-gi gir1.2-gnomedesktop-3.0
            gir1.2-gdkpixbuf-2.0 tumbler dbus-daemon dbus-bin kio-extras" ;;
        lint) packages="$packages shellcheck clang-format" ;;
        *) echo "setup.sh: unknown package set $extra" >&2; exit 2 ;;
    esac
done
export DEBIAN_FRONTEND=noninteractive
updated=no
if ! command -v dpkg-checkbuilddeps > /dev/null || ! dpkg-checkbuilddeps > /dev/null 2>&1; then
    apt-get update
    updated=yes
    apt-get build-dep -y --no-install-recommends ./
fi
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    [ "$updated" = yes ] || apt-get update
    # shellcheck disable=SC2086 # a list of package names, split on purpose
    apt-get install -y --no-install-recommends $missing
fi
