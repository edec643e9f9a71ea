#!/bin/bash
# What a run leaves on disk when it is killed, when a system call fails, when
# two runs write one name, when no new file may be made, and when the input
# is a pipe; and a batch that must not hold a descriptor per file. Usage:
# replace_test.sh GALLIVOX ICN_FILE SECTION, where SECTION is kills, errors,
# pairs, readonly, pipes or batch. Exits 77 (skipped) when what a
# section needs is missing here, 1 on the first failure.
set -u
tool=$1
sample=$2
section=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
work=$scratch/work
mkdir "$work" "$scratch/ref"
cp "$sample" "$work/a.icn"
chmod 644 "$work/a.icn"
# The PNGs a clean run writes, to compare every outcome with.
"$tool" -i "$sample" -s "$scratch/ref/s.png" -l "$scratch/ref/l.png" || exit 1
printf old > "$scratch/ref/old"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
same() { cmp -s "$1" "$2"; }

# check NAME STATUS STDOUT STDERR -- COMMAND...: runs COMMAND in $work and
# compares its status and both streams byte for byte.
check() {
    local name=$1 status=$2 out=$3 err=$4
    shift 5
    (cd "$work" && "$@" > "$scratch/out" 2> "$scratch/err")
    local got=$?
    [ "$got" = "$status" ] || fail "$name: status $got, expected $status"
    [ "$(cat "$scratch/out"; echo .)" = "$out." ] || fail "$name: standard output: $(cat "$scratch/out")"
    [ "$(cat "$scratch/err"; echo .)" = "$err." ] || fail "$name: standard error: $(cat "$scratch/err")"
}

# The names in $work, hidden ones too, one a line.
names_in_work() {
    local path
    for path in "$work"/* "$work"/.[!.]*; do
        if [ -e "$path" ] || [ -L "$path" ]; then
            printf '%s\n' "${path##*/}"
        fi
    done
}

# Nothing in $work but the input and the named files.
only_files() {
    local extra kept=(-e a.icn) name
    for name in "$@"; do
        kept+=(-e "$name")
    done
    extra=$(names_in_work | grep -v -x -F "${kept[@]}")
    [ -z "$extra" ] || fail "left behind in $work: $extra"
}

reset_outputs() {
    rm -f "$work"/.[!.]* "$work"/*.png
    for name in "$@"; do cp "$scratch/ref/old" "$work/$name"; done
}

need_strace() {
    command -v strace > /dev/null || skip "strace is not installed"
    # Build sandboxes may forbid tracing.
    strace -o "$scratch/probe" true 2> /dev/null || skip "strace cannot trace processes here"
    # LeakSanitizer cannot run under a tracer.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
}

# Index (from 1) among the calls of SYSCALL in a trace of `tool ARGS` of the
# first call on the descriptor that an openat matching PATTERN returned, after
# SKIP earlier such calls on it.
call_index() {
    local syscall=$1 pattern=$2 skip_calls=$3
    shift 3
    (cd "$work" && strace -o "$scratch/trace" "$tool" "$@" > /dev/null 2>&1)
    awk -v call="$syscall" -v pattern="$pattern" -v skip="$skip_calls" '
        $0 ~ "^openat\\(.*" pattern && fd == "" { fd = $NF }
        index($0, call "(") == 1 {
            n++
            if (fd != "" && $0 ~ "^" call "\\(" fd "[,)]" && skip-- == 0) { print n; exit }
        }' "$scratch/trace"
}

kills() {
    need_strace
    reset_outputs s.png l.png
    (cd "$work" && strace -o "$scratch/trace" "$tool" -i a.icn -s s.png -l l.png) || fail "traced run failed"
    local points=0 syscall count n
    while read -r count syscall; do
        for ((n = 1; n <= count; n++)); do
            reset_outputs s.png l.png
            # The outer subshell takes the shell's report of the killed run.
            ( (cd "$work" && strace -o "$scratch/ignored" -e trace="$syscall" \
                -e inject="$syscall":signal=KILL:when="$n" "$tool" -i a.icn -s s.png -l l.png); true) 2> /dev/null
            for slot in s l; do
                same "$work/$slot.png" "$scratch/ref/old" || same "$work/$slot.png" "$scratch/ref/$slot.png" ||
                    fail "killed at $syscall #$n: $slot.png is neither the old nor the new file"
            done
            local stray
            stray=$(names_in_work | grep -v -x -E 'a\.icn|[sl]\.png|\.[sl]\.png\.[A-Za-z0-9]{6}')
            [ -z "$stray" ] || fail "killed at $syscall #$n: left $stray"
            points=$((points + 1))
        done
    done < <(grep -v -E '^(\+\+\+|---)' "$scratch/trace" | sed 's/(.*//' | sort | uniq -c)
    echo "kill points: $points, outputs lost or torn: 0"
}

# A batch of four files on three workers, killed at every system call of
# any of its threads: each PNG is its old file or its new one, with --force
# over old files, and without it where there were none (absent or whole,
# never a torn file that a later run would keep as the user's).
batch_kills() {
    need_strace
    local names=(b1 b2 b3 b4) name points=0 syscall count n mode old
    for name in "${names[@]}"; do cp "$work/a.icn" "$work/$name.icn"; done
    for mode in --force --verbose; do
        local run=(env GALLIVOX_JOBS=3 "$tool" --batch "$mode" b1.icn b2.icn b3.icn b4.icn)
        old=(); [ "$mode" = --force ] && old=(b1.png b2.png b3.png b4.png)
        reset_outputs "${old[@]}"
        (cd "$work" && strace -f -o "$scratch/trace" "${run[@]}") || fail "traced batch $mode failed"
        while read -r count syscall; do
            for ((n = 1; n <= count; n++)); do
                reset_outputs "${old[@]}"
                ( (cd "$work" && strace -f -o "$scratch/ignored" -e trace="$syscall" \
                    -e inject="$syscall":signal=KILL:when="$n" "${run[@]}"); true) 2> /dev/null
                for name in "${names[@]}"; do
                    if [ "$mode" = --force ]; then
                        same "$work/$name.png" "$scratch/ref/old" || same "$work/$name.png" "$scratch/ref/l.png" ||
                            fail "batch killed at $syscall #$n: $name.png is neither the old nor the new file"
                    elif [ -e "$work/$name.png" ]; then
                        same "$work/$name.png" "$scratch/ref/l.png" ||
                            fail "batch $mode killed at $syscall #$n: $name.png is not the new file"
                    fi
                done
                points=$((points + 1))
            done
        done < <(grep -v -E '(\+\+\+|---|<unfinished|resumed>)' "$scratch/trace" | sed -E 's/^[0-9]+ +//; s/\(.*//' |
                 grep -E '^[a-z_0-9]+$' | sort | uniq -c)
    done
    rm -f "$work"/b?.icn "$work"/.b?.png.* "$work"/b?.png
    echo "batch kill points on three workers: $points, outputs lost or torn: 0"
}

errors() {
    need_strace
    local eio="Input/output error" n
    # A read error inside the icon block, after a good magic (the read
    # between them is glibc's read-ahead in fseek, which recovers).
    n=$(call_index read '"a[.]icn"' 2 -i a.icn -l l.png)
    reset_outputs l.png
    check "read error" 3 "" "Could not read a.icn: $eio
" -- strace -o "$scratch/ignored" -e trace=read -e inject=read:error=EIO:when="$n" "$tool" -i a.icn -l l.png
    same "$work/l.png" "$scratch/ref/old" || fail "read error: l.png changed"
    # A failed close of the new file: the old one stays, nothing is left.
    n=$(call_index close '"[.]l[.]png[.]' 0 -i a.icn -l l.png)
    reset_outputs l.png
    check "close error" 3 "" "Could not write l.png: $eio
" -- strace -o "$scratch/ignored" -e trace=close -e inject=close:error=EIO:when="$n" "$tool" -i a.icn -l l.png
    same "$work/l.png" "$scratch/ref/old" || fail "close error: l.png changed"
    only_files l.png
    # A write that fails without an errno still gets a reason.
    check "write of nothing" 3 "" "Could not write l.png: $eio
" -- strace -o "$scratch/ignored" -e trace=write -e inject=write:retval=0:when=1 "$tool" -i a.icn -l l.png
    same "$work/l.png" "$scratch/ref/old" || fail "write of nothing: l.png changed"
    only_files l.png
    # A read error inside the walk of a container: the SMDH of a 3DSX, past
    # the bytes of its first read.
    { printf '3DSX\054\000'; head -c 26 /dev/zero; printf '\000\040\000\000\300\066\000\000'
      head -c $((0x2000 - 0x28)) /dev/zero; cat "$work/a.icn"; } > "$work/g.3dsx"
    n=$(call_index read '"g[.]3dsx"' 1 -i g.3dsx -l l.png)
    reset_outputs l.png
    check "walk read error" 2 "" "Could not read g.3dsx: $eio
" -- strace -o "$scratch/ignored" -e trace=read -e inject=read:error=EIO:when="$n" "$tool" -i g.3dsx -l l.png
    same "$work/l.png" "$scratch/ref/old" || fail "walk read error: l.png changed"
    rm "$work/g.3dsx"
    # And inside a header the walk reads past its first read: partition 0 of
    # an NCSD, at 0x4000.
    { head -c 256 /dev/zero; printf 'NCSD'; head -c 28 /dev/zero; printf '\040\000\000\000\040\000\000\000'
      head -c $((0x4000 - 0x128)) /dev/zero; cat "$work/a.icn"; } > "$work/g.3ds"
    n=$(call_index read '"g[.]3ds"' 1 -i g.3ds -l l.png)
    check "header read error" 2 "" "Could not read g.3ds: $eio
" -- strace -o "$scratch/ignored" -e trace=read -e inject=read:error=EIO:when="$n" "$tool" -i g.3ds -l l.png
    rm "$work/g.3ds"
    # --info reads a bare SMDH again for its titles: an error there too.
    n=$(call_index read '"a[.]icn"' 1 --info a.icn)
    check "info read error" 2 "[]
" "Could not read a.icn: $eio
" -- strace -o "$scratch/ignored" -e trace=read -e inject=read:error=EIO:when="$n" "$tool" --info a.icn
    # A read error on a pipe: nothing could be read.
    n=$(call_index read '"/dev/stdin"' 0 -i /dev/stdin -l p.png < "$work/a.icn")
    reset_outputs l.png
    check "pipe read error" 2 "" "Could not read /dev/stdin: $eio
" -- sh -c "cat a.icn | strace -o '$scratch/ignored' -e trace=read -e inject=read:error=EIO:when=$n '$tool' -i /dev/stdin -l p.png"
    only_files l.png
}

pairs() {
    local i
    for ((i = 0; i < 100; i++)); do
        reset_outputs
        (cd "$work" && { "$tool" -i a.icn -s out.png & "$tool" -i a.icn -l out.png & wait; })
        same "$work/out.png" "$scratch/ref/s.png" || same "$work/out.png" "$scratch/ref/l.png" ||
            fail "pair $i of writers: out.png is torn"
        only_files out.png
        # One run fails (no file may grow), the other succeeds.
        reset_outputs out.png
        (cd "$work" && { (trap '' XFSZ; ulimit -f 0; exec "$tool" -i a.icn -l out.png 2> /dev/null) &
                         "$tool" -i a.icn -s out.png & wait; })
        same "$work/out.png" "$scratch/ref/s.png" || fail "pair $i with a failing run: out.png lost"
        only_files out.png
    done
    echo "pairs: 200, outputs lost or torn: 0"
}

readonly_dir() {
    local as_user=()
    if [ "$(id -u)" = 0 ]; then
        command -v setpriv > /dev/null || skip "setpriv is not installed"
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        # The build tree may lie where that user cannot reach.
        cp "$tool" "$scratch/gallivox"
        tool=$scratch/gallivox
    fi
    mkdir "$work/ro"
    cp "$scratch/ref/old" "$work/ro/out.png"
    chmod 666 "$work/ro/out.png"
    chmod 555 "$work/ro"
    check "writable file, read-only directory" 0 "" "" -- "${as_user[@]}" "$tool" -i a.icn -l ro/out.png
    same "$work/ro/out.png" "$scratch/ref/l.png" || fail "ro/out.png was not written in place"
    check "new file, read-only directory" 3 "" "Could not write ro/new.png: Permission denied
" -- "${as_user[@]}" "$tool" -i a.icn -l ro/new.png
    [ "$(ls -A "$work/ro")" = out.png ] || fail "left in ro: $(ls -A "$work/ro")"
}

pipes() {
    check "pipe" 0 "" "" -- sh -c "cat a.icn | '$tool' -i /dev/stdin -s s.png -l l.png"
    if ! { same "$work/s.png" "$scratch/ref/s.png" && same "$work/l.png" "$scratch/ref/l.png"; }; then
        fail "pipe: wrong PNGs"
    fi
    reset_outputs
    mkfifo "$work/fifo"
    check "FIFO" 0 "" "" -- sh -c "cat a.icn > fifo & '$tool' -i fifo -l l.png; wait"
    same "$work/l.png" "$scratch/ref/l.png" || fail "FIFO: wrong PNG"
    rm "$work/fifo"
    reset_outputs
    check "endless pipe after an ICN file" 0 "" "" -- \
        timeout 10 sh -c "(cat a.icn; yes) | '$tool' -i /dev/stdin -l l.png"
    same "$work/l.png" "$scratch/ref/l.png" || fail "endless pipe: wrong PNG"
    check "endless pipe" 1 "" "/dev/stdin is not an ICN file" -- timeout 10 sh -c "yes | '$tool' -i /dev/stdin -l x.png"
    check "pipe ending in the large icon" 3 "" "/dev/stdin is too short for the large icon.
" -- sh -c "head -c 9500 a.icn | '$tool' -i /dev/stdin -s s.png -l l.png"
    only_files l.png s.png
    # A link of our own to the descriptor, as /dev/stdout is: written through.
    ln -s /proc/self/fd/1 "$work/stdout-link"
    check "descriptor link" 0 "" "" -- sh -c "'$tool' -i a.icn -l stdout-link | cat > piped.png"
    same "$work/piped.png" "$scratch/ref/l.png" || fail "descriptor link: wrong PNG"
    [ -L "$work/stdout-link" ] || fail "descriptor link: the link was replaced"
    only_files l.png s.png stdout-link piped.png
}

# 2,000 files in one batch, 500 of them 3DSX files, with room for 32
# descriptors in all: no file's descriptor may stay open.
batch() {
    local k i names pngs
    mkdir "$work/many"
    { printf '3DSX\054\000'; head -c 26 /dev/zero; printf '\054\000\000\000\300\066\000\000\000\000\000\000'
      cat "$work/a.icn"; } > "$scratch/g.3dsx"
    for k in 0 1 2 3; do
        names=()
        for i in {1..500}; do
            names+=("$(printf '%s/many/f%s-%03d.icn' "$work" "$k" "$i")")
        done
        if [ "$k" = 3 ]; then
            names=("${names[@]/%.icn/.3dsx}")
            tee "${names[@]}" < "$scratch/g.3dsx" > "$scratch/tee"
        else
            tee "${names[@]}" < "$work/a.icn" > "$scratch/tee"
        fi
    done
    check "2,000 files under ulimit -n 32" 0 "" "" -- bash -c "ulimit -n 32 && exec '$tool' --batch many/*.icn many/*.3dsx"
    pngs=("$work"/many/*.png)
    [ "${#pngs[@]}" = 2000 ] || fail "batch: not 2,000 PNGs"
    same "$work/many/f3-500.png" "$scratch/ref/l.png" || fail "batch: wrong PNG"
    # Files that fail close theirs too: 40 without an icon, then one that
    # converts.
    mkdir "$work/failing"
    local err=""
    for i in {10..49}; do
        { printf '3DSX\040\000'; head -c 26 /dev/zero; } > "$work/failing/f$i.3dsx"
        err+="failing/f$i.3dsx holds no icon.
"
    done
    cp "$scratch/g.3dsx" "$work/failing/g.3dsx"
    check "40 failures under ulimit -n 32" 1 "" "$err" -- bash -c "ulimit -n 32 && exec '$tool' --batch failing/*.3dsx"
    same "$work/failing/g.png" "$scratch/ref/l.png" || fail "batch: no PNG after failures"
}

case "$section" in
    kills) kills && batch_kills ;;
    errors) errors ;;
    pairs) pairs ;;
    readonly) readonly_dir ;;
    pipes) pipes ;;
    batch) batch ;;
    *) echo "replace_test.sh: unknown section $section" >&2; exit 2 ;;
esac
