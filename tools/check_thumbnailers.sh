#!/bin/sh
# Runs the installed thumbnailer as the desktops do, through their own
# thumbnail services: GNOME's thumbnail factory (which runs it under
# bubblewrap, as the file manager does) and XFCE's tumbler over D-Bus. Each
# file of KINDS (a directory that make_kinds wrote) must get a thumbnail
# whose pixels are its large icon enlarged, and damaged.cia none. HOME, the
# cache and the user's data live in a scratch directory; another installed
# thumbnailer that claims one of the types is masked there. Run after the
# package (or a `cmake --install`) is in place; Debian's python3 runs the checks.
# Usage: check_thumbnailers.sh KINDS
set -eu
cd "$(dirname "$0")/.."
kinds=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" XDG_DATA_HOME="$scratch/data" \
    XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME/thumbnailers" "$XDG_CONFIG_HOME"
for thumbnailer in /usr/share/thumbnailers/*.thumbnailer /usr/local/share/thumbnailers/*.thumbnailer; do
    name=$(basename "$thumbnailer")
    if [ -f "$thumbnailer" ] && [ "$name" != gallivox.thumbnailer ] &&
            grep -q '^MimeType=.*\(x-ctr-\|nintendo\)' "$thumbnailer"; then
        echo "check_thumbnailers.sh: masking $thumbnailer"
        printf '[Thumbnailer Entry]\nTryExec=false\nExec=false %%i %%o\nMimeType=\n' > "$XDG_DATA_HOME/thumbnailers/$name"
    fi
done
set -- "$kinds/sample.smdh" "$kinds/game.3dsx" "$kinds/game.cia" "$kinds/game.3ds" "$kinds/game.cxi" \
    "$kinds/game.zcci" "$kinds/game.nds" "$kinds/ds.cia" "$kinds/game.bcci" -- "$kinds/damaged.cia"
if bwrap --ro-bind / / true 2> /dev/null; then
    /usr/bin/python3 tools/thumbnail_services.py gnome "$scratch" "$@"
else
    echo "check_thumbnailers.sh: SKIPPED the GNOME thumbnail factory: bubblewrap cannot run here (no user namespaces)"
fi
rm -rf "${XDG_CACHE_HOME:?}/thumbnails"
dbus-run-session -- /usr/bin/python3 tools/thumbnail_services.py xfce "$scratch" "$@"
echo "check_thumbnailers.sh: GNOME's and XFCE's services made every thumbnail"
