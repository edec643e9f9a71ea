#!/bin/sh
# Runs KDE's own preview machinery on a file of every kind that make_kinds
# wrote into KINDS, as Dolphin does on Plasma 5: KIO::PreviewJob through the
# thumbnail worker of Debian's kio-extras, with the installed gallivox-kde
# plugin enabled, headless (Qt's offscreen platform) inside a D-Bus session
# of its own. Each 256-pixel preview must be the large icon that the
# installed gallivox writes, enlarged; damaged.cia must get none. HOME, the
# cache and the configuration live in a scratch directory.
# Usage: check_kde.sh KDE_PREVIEW KINDS
set -eu
preview=$1
kinds=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CACHE_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
set --
for file in "$kinds"/*; do
    icon="$scratch/$(basename "$file").png"
    if gallivox -i "$file" -l "$icon" > /dev/null 2>&1; then
        set -- "$@" "$file" "$icon"
    else
        set -- "$@" "$file" -
    fi
done
dbus-run-session -- "$preview" "$@"
echo "check_kde.sh: KDE's preview job showed every icon through the gallivox-kde plugin"
