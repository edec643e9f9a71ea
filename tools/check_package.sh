#!/bin/sh
# Builds the Debian package the Debian way and checks it, as root on Debian
# 12: lintian --pedantic with no error and no warning, hardening-check on the
# packaged binary, then an install with apt-get, a run on a generated ICN
# file, thumbnails of a file of every kind through GNOME's and XFCE's own
# thumbnail services and KDE's preview job (with the gallivox-kde package), the man page linted by mandoc and rendered by man without warnings,
# and a purge that leaves
# nothing behind. The package lands beside the source tree, in "..".
# DEB_BUILD_OPTIONS=nocheck skips the test suite inside the package build.
set -eu
cd "$(dirname "$0")/.."
sh tools/setup.sh package
version=$(dpkg-parsechangelog -S Version)
deb="$(cd .. && pwd)/gallivox_${version}_$(dpkg --print-architecture).deb"
deb_kde="$(cd .. && pwd)/gallivox-kde_${version}_$(dpkg --print-architecture).deb"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check_package.sh: $*" >&2; exit 1; }

dpkg-buildpackage -us -uc -b
[ -f "$deb" ] || fail "no $deb"
[ -f "$deb_kde" ] || fail "no $deb_kde"

# No tag is left, informational and pedantic ones included; any that appears
# is printed, and errors and warnings fail the check.
lintian --pedantic --display-info --fail-on error,warning "$deb" "$deb_kde" || fail "lintian reports errors or warnings"

dpkg-deb -x "$deb" "$scratch/root"
hardening-check "$scratch/root/usr/bin/gallivox" > "$scratch/hardening" || true
cat "$scratch/hardening"
for feature in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
               "Read-only relocations" "Immediate binding"; do
    grep -q "^ $feature: yes" "$scratch/hardening" || fail "hardening: $feature is not yes"
done

apt-get install -y "$deb" "$deb_kde"
"obj-$(dpkg-architecture -qDEB_HOST_MULTIARCH)/make_sample_icn" "$scratch/drawn.icn"
(cd "$scratch" && gallivox -i drawn.icn -s s.png -l l.png && gallivox --batch drawn.icn) || fail "gallivox failed"
[ -f /usr/share/doc/gallivox/README.md ] || fail "the guide is not installed"
gallivox --help | grep -q -F /usr/share/doc/gallivox/README.md || fail "--help does not name the guide"
for png in s.png l.png drawn.png; do
    [ "$(head -c 8 "$scratch/$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$png is no PNG"
done
mkdir "$scratch/kinds"
"obj-$(dpkg-architecture -qDEB_HOST_MULTIARCH)/make_kinds" "$scratch/kinds" "$scratch/drawn.icn"
sh tools/check_thumbnailers.sh "$scratch/kinds" || fail "the desktops' thumbnail services failed"
sh tools/check_kde.sh "obj-$(dpkg-architecture -qDEB_HOST_MULTIARCH)/kde_preview" "$scratch/kinds" ||
    fail "KDE's preview job failed"
mandoc -T lint -W warning man/gallivox.1 || fail "mandoc -T lint reports on man/gallivox.1"
MANWIDTH=80 man --warnings gallivox > "$scratch/page" 2> "$scratch/man-warnings"
[ ! -s "$scratch/man-warnings" ] || fail "man reports: $(cat "$scratch/man-warnings")"
grep -q "EXIT STATUS" "$scratch/page" || fail "the man page has no EXIT STATUS"

apt-get purge -y gallivox gallivox-kde
for package in gallivox gallivox-kde; do
    if dpkg-query -W -f='${Status}\n' "$package" 2> /dev/null | grep -q installed; then
        fail "$package is still installed"
    fi
    [ -z "$(ls /var/lib/dpkg/info/"$package".* 2> /dev/null)" ] || fail "dpkg still holds $package's records"
done
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's/^\.//' | while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after the purge"
done
dpkg-deb -c "$deb_kde" | awk '{print $NF}' | sed 's/^\.//' | while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after the purge"
done
echo "check_package.sh: $deb and $deb_kde built, lintian-clean, hardened, installed, run and purged"
