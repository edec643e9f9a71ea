#!/bin/sh
# The Windows installer under Wine, in a prefix of its own: a build of a
# lower version installed silently, then this one over it (an upgrade in
# place); the files, the registry, PATH and a foreign thumbnail handler
# checked; the thumbnail and title of a CIA asked for through COM by class
# ID alone, as Explorer asks; then a silent uninstall, after which the
# machine's registry and PATH are as they were, but for Windows Installer's
# own empty keys. Usage: check_installer.sh MSI WINE SOURCE_DIR BUILD_DIR
# COM_HOST. Exits 77 when there is no installer.
set -eu
msi=$1
wine=$2
source_dir=$3
build_dir=$4
com_host=$5
[ -f "$msi" ] || { echo "SKIP: no $msi (made by tools/build_windows.sh --release)"; exit 77; }
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
trap 'wineserver64_kill; rm -rf "$scratch"' EXIT
wineserver64_kill() { WINEPREFIX="$scratch/prefix" "$(dirname "$wine")/wineserver" -k 2> /dev/null || true; }
fail() { echo "FAIL: $*" >&2; exit 1; }
reg() { "$wine" reg "$@" 2> /dev/null | tr -d '\r'; }
handler='{E357FCCD-A995-4576-B01F-234630154E96}'
foreign='{11111111-2222-3333-4444-555555555555}'
environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
installed="$scratch/prefix/drive_c/Program Files/Gallivox"

"$wine" wineboot -i > /dev/null 2>&1
# Another program's thumbnail handler of .nds, which must survive it all.
reg add "HKLM\\Software\\Classes\\.nds\\ShellEx\\$handler" /ve /d "$foreign" /f > /dev/null
path_before=$(reg query "$environment" /v Path | grep ' Path ')
"$wine" reg export HKLM "$scratch/before.reg" /y > /dev/null 2>&1
iconv -f UTF-16 -t UTF-8 "$scratch/before.reg" | tr -d '\r' > "$scratch/before.txt"

python3 "$source_dir/windows/make_msi.py" 0.0.1 "$build_dir/release" "$source_dir" "$scratch/old.msi" > /dev/null
"$wine" msiexec /i "$scratch/old.msi" /qn || fail "the lower version did not install"
# Wine's property system logs the schema calls it stubs: in the upgrade,
# the lower version's schema taken back, then this one's registered.
WINEDEBUG=fixme+propsys "$wine" msiexec /i "$msi" /qn 2> "$scratch/install.log" || fail "the installer failed"
schema='"C:\\\\Program Files\\\\Gallivox\\\\gallivox.propdesc"'
calls=$(grep -o "PS[A-Za-z]*PropertySchema L$schema" "$scratch/install.log" | cut -d' ' -f1 | tr '\n' ' ')
[ "$calls" = "PSUnregisterPropertySchema PSRegisterPropertySchema " ] || fail "schema calls: $calls"
versions=$(reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -c 'DisplayName.*Gallivox' || true)
[ "$versions" = 1 ] || fail "$versions Gallivox entries in the installed programs"
reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -q "DisplayVersion.*$(basename "$msi" | sed 's/gallivox-\([0-9.]*\)-.*/\1/').0" ||
    fail "the upgrade did not replace the lower version"
for file in gallivox.exe gallivox_thumbnail.dll gallivox.propdesc README.md LICENSE.txt README-Windows.txt docs/usage.md; do
    [ -f "$installed/$file" ] || fail "$file is not installed"
done
path=$(reg query "$environment" /v Path | grep ' Path ')
[ "$(echo "$path" | grep -o 'C:\\Program Files\\Gallivox\\;' | wc -l)" = 1 ] || fail "PATH: $path"
reg query "HKLM\\Software\\Classes\\.cia\\ShellEx\\$handler" /ve | grep -q '{720D36A6-E771-4D58-9F33-CE74B3314BDE}' ||
    fail "no thumbnail handler for .cia"
reg query "HKLM\\Software\\Classes\\.nds\\ShellEx\\$handler" /ve | grep -q "$foreign" || fail "the foreign handler was replaced"
reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\PropertySystem\PropertyHandlers\.zcci' /ve |
    grep -q '{4922333A-7AE3-4FB2-9C56-4DD9B22FE6D5}' || fail "no property handler for .zcci"

# Through COM, by class ID: the installed DLL's thumbnail, as the command
# makes it, and the title.
cp "$source_dir/samples/sample.icn" "$scratch/sample.cia"
# Its English short title (UTF-16LE at 0x208): "Gallivox".
printf 'G\000a\000l\000l\000i\000v\000o\000x\000' | dd of="$scratch/sample.cia" bs=1 seek=520 conv=notrunc 2> /dev/null
"$wine" "$installed/gallivox.exe" --thumbnail 96 "$scratch/sample.cia" "$scratch/command.png"
properties=$("$wine" "$com_host" "$scratch/sample.cia" "$scratch/com.png" | tr -d '\r') ||
    fail "COM gave no thumbnail or properties"
cmp -s "$scratch/command.png" "$scratch/com.png" || fail "COM's thumbnail is not the command's"
title=$(echo "$properties" | grep '^System.Title: ') || fail "COM gave no title: $properties"
[ "$title" = "System.Title: Gallivox" ] || fail "COM's title: $title"

WINEDEBUG=fixme+propsys "$wine" msiexec /x "$msi" /qn 2> "$scratch/remove.log" || fail "the uninstall failed"
grep -q "PSUnregisterPropertySchema L$schema" "$scratch/remove.log" || fail "the schema was not taken back"
[ ! -e "$installed" ] || fail "files are left in $installed"
[ "$(reg query "$environment" /v Path | grep ' Path ')" = "$path_before" ] || fail "PATH is not as it was"
"$wine" reg export HKLM "$scratch/after.reg" /y > /dev/null 2>&1
iconv -f UTF-16 -t UTF-8 "$scratch/after.reg" | tr -d '\r' > "$scratch/after.txt"
# The keys that changed, but Windows Installer's own bookkeeping and Wine's
# display drivers'.
changed=$(diff "$scratch/before.txt" "$scratch/after.txt" | grep -E '^[<>] \[' | grep -v -E 'Installer|Control.Video' || true)
[ -z "$changed" ] || fail "the registry is not as it was: $changed"
reg query "HKLM\\Software\\Classes\\.nds\\ShellEx\\$handler" /ve | grep -q "$foreign" || fail "the foreign handler was removed"
echo "installer: upgraded over 0.0.1, checked, asked through COM ($title), uninstalled; registry and PATH as before"
