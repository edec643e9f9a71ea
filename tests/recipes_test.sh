#!/bin/bash
# README's launcher recipes, each command line taken from README as it is
# printed there and run by bash on a fresh home whose ROM folder is laid out
# as the launcher's documentation describes; then the pictures where the
# launcher looks for them, a second run that changes nothing, and a cover
# put there by another program kept. Usage:
# recipes_test.sh GALLIVOX README ICN_FILE. Exits 1 on the first failure.
set -u
tool=$1
readme=$2
sample=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" "$scratch/bin/gallivox"
# What each picture must be: the sample's picture at 256 pixels.
"$tool" --thumbnail 256 "$sample" "$scratch/expected.png" || exit 1

fail() { echo "FAIL: $*" >&2; exit 1; }

# The recipe of README whose command line holds $1, as printed there.
recipe() {
    local line
    line=$(sed -n '/^## Collections for your launcher/,/^## [^C]/p' "$readme" | grep -E '^ +gallivox --batch ' |
        grep -F -- "$1")
    if [ -z "$line" ] || [ "$(printf '%s\n' "$line" | wc -l)" != 1 ]; then
        fail "README has no single recipe with $1"
    fi
    printf '%s\n' "${line#"${line%%gallivox*}"}"
}

# run_recipe COMMAND STATUS STDERR: runs it in a fresh shell with the tool on
# PATH and $HOME the scratch home; checks its status and both streams.
run_recipe() {
    (cd "$scratch/home" && HOME="$scratch/home" PATH="$scratch/bin:$PATH" bash -c "$1" \
        > "$scratch/out" 2> "$scratch/err")
    local got=$?
    [ "$got" = "$2" ] || fail "$1: status $got, expected $2: $(cat "$scratch/err")"
    [ ! -s "$scratch/out" ] || fail "$1: standard output: $(cat "$scratch/out")"
    [ "$(cat "$scratch/err"; echo .)" = "$3." ] || fail "$1: standard error: $(cat "$scratch/err")"
}

# A fresh home holding the games $@ (paths below it), each the sample.
fresh_home() {
    local game
    rm -rf "${scratch:?}/home"
    mkdir "$scratch/home"
    for game in "$@"; do
        mkdir -p "$scratch/home/$(dirname "$game")"
        cp "$sample" "$scratch/home/$game"
    done
}

# expect_pictures FOLDER NAME...: each NAME below FOLDER (of the home) is the
# picture expected, and nothing else is there but folders.
expect_pictures() {
    local folder=$scratch/home/$1 name found
    shift
    for name in "$@"; do
        cmp -s "$folder/$name" "$scratch/expected.png" || fail "$folder/$name is not the expected picture"
    done
    found=$(cd "$folder" && find . -type f | sort)
    [ "$found" = "$(for name in "$@"; do echo "./$name"; done | sort)" ] || fail "in $folder: $found"
}

# The same command again: quiet, nothing rewritten; then a cover that
# another program put at one name is kept, with status 4.
expect_second_runs() {
    local command=$1 folder=$scratch/home/$2 cover=$3 before
    before=$(cd "$folder" && find . -type f -printf '%p %T@ %i\n' | sort)
    run_recipe "$command" 0 ""
    [ "$(cd "$folder" && find . -type f -printf '%p %T@ %i\n' | sort)" = "$before" ] ||
        fail "$command: a second run changed $folder"
    printf 'a scraped cover' > "$folder/$cover"
    run_recipe "$command" 4 "Kept 1 existing file that differs; --force replaces it, --verbose names it."$'\n'
    [ "$(cat "$folder/$cover")" = "a scraped cover" ] || fail "$command: the cover $cover was replaced"
}

# ES-DE: downloaded_media/<system>/<type>/ mirrors the ROM folder's
# subfolders, and none of it exists on a fresh install.
fresh_home ROMs/n3ds/Homebrew/Timer.3ds ROMs/n3ds/Demos/Timer.3ds ROMs/n3ds/Zelda.cia
es_de=$(recipe downloaded_media) || exit 1
run_recipe "$es_de" 0 ""
expect_pictures ES-DE/downloaded_media/n3ds/covers Homebrew/Timer.png Demos/Timer.png Zelda.png
expect_second_runs "$es_de" ES-DE/downloaded_media/n3ds/covers Zelda.png
echo "ES-DE: $es_de"

# RetroArch: thumbnails/<playlist>/Named_Boxarts/<label>.png, flat, each of
# & * / : ` < > ? \ | in the label made _; a manual scan labels an entry with
# its file's name.
fresh_home "ROMs/3ds/Mario & Luigi.3ds" "ROMs/3ds/Kid Icarus: Uprising?.cia" 'ROMs/3ds/Europe/a*b`c<d>e\f|g.3ds'
retroarch=$(recipe Named_Boxarts) || exit 1
run_recipe "$retroarch" 0 ""
boxarts=".config/retroarch/thumbnails/Nintendo - Nintendo 3DS/Named_Boxarts"
expect_pictures "$boxarts" "Mario _ Luigi.png" "Kid Icarus_ Uprising_.png" "a_b_c_d_e_f_g.png"
expect_second_runs "$retroarch" "$boxarts" "Mario _ Luigi.png"
echo "RetroArch: $retroarch"

# Steam ROM Manager: a parser's local icons from /home/me/icons/${FILENAME}.png.
fresh_home "ROMs/3ds/Game One.3ds" "ROMs/3ds/Game Two.cia"
srm=$(recipe 'into ~/icons') || exit 1
run_recipe "$srm" 0 ""
expect_pictures icons "Game One.png" "Game Two.png"
expect_second_runs "$srm" icons "Game Two.png"
echo "Steam ROM Manager: $srm"
