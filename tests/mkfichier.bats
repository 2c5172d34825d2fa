#!/usr/bin/env bats
# Tests of the built tool. A case is a row, run in a fresh directory: row NAME ARGS BEFORE OUTPUT AFTER [END]. NAME:
# what it checks, shown where it fails. ARGS: split at blanks ('' for an empty one). BEFORE, AFTER: the whole tree
# (* for any): dir/ (mode 700), file (holding the tool's line for its name, mode 644), file=text, link->target, @MODE
# after any. OUTPUT, a word a report (* for any): +FILE created, =FILE already there, !ARG:ERRNO and ?FILE:ERRNO the
# path and create failures (ERRNO: a name or a number). END: "exit 0", the default, or "signal N" (killed by it).
# Words take \xHH and \t; stderr must be empty. Set before a row: AS=nobody, UMASK, LIMITS (prlimit's options), FAULT
# (see fault.c), IGNORE and BLOCK (signals ignored or blocked at the start), NS (shell run first, as root, in a mount
# namespace of its own), STDOUT=pipe (the default)|pipe:N (holding N bytes, read at the end)|file|log (appended to)|
# unread (its reader gone)|closed|tty. A row that fails fails its test once the rows after it have run.
# shellcheck disable=SC2030,SC2031,SC2086,SC2155 # rows set their variables for themselves; words split on purpose
bats_load_library bats-support
bats_load_library bats-assert

# RUNNER (qemu-user) runs the tool. Reasons are the target libc's texts, by the fault library (static tool: the host's).
setup_file() {
    local v unset=()
    for v in MKFICHIER FAULT_LIB VERSION MANUAL; do [ -n "${!v:-}" ] || unset+=("$v"); done
    [ "${#unset[@]}" -eq 0 ] || fail "${unset[*]} unset: ctest sets them (cmake --workflow --preset test, then" \
        "ctest --test-dir build-default)"
    BIN=$(mktemp -d) && chmod 755 "$BIN" && cp "$MKFICHIER" "$FAULT_LIB" "$BIN" && export BIN RUNNER=${RUNNER:-}
    env FAULT_STRERROR=524 "${RUNNER:+QEMU_SET_ENV=}LD_PRELOAD=$BIN/libfault.so" $RUNNER "$BIN/mkfichier" >"$BIN/errno"
    export STATIC=$(readelf -l "$BIN/mkfichier" | grep -q INTERP || echo 1)
}
teardown_file() { rm -rf "$BIN"; }
# In $TMPDIR, else on tmpfs where there is one: disks are slow at making files.
setup() { T=$(mktemp -d -p "${TMPDIR:-$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)}") && export T && ulimit -c 0; }
teardown() {
    local failed=0
    [ ! -e "$T/failed" ] || failed=1
    chmod -R u+rwX "$T" && rm -rf "$T"
    return "$failed"
}
row() {
    [ -z "${FAULT:-}" ] || [ -z "$STATIC" ] || skip "a static tool takes no preload: no fault reaches it"
    chmod 755 "$T" || return
    printf '%s\0' "$@" | perl "$BATS_TEST_DIRNAME/harness.pl" row || touch "${FAILED:-$T/failed}"
}
root() { [ "$(id -u)" = 0 ] && [ -z "${FAKEROOTKEY:-}" ]; } # fakeroot is not root
namespace() {
    root || skip "a mount namespace needs root"
    local e
    e=$(unshare -m --propagation private true 2>&1) && return
    # A chroot's / that is not a mount point cannot be made private: mounts are kept from the host, never shared.
    awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo ||
        skip "/ is not a mount point here, so no private mount namespace can be made; make it one: mount --bind / /"
    skip "no mount namespace here: $e"
}
unsanitized() { [ -z "${SANITIZED:-}" ] || skip "$1"; }
rep() { local s && printf -v s "$2 %.0s" $(seq "$1") && echo "${s% }"; }             # N times a word
each() { local s && printf -v s "$2$3fichier_%02d " $(seq "$1") && echo "${s% }"; } # PREFIX ARG fichier_NN, N times
long() { printf "$1%.0s" $(seq "$2"); }                                              # a word N times, unbroken

@test "directories, files and reports" {
    row 'no argument' '' '' '' ''
    row 'the hundredth argument' "$(rep 100 d/)" '' "$(each 100 + d/)" "d/ $(each 100 '' d/)"
    row "names follow positions; a name is glued where no '/' ends the argument" 'out/a/ a/b/c out d1/ d2/ d1/' '' \
        '+out/a/fichier_01 +a/b/cfichier_02 +outfichier_03 +d1/fichier_04 +d2/fichier_05 +d1/fichier_06' \
        'out/ out/a/ a/ a/b/ a/b/c/ outfichier_03 out/a/fichier_01 a/b/cfichier_02 d1/ d2/ d1/fichier_04
        d2/fichier_05 d1/fichier_06'
    row 'a level named twice' 'a// x/./y/ p/../q/ n/.' '' '+a//fichier_01 +x/./y/fichier_02 +p/../q/fichier_03
        +n/.fichier_04' 'a/ a/fichier_01 x/ x/y/ x/y/fichier_02 p/ q/ q/fichier_03 n/ n/.fichier_04'
    row 'a level named twice, made already' 'a//' 'a/' '+a//fichier_01' 'a/ a/fichier_01'
    row "a ':' stops the walk up, but as the first byte" 'c:dir x: :x/ c:dir/sub/ y/:/' '' \
        '!c:dir:ENOENT !x::ENOENT +:x/fichier_03 !c:dir/sub/:ENOENT !y/:/:ENOENT' ':x/ :x/fichier_03'
    row "a ':' above the first usable level" 'c:dir/sub/' 'c:dir/' '+c:dir/sub/fichier_01' \
        'c:dir/ c:dir/sub/ c:dir/sub/fichier_01'
    row 'arguments are used byte for byte' "'' ok/ \\x20sp/ ~/ a\\tb/" '' \
        '!:ENOENT +ok/fichier_02 +\x20sp/fichier_03 +~/fichier_04 +a\tb/fichier_05' \
        'ok/ ok/fichier_02 \x20sp/ ~/ a\tb/ \x20sp/fichier_03 ~/fichier_04 a\tb/fichier_05'
    row 'an absolute path' "$T/w/abs/new/" '' "+$T/w/abs/new/fichier_01" 'abs/ abs/new/ abs/new/fichier_01'
    row 'a regular file passes as the directory, not with a /' 'plain plain/ plain/sub/' 'plain=keep' \
        '+plainfichier_01 !plain/:ENOTDIR !plain/sub/:ENOTDIR' 'plain=keep plainfichier_01'
    local t='d/ d/fichier_01=precious@400 d/fichier_02/ d/fichier_03->gone d/fichier_04->fichier_01'
    row 'whatever stands at the name is left untouched' 'd/ d/ d/ d/' "$t" \
        '=d/fichier_01 =d/fichier_02 =d/fichier_03 =d/fichier_04' "$t"
    t='a/ b/ b/c/ a/fichier_01 b/c/fichier_02 a/fichier_03'
    row 'a second run changes nothing' 'a/ b/c/ a/' "$t" '=a/fichier_01 =b/c/fichier_02 =a/fichier_03' "$t"
    for m in 0:666 077:600 027:640; do
        UMASK=${m%:*} row "umask ${m%:*}" x/y/ '' +x/y/fichier_01 "x/ x/y/ x/y/fichier_01@${m#*:}"
    done
    FAULT='mkdir n/ fail EEXIST' row 'a level made meanwhile must exist' 'n/' '' '!n/:EEXIST' ''
    FAULT='access n/ fail ENOENT' row 'a level made meanwhile is used' 'n/' 'n/' '+n/fichier_01' 'n/ n/fichier_01'
    [ -n "${FAKEROOTKEY:-}" ] || AS=nobody FAULT='access ro/ fail ENOENT' row 'a level made meanwhile must be usable' \
        'ro/' 'ro/@555' '!ro/:EEXIST' 'ro/@555'
    FAULT='close d/fichier_01 fail EIO' row 'a failed last close is reported; the file stays' 'd/ d/' '' \
        '?d/fichier_01:EIO +d/fichier_02' 'd/ d/fichier_01 d/fichier_02'
    FAULT='mkdir n/ fail 524' row 'an errno without a name' 'n/' '' '!n/:524' ''
    local p=d/$(long ./ 2044) # 4090 bytes that name d/: with the file's name, past PATH_MAX
    row 'a file name past PATH_MAX is refused, not cut short' "$p" '' "?${p}fichier_01:ENAMETOOLONG" 'd/'
    # The engine itself: a row with any column wrong fails.
    local wrong cols wrongs=('+a/fichier_02|a/ a/fichier_01|exit 0' '+a/fichier_01|a/|exit 0'
        '+a/fichier_01|a/ a/fichier_01|signal 1')
    for wrong in "${wrongs[@]}"; do
        IFS='|' read -r -a cols <<<"$wrong"
        FAILED=$T/wrong row 'a wrong row' a/ '' "${cols[@]}" >/dev/null
        rm "$T/wrong" || fail "a wrong row passed: $wrong"
    done
}

@test "permission failures of an unprivileged user" {
    [ -z "${FAKEROOTKEY:-}" ] || skip "fakeroot leaves the owner every permission" && export AS=nobody
    row 'levels that may not be read or written' 'ro/ wo/ ro/new/' 'ro/@555 wo/@300' \
        '!ro/:EACCES !wo/:EACCES !ro/new/:EACCES' 'ro/@555 wo/@300'
    row 'a one-letter level that may not be written' 'a/x/' 'a/@555' '!a/x/:EACCES' 'a/@555'
    row 'a directory that may not be searched' 'nx/ ok/' 'nx/@600' '?nx/fichier_01:EACCES +ok/fichier_02' \
        'nx/@600 ok/ ok/fichier_02'
    row 'a file that may not be written is there all the same' 'd/' 'd/ d/fichier_01=mine@444' '=d/fichier_01' \
        'd/ d/fichier_01=mine@444'
    row 'the current directory may not be written' 'x y/z/' './@555' '!x:EACCES !y/z/:EACCES' ''
    row 'the current directory may not be read' 'x/' './@300' '!x/:EACCES' ''
}

@test "a file that cannot be written whole is removed" {
    local n e f
    for n in 0 10; do
        LIMITS=--fsize=$n row "a file size limit of $n bytes" 'out/ out/' '' \
            '?out/fichier_01:EFBIG ?out/fichier_02:EFBIG' 'out/'
    done
    FAULT='write d/fichier_01 zero' row 'a write that takes nothing: a full disk' 'd/ d/' '' \
        '?d/fichier_01:ENOSPC +d/fichier_02' 'd/ d/fichier_02'
    FAULT='write d/fichier_01 part 5' row 'a write cut short is finished' 'd/' '' '+d/fichier_01' 'd/ d/fichier_01'
    LIMITS=--nofile=8 row 'no descriptor is kept' "$(rep 20 d/)" '' "$(each 20 + d/)" "d/ $(each 20 '' d/)"
    # The check and the removal go through the file's directory, opened after the write failed: only ours may go.
    FAULT='write mine/fichier_01 swap l1 l2' LIMITS=--fsize=0 row 'a directory of the path swapped as the write fails' \
        'l1/' 'mine/ o/ o/fichier_01=o l1->mine l2->o' '?l1/fichier_01:EFBIG' \
        'mine/ mine/fichier_01= o/ o/fichier_01=o l1->o l2->mine'
    FAULT='diropen d/ swap d/fichier_01 o/fichier_01' LIMITS=--fsize=0 row 'the file replaced before its check' 'd/' \
        'd/ o/ o/fichier_01=o' '?d/fichier_01:EFBIG' 'd/ d/fichier_01=o o/ o/fichier_01='
    FAULT='diropen d/ swap d/fichier_01 d/l' LIMITS=--fsize=0 row 'a link to the file put at its name' 'd/' \
        'd/ d/l->l' '?d/fichier_01:EFBIG' 'd/ d/fichier_01->l d/l='
    for f in 'fstat d/fichier_01' 'diropen d/' 'fstatat d/fichier_01' 'unlinkat d/fichier_01'; do
        FAULT="$f fail EIO" LIMITS=--fsize=0 row "the clean-up's $f fails: the file stays" 'd/' '' \
            '?d/fichier_01:EFBIG' 'd/ d/fichier_01='
    done
    for e in EMFILE ENFILE; do
        FAULT="diropen d/ fail $e" LIMITS=--fsize=0 row "no descriptor ($e) at the directory's open" 'd/' '' \
            '?d/fichier_01:EFBIG' 'd/'
    done
    unsanitized "the rows with one descriptor to spare: a sanitizer's runtime takes it"
    for n in 0 1; do
        LIMITS="--nofile=4 --fsize=$n" row "one descriptor to spare, a limit of $n bytes" 'd/ d/' '' \
            '?d/fichier_01:EFBIG ?d/fichier_02:EFBIG' 'd/'
    done
    for n in 2 3; do
        STDOUT=closed LIMITS="--nofile=$n --fsize=0" row "stdout closed, $n descriptors" 'd/' '' '' 'd/'
    done
}

@test "full and read-only filesystems, a PID namespace" {
    namespace
    NS='mount -t tmpfs -o size=64k,mode=700 tmpfs full; yes >full/fill 2>/dev/null' \
        row 'a full filesystem' 'full/' 'full/' '?full/fichier_01:ENOSPC' 'full/ full/fill=y'
    NS='mount -t tmpfs -o ro,mode=700 tmpfs ro' row 'a read-only filesystem' 'ro/ ro/sub/' 'ro/' \
        '!ro/:EROFS !ro/sub/:EROFS' 'ro/'
    # Two fresh tmpfs number their files alike: another's file in b/ has the inode number of ours in a/.
    NS='mount -t tmpfs -o mode=700 tmpfs a && mount -t tmpfs -o mode=700 tmpfs b && echo o >b/fichier_01' \
        FAULT='write a/fichier_01 swap l1 l2' LIMITS=--fsize=0 row 'swapped to another filesystem as the write fails' \
        'l1/' 'a/ b/ l1->a l2->b' '?l1/fichier_01:EFBIG' 'a/ a/fichier_01= b/ b/fichier_01=o l1->b l2->a'
    [ -z "$RUNNER" ] || skip "an emulator as the first process of a PID namespace behaves otherwise"
    NS='exec unshare -fp "$@"' FAULT='write a/fichier_01 raise 15' row 'SIGTERM does nothing to a PID namespace init' \
        'a/ b/' '' '+a/fichier_01 +b/fichier_02' 'a/ b/ a/fichier_01 b/fichier_02'
}

@test "a single-level absolute path has the root as its parent" {
    namespace
    unsanitized "the sanitizer runtime needs /proc, which the new root lacks"
    [ -z "$RUNNER" ] && [ -L /lib ] || skip "the new root holds /usr alone: /lib is not in it, nor an emulator's -L"
    local tree='usr/ bin/ ro/ lib->usr/lib lib64->usr/lib64' ns="mount --bind /usr usr && mount --bind $BIN bin"
    NS="$ns"' && mount -t tmpfs -o ro tmpfs ro && exec unshare -R . -w /ro "$@"' BIN=/bin \
        row 'made from the root' '/top/ /t' "$tree" '+/top/fichier_01 +/tfichier_02' \
        "$tree top/ top/fichier_01 t/ tfichier_02"
    NS="$ns"' && exec unshare -R . "$@"' BIN=/bin LIMITS=--fsize=0 row 'the root itself' '/' "$tree" \
        '?/fichier_01:EFBIG' "$tree"
}

@test "tight memory and stack limits change nothing" {
    unsanitized "the sanitizer runtime alone needs more memory"
    [ -z "$RUNNER" ] || skip "an emulator cannot start in 8 MiB of address space"
    local a=a$(long / 4000) l=$(long l/ 2000) dirs=$(seq 2000 | awk '{ d = d "l/"; print d }')
    LIMITS='--as=8388608 --stack=262144' row '8 MiB of memory, 256 KiB of stack' "x/ $a $l y/" '' "+x/fichier_01
        +${a}fichier_02 +${l}fichier_03 +y/fichier_04" "x/ x/fichier_01 a/ a/fichier_02 $dirs ${l}fichier_03 y/
        y/fichier_04"
}

@test "signals wait while a file is made, and act at once elsewhere" {
    local made='a/ b/ a/fichier_01 b/fichier_02' all='+a/fichier_01 +b/fichier_02 +c/fichier_03' s
    FAULT='write b/fichier_02 raise 15' row 'a signal as a file is written: it is whole' 'a/ b/ c/' '' '' "$made" \
        'signal 15'
    FAULT='write b/fichier_02 fail ENOSPC; fstatat b/fichier_02 raise 15' row 'a signal as a file is removed: it goes' \
        'a/ b/ c/' '' '' 'a/ b/ a/fichier_01' 'signal 15'
    FAULT='mkdir b/ raise 15' row 'a signal in the walk acts at once' 'a/ b/ c/' '' '' 'a/ a/fichier_01' 'signal 15'
    FAULT='sigprocmask 2 fail EPERM; mkdir b/ raise 15' row 'a mask that cannot be restored holds signals to the end' \
        'a/ b/ c/' '' "$all" "$made c/ c/fichier_03"
    BLOCK=TERM FAULT='sigprocmask 1 fail EPERM; mkdir b/ raise 15' row "a refused block keeps the caller's" 'a/ b/ c/' \
        '' "$all" "$made c/ c/fichier_03"
    IGNORE=TERM FAULT='write b/fichier_02 raise 15' row 'a signal that the caller ignores' 'a/ b/ c/' '' "$all" \
        "$made c/ c/fichier_03"
    BLOCK=TERM FAULT='write b/fichier_02 raise 15' row 'a signal that the caller blocks' 'a/ b/ c/' '' "$all" \
        "$made c/ c/fichier_03"
    # One signal ends a run that waits for room, after a report of any length; a real-time one too (but under an
    # emulator, which numbers those its own way).
    for s in 15 $([ -n "$RUNNER" ] || kill -l RTMAX); do
        STDOUT=pipe:65536 FAULT="out * kill $s" row "signal $s ends a wait for room" "$(long x 100000) a/ b/" '' '' '' \
            "signal $s"
    done
}

enumerate() {
    [ -z "$STATIC" ] || skip "a static tool takes no preload: no fault reaches it"
    local s=0 && perl "$BATS_TEST_DIRNAME/harness.pl" "$@" >"$T/log" || s=$?
    cat "$T/log" && tail -n 1 "$T/log" >&3 && return $s
}
@test "a signal at any call, stdout a pipe" { enumerate signals pipe; }
@test "a signal at any call, stdout a regular file" { enumerate signals file; }
@test "an error at any call, once and always" { enumerate errors; }

@test "stdout: pieces of whole reports, each write finished, none after a failure" {
    local f long=$(long x 5000)END
    # One page free in the pipe takes the first piece, 123 whole reports; the next piece waits there for room.
    STDOUT=pipe:61440 FAULT='out d/fichier_124 kill 15' row 'pieces of whole reports, at most PIPE_BUF bytes' \
        "$(rep 300 d/)" '' "$(each 123 + d/)" '*' 'signal 15'
    for f in 'part 7' 'fail EINTR' 'fail EAGAIN' 'fail EAGAIN; wait * fail EINTR'; do
        FAULT="out * $f" row "a write to stdout that does $f is tried again" "$(rep 300 d/)" '' "$(each 300 + d/)" \
            "d/ $(each 300 '' d/)"
    done
    for f in 'zero' 'fail EIO'; do
        FAULT="out * $f" row "once a write does $f, none follows" "$(rep 300 d/)" '' '' "d/ $(each 300 '' d/)"
    done
    STDOUT=closed row 'stdout closed: no report reaches a file' "$(rep 300 d/)" '' '' "d/ $(each 300 '' d/)"
    STDOUT=unread row 'a reader gone costs the reports, not the work' "$(rep 300 d/)" '' '' "d/ $(each 300 '' d/)"
    row 'reports longer than the buffer' "$long d/ $(long y 120000)" '' \
        "!$long:ENAMETOOLONG +d/fichier_02 !$(long y 120000):ENAMETOOLONG" 'd/ d/fichier_02'
    # A report cut by a size limit stays so: the line that another writer added between its pieces stays too.
    STDOUT=log LIMITS=--fsize=4200 FAULT='out END append other' row "another writer's line" "$long" '' '*' ''
    local r=" Error : Cannot use the path \"$long\""
    if [ "$(cat "$T/out")" != "${r:0:4096}other"$'\n'"${r:4096:98}" ]; then
        echo "the log lost a line: it ends '$(tail -c 120 "$T/out")'"
        touch "$T/failed"
    fi
    STDOUT=tty FAULT='mkdir b/ raise 9' row 'a terminal gets each report at once' 'a/ b/' '' '+a/fichier_01' \
        'a/ a/fichier_01' 'signal 9'
}

@test "a killed engine takes its run's processes with it" {
    [ -z "$STATIC" ] || skip "a static tool takes no preload: no call of it sleeps"
    local how engine group i left
    for how in plain AS=nobody NS=true; do
        [ "$how" != NS=true ] || namespace
        : >"$T/calls" && chmod 666 "$T/calls" && chmod 755 "$T" # for the tool run as nobody
        printf '%s\0' "$how" a/ '' '' '' | env ${how#plain} FAULT='mkdir a/ sleep 60' FAULT_LOG="$T/calls" \
            perl "$BATS_TEST_DIRNAME/harness.pl" row >/dev/null &
        engine=$!
        for ((i = 0; i < 100; i++)); do grep -q '^mkdir a/$' "$T/calls" && break || sleep 0.1; done
        group=$(ps -o pgid= -p "$(pgrep -n -f "$BIN/mkfichier a/")" | tr -d ' ')
        kill -KILL "$engine" && wait "$engine" || true
        for ((i = 0; i < 50; i++)); do # the group's processes, but zombies that no one reaps
            left=$(ps -e -o pid=,pgid=,stat= | awk -v g="${group:-0}" '$2 == g && $3 !~ /^Z/ { print $1 }')
            [ -n "$left" ] && sleep 0.1 || break
        done
        [ -n "$group" ] || fail "$how: the tool was not found asleep in its mkdir"
        [ -z "$left" ] || { kill -KILL $left; fail "$how: the engine killed, these lived on: $left"; }
    done
}

@test "parallel runs make each file once" {
    local args=(c/{0..4}/{0..2}/ c/{0..4}/{0..2}/ c/{0..4}/{0..2}/) i run want
    want=$(printf '%s\n' "${args[@]}" | awk '{ printf " File \"%sfichier_%02d\" is created.\n", $0, NR }')
    for run in {1..6}; do
        rm -rf "$T/w" && mkdir "$T/w" && cd "$T/w" && { ((run % 2)) || mkdir -p "${args[@]}"; }
        for i in {1..8}; do $RUNNER "$BIN/mkfichier" "${args[@]}" >"$T/out$i" 2>&1 & done
        wait
        for i in {1..8}; do assert_equal "$(sed 's/is already existing/is created/' "$T/out$i")" "$want"; done
        assert_equal "$(cat "$T"/out? | grep 'is created' | sort | uniq -u | wc -l)" 45
        assert_equal "$(grep -c '^ je suis le fichier fichier_[0-9]*$' ./*/*/*/fichier_* | grep -c :1$)" 45
        assert_equal "$(find . -type f | wc -l)" 45
    done
}

@test "the binary needs libc alone" {
    unsanitized "a sanitizer build links its runtime too"
    # Beside the loader, which some targets name too (ld-linux-*, ld64.so.*, ld.so.1).
    assert_regex "$(readelf -d "$BIN/mkfichier" | awk '/NEEDED/ && !/\[ld[-.6]/ { print $NF }')" '^\[libc\.so(\.6)?\]$'
}

@test "the manual page names this version" { grep -qx ".Os mkfichier $VERSION" "$MANUAL"; }
