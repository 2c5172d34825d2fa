#!/usr/bin/env bats
# Tests of the built tool. A case is a row, run in a fresh directory: row ARGS BEFORE OUTPUT AFTER [END]. ARGS: split
# at blanks ('' for an empty one). BEFORE, AFTER: the whole tree (* for any): dir/ (mode 700), file (holding the tool's
# line for its name, mode 644), file=text, link->target, @MODE after any. OUTPUT, a word a report: +FILE created, =FILE
# already there, !ARG:ERRNO and ?FILE:ERRNO the path and create failures (ERRNO: name or number). END: "exit 0" or
# "signal N" (killed by it). Words take \xHH and \t; stderr must be empty. Set before a row: AS=nobody, UMASK, LIMITS
# (prlimit's options), FAULT and FAULT_ARG (see fault.c), IGNORE (signals ignored at start), NS (shell run first, as
# root, in a new mount namespace), CUT=N (the first N bytes of the reports), STDOUT=file|socket|closed|unread (its
# reader gone)|tty, stalled, full (FAULT_TTY in fault.c)|pipe:N|fifo:N (holding N bytes, read at the end).
# shellcheck disable=SC1090,SC2086,SC2155 # the completion's path is given; words are split on purpose
bats_load_library bats-support
bats_load_library bats-assert

# RUNNER (qemu-user) runs the tool. Reasons are the target libc's texts, by the fault library (static tool: the host's).
setup_file() {
    BIN=$(mktemp -d) && chmod 755 "$BIN" && cp "$MKFICHIER" "$FAULT_LIB" "$BIN" && export BIN RUNNER=${RUNNER:-}
    env FAULT_STRERROR=524 "${RUNNER:+QEMU_SET_ENV=}LD_PRELOAD=$BIN/libfault.so" $RUNNER "$BIN/mkfichier" >"$BIN/errno"
    export STATIC=$(readelf -l "$BIN/mkfichier" | grep -q INTERP || echo 1)
}
teardown_file() { rm -rf "$BIN"; }
# In $TMPDIR, else on tmpfs where there is one: disks are slow at making files.
setup() { T=$(mktemp -d -p "${TMPDIR:-$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)}") && export T && ulimit -c 0; }
# A row that fails fails its test, whatever called it (if, &&): teardown sees its mark.
teardown() { tmux -S "$T/sock" kill-server 2>/dev/null; [ ! -e "$T/failed" ] && chmod -R u+rwX "$T" && rm -rf "$T"; }
row() {
    [ -z "${FAULT:-}" ] || [ -z "$STATIC" ] || skip "a static tool takes no preload: no fault reaches it"
    chmod 755 "$T" && printf '%s\0' "$@" | perl "$BATS_TEST_DIRNAME/harness.pl" row || ! touch "$T/failed"
}
root() { [ "$(id -u)" = 0 ] && [ -z "${FAKEROOTKEY:-}" ]; } # fakeroot is not root
unsanitized() { [ -z "${SANITIZED:-}" ] || skip "$1"; }
rep() { local s && printf -v s "$2 %.0s" $(seq "$1") && echo "${s% }"; }             # N times a word
each() { local s && printf -v s "$2$3fichier_%02d " $(seq "$1") && echo "${s% }"; } # PREFIX ARG fichier_NN, N times

@test "directories, files and reports" {
    row '' '' '' ''
    row "$(rep 100 d/)" '' "$(each 100 + d/)" "d/ $(each 100 '' d/)"
    row 'out/a/ a/b/c out d1/ d2/ d1/' '' '+out/a/fichier_01 +a/b/cfichier_02 +outfichier_03 +d1/fichier_04
        +d2/fichier_05 +d1/fichier_06' 'out/ out/a/ a/ a/b/ a/b/c/ outfichier_03 out/a/fichier_01 a/b/cfichier_02
        d1/ d2/ d1/fichier_04 d2/fichier_05 d1/fichier_06'
    row 'a// x/./y/ p/../q/ n/.' '' '+a//fichier_01 +x/./y/fichier_02 +p/../q/fichier_03 +n/.fichier_04' \
        'a/ a/fichier_01 x/ x/y/ x/y/fichier_02 p/ q/ q/fichier_03 n/ n/.fichier_04'
    row 'a//' 'a/' '+a//fichier_01' 'a/ a/fichier_01'
    row 'c:dir x: :x/ c:dir/sub/' '' '!c:dir:ENOENT !x::ENOENT +:x/fichier_03 !c:dir/sub/:ENOENT' ':x/ :x/fichier_03'
    row 'c:dir/sub/' 'c:dir/' '+c:dir/sub/fichier_01' 'c:dir/ c:dir/sub/ c:dir/sub/fichier_01'
    row "'' ok/ \\x20sp/ ~/ a\\tb/" '' '!:ENOENT +ok/fichier_02 +\x20sp/fichier_03 +~/fichier_04 +a\tb/fichier_05' \
        'ok/ ok/fichier_02 \x20sp/ ~/ a\tb/ \x20sp/fichier_03 ~/fichier_04 a\tb/fichier_05'
    row "$T/w/abs/new/" '' "+$T/w/abs/new/fichier_01" 'abs/ abs/new/ abs/new/fichier_01'
    row 'plain plain/ plain/sub/' 'plain=keep' '+plainfichier_01 !plain/:ENOTDIR !plain/sub/:ENOTDIR' \
        'plain=keep plainfichier_01'
    local t='d/ d/fichier_01=precious@400 d/fichier_02/ d/fichier_03->gone d/fichier_04->fichier_01'
    row 'd/ d/ d/ d/' "$t" '=d/fichier_01 =d/fichier_02 =d/fichier_03 =d/fichier_04' "$t"
    t='a/ b/ b/c/ a/fichier_01 b/c/fichier_02 a/fichier_03'
    row 'a/ b/c/ a/' "$t" '=a/fichier_01 =b/c/fichier_02 =a/fichier_03' "$t"
    for m in 0:666 077:600 027:640; do UMASK=${m%:*} row x/y/ '' +x/y/fichier_01 "x/ x/y/ x/y/fichier_01@${m#*:}"; done
    FAULT='mkdir 1 fail 17' row 'n/' '' '!n/:EEXIST' '' # a level made meanwhile by another run is used only if usable
    [ -n "${FAKEROOTKEY:-}" ] || AS=nobody FAULT='access 1 fail 2' row 'ro/' 'ro/@555' '!ro/:EEXIST' 'ro/@555'
    # The engine itself: a row with any column wrong fails.
    for w in '+a/fichier_02|a/ a/fichier_01' '+a/fichier_01|a/' '+a/fichier_01|a/ a/fichier_01|signal 1'; do
        (IFS='|' && run row a/ '' $w && assert_failure && rm "$T/failed"); done
    # Only where the last close fails is the file left: nothing then tells it from another's.
    FAULT='close 1 fail 5' row 'd/ d/' '' '?d/fichier_01:EIO +d/fichier_02' 'd/ d/fichier_01 d/fichier_02'
    unsanitized "malloc is the sanitizer's"
    FAULT='mkdir 1 fail 524; malloc 1 raise 6' row 'n/' '' '!n/:524' '' # a nameless errno: its text, nothing allocated
}

@test "permission failures of an unprivileged user" {
    [ -z "${FAKEROOTKEY:-}" ] || skip "fakeroot leaves the owner every permission" && export AS=nobody
    row 'ro/ wo/ ro/new/' 'ro/@555 wo/@300' '!ro/:EACCES !wo/:EACCES !ro/new/:EACCES' 'ro/@555 wo/@300'
    row 'nx/ ok/' 'nx/@600' '?nx/fichier_01:EACCES +ok/fichier_02' 'nx/@600 ok/ ok/fichier_02'
    row 'd/' 'd/ d/fichier_01=mine@444' '=d/fichier_01' 'd/ d/fichier_01=mine@444'
    row 'x y/z/' './@555' '!x:EACCES !y/z/:EACCES' ''
}

@test "a file that cannot be written whole is removed" {
    for n in 0 10; do LIMITS=--fsize=$n row 'out/ out/' '' '?out/fichier_01:EFBIG ?out/fichier_02:EFBIG' 'out/'; done
    FAULT='write 1 zero' row 'd/ d/' '' '?d/fichier_01:ENOSPC +d/fichier_02' 'd/ d/fichier_02'
    FAULT='signal 2 fail 1' LIMITS=--fsize=10 row 'd/' '' '?d/fichier_01:EFBIG' 'd/' # SIGXFSZ not ignored but held
    LIMITS=--nofile=8 row "$(rep 20 d/)" '' "$(each 20 + d/)" "d/ $(each 20 '' d/)"
    # The directory is swapped as the write fails, or the file as its directory is opened: only this run's may go.
    FAULT="write 1 swap $T/w/l1 $T/w/l2" LIMITS=--fsize=0 row 'l1/' 'mine/ o/ o/fichier_01=o l1->mine l2->o' \
        '?l1/fichier_01:EFBIG' 'mine/ mine/fichier_01= o/ o/fichier_01=o l1->o l2->mine'
    FAULT="diropen 1 swap $T/w/d/fichier_01 $T/w/o/fichier_01" LIMITS=--fsize=0 row 'd/' 'd/ o/ o/fichier_01=o' \
        '?d/fichier_01:EFBIG' 'd/ d/fichier_01=o o/ o/fichier_01='
    unsanitized "the rows with one descriptor to spare: a sanitizer's runtime takes it"
    for n in 0 1; do LIMITS="--nofile=4 --fsize=$n" row 'd/ d/' '' '?d/fichier_01:EFBIG ?d/fichier_02:EFBIG' 'd/'; done
    for n in 2 3; do STDOUT=closed LIMITS="--nofile=$n --fsize=0" row 'd/' '' '' 'd/'; done
}

@test "full and read-only filesystems, a PID namespace" {
    root && unshare -m true || skip "no mount namespace here: needs root"
    NS='mount -t tmpfs -o size=64k,mode=700 tmpfs full; yes >full/fill 2>/dev/null' \
        row 'full/' 'full/' '?full/fichier_01:ENOSPC' 'full/ full/fill=y'
    NS='mount -t tmpfs -o ro,mode=700 tmpfs ro' row 'ro/ ro/sub/' 'ro/' '!ro/:EROFS !ro/sub/:EROFS' 'ro/'
    # The first process of a PID namespace cannot end by its signal: it exits 128 + that number.
    [ -z "$RUNNER" ] || skip "an emulator as the first process of a PID namespace cannot end by a signal either"
    NS='exec unshare -fp "$@"' FAULT='write 1 raise 15' row 'a/ b/' '' '+a/fichier_01' 'a/ a/fichier_01' 'exit 143'
    # A /proc that is not procfs opens another file in stdout's place: it is not written.
    unsanitized "the sanitizer runtime needs /proc"
    STDOUT=tty NS="(umask 077 && mkdir -p p/self/fd) && ln -s $T/w/o p/self/fd/1 && mount --bind p /proc" row d/ \
        'o=keep' '+d/fichier_01' "o=keep d/ d/fichier_01 p/ p/self/ p/self/fd/ p/self/fd/1->$T/w/o"
}

@test "a single-level absolute path has the root as its parent" {
    root && unshare -m true || skip "no mount namespace here: needs root"
    unsanitized "the sanitizer runtime needs /proc, which the new root lacks"
    [ -z "$RUNNER" ] && [ -L /lib ] || skip "the new root holds /usr alone: /lib is not in it, nor an emulator's -L"
    local tree='usr/ bin/ ro/ lib->usr/lib lib64->usr/lib64' ns="mount --bind /usr usr && mount --bind $BIN bin"
    NS="$ns"' && mount -t tmpfs -o ro tmpfs ro && exec unshare -R . -w /ro "$@"' BIN=/bin \
        row '/top/ /t' "$tree" '+/top/fichier_01 +/tfichier_02' "$tree top/ top/fichier_01 t/ tfichier_02"
    NS="$ns"' && exec unshare -R . "$@"' BIN=/bin LIMITS=--fsize=0 row '/' "$tree" '?/fichier_01:EFBIG' "$tree"
}

@test "tight memory and stack limits change nothing" {
    unsanitized "the sanitizer runtime alone needs more memory"
    [ -z "$RUNNER" ] || skip "an emulator cannot start in 8 MiB of address space"
    local a=a$(printf '/%.0s' {1..4000}) l=$(printf 'l/%.0s' {1..2000}) dirs=$(seq 2000 | awk '{ d = d "l/"; print d }')
    LIMITS='--as=8388608 --stack=262144' row "x/ $a $l y/" '' "+x/fichier_01 +${a}fichier_02 +${l}fichier_03
        +y/fichier_04" "x/ x/fichier_01 a/ a/fichier_02 $dirs ${l}fichier_03 y/ y/fichier_04"
}

@test "signals: the file in hand is finished, then the run ends by the first one" {
    local t='a/ b/ a/fichier_01 b/fichier_02' all='+a/fichier_01 +b/fichier_02 +c/fichier_03' rt=$(kill -l RTMAX)
    FAULT='write 2 raise 2 15' row 'a/ b/ c/' '' '+a/fichier_01 +b/fichier_02' "$t" 'signal 2'
    # A second signal while a file's write hangs gives that file up.
    FAULT='write 2 intr 15 15' row 'a/ b/ c/' '' '+a/fichier_01 ?b/fichier_02:EINTR' 'a/ b/ a/fichier_01' 'signal 15'
    # Those that stop, continue or are ignored by default keep their action.
    FAULT='write 2 kill TSTP TTIN TTOU CONT WINCH URG CHLD' row 'a/ b/ c/' '' "$all" "$t c/ c/fichier_03"
    IGNORE='HUP INT TERM' FAULT='write 2 raise 15' row 'a/ b/ c/' '' "$all" "$t c/ c/fichier_03"
    IGNORE=HUP FAULT='sigaction 2 raise 1' row 'a/' '' '+a/fichier_01' 'a/ a/fichier_01' # as its handler goes in
    # A real-time signal at the first argument ends the run after it, a run of one at its end (emulators renumber them).
    [ -n "$RUNNER" ] || FAULT='mkdir 1 raise RTMAX' row a/ '' +a/fichier_01 'a/ a/fichier_01' "signal $rt"
    [ -n "$RUNNER" ] || FAULT='mkdir 1 raise RTMAX' row 'a/ b/' '' +a/fichier_01 'a/ a/fichier_01' "signal $rt"
    # The tool's own abort or fault keeps its default action at once (a sanitizer would catch the fault).
    FAULT='write 2 raise 6' row 'a/ b/ c/' '' '' 'a/ b/ a/fichier_01 b/fichier_02=' 'signal 6'
    unsanitized "the rows of a fault: a sanitizer catches it"
    FAULT='write 2 raise 11' row 'a/ b/ c/' '' '' 'a/ b/ a/fichier_01 b/fichier_02=' 'signal 11'
}

enumerate() { # prints how many runs it made
    [ -z "$STATIC" ] || skip "a static tool takes no preload: no fault reaches it"
    local s=0 && perl "$BATS_TEST_DIRNAME/harness.pl" enumerate "$1" >"$T/log" || s=$?
    cat "$T/log" && tail -n 1 "$T/log" >&3 && return $s
}
@test "a signal at any call, stdout a pipe" { enumerate pipe; }
@test "a signal at any call, stdout a regular file" { enumerate file; }
@test "a signal at any call, stdout a terminal" { enumerate tty; }
@test "a signal at any call, stdout a full terminal" { enumerate full; }
@test "a clean-up call that fails, with any errno" { enumerate cleanup; }

@test "stdout: reports go out whole, and one signal ends a run that waits for room" {
    local d=$(printf 'd%.0s' {1..250}) long=$(printf 'x%.0s' {1..5000})
    # A reader gone costs the reports, not the work, even where SIGPIPE cannot be ignored.
    for f in '' 'signal 1 fail 1'; do FAULT=$f STDOUT=unread row "$(rep 300 $d/)" '' '' "$d/ $(each 300 '' $d/)"; done
    # One 4 KiB page free (61440 of 64 KiB held) takes the first 123 reports, which fill 4096 bytes, whole; where
    # another writer takes it first, a signal ends the wait.
    for f in "out 1 raise 15|$(each 123 + d/)" 'out 1 fill 15|'; do
        STDOUT=pipe:61440 FAULT=${f%%|*} row "$(rep 300 d/)" '' "${f#*|}" "d/ $(each 124 '' d/)" 'signal 15'
    done
    STDOUT=pipe:65536 FAULT='wait 1 raise 2' row 'd/ d/' '' '' 'd/ d/fichier_01 d/fichier_02' 'signal 2'
    # Reports go on: a full pipe waited for (even with the wait refused), a socket refusing send, a device of records.
    for f in 'pipe|out 1 fail 11' 'pipe|out 1 fail 11; wait 1 fail 1' 'socket|out 1 fail 1' 'pipe|out 1 fail 22'; do
        STDOUT=${f%%|*} FAULT=${f#*|} row 'd/ d/' '' '+d/fichier_01 +d/fichier_02' 'd/ d/fichier_01 d/fichier_02'
    done
    FAULT='out 1 zero' row 'd/ d/' '' '' 'd/ d/fichier_01 d/fichier_02'
    # A size limit cuts the fourth report: the file keeps the three whole ones, and the next writer follows them.
    STDOUT=file LIMITS=--fsize=100 row 'a/ b/ c/ d/' '' '+a/fichier_01 +b/fichier_02 +c/fichier_03' \
        'a/ b/ c/ d/ a/fichier_01 b/fichier_02 c/fichier_03 d/fichier_04'
    row "$long d/" '' "!$long:ENAMETOOLONG +d/fichier_02" 'd/ d/fichier_02'
    local big=$(head -c 600000 /dev/zero | tr '\0' x) # as long as a kernel with 64 KiB pages lets an argument be
    FAULT_ARG=600000 row 'd/ x' '' "+d/fichier_01 !$big:ENAMETOOLONG" 'd/ d/fichier_01'
    # A report longer than PIPE_BUF, one page free: the run ends, that report cut at 4096 bytes.
    CUT=4096 STDOUT=fifo:61440 FAULT='out 1 raise 15' row "$long" '' "!$long:ENAMETOOLONG" '' 'signal 15'
    # A terminal that stopped reading: the run fills it, then waits where one signal ends it.
    STDOUT=stalled FAULT='wait 1 raise 15' row "$(rep 5000 d/)" '' '' '*' 'signal 15'
    assert [ "$(grep -c fichier_ "$T/tree")" -gt 100 ]; refute grep = "$T/tree"
    # A terminal sees each report before the next argument is handled.
    STDOUT=tty FAULT='mkdir 2 raise 9' row 'a/ b/' '' '+a/fichier_01' 'a/ a/fichier_01' 'signal 9'
    STDOUT=tty FAULT='fcntl 1 fail 1' row 'a/' '' '+a/fichier_01' 'a/ a/fichier_01' # its mode unknown: not reopened
    # A terminal hung up is written no more; one signal ends a run where a full one could not be opened again.
    ! root || [ -n "$RUNNER" ] || STDOUT=stalled IGNORE=HUP FAULT='mkdir 2 hangup; out 3 raise 9' row 'a/ b/ c/' '' \
        '' 'a/ b/ c/ a/fichier_01 b/fichier_02 c/fichier_03' # an emulator may not pass the hangup on
    STDOUT=full FAULT='reopen 1 intr 15' row 'a/ b/' '' '' 'a/ a/fichier_01' 'signal 15'
}

@test "parallel runs make each file once" {
    local args=(c/{0..4}/{0..2}/ c/{0..4}/{0..2}/ c/{0..4}/{0..2}/) i run want
    want=$(printf '%s\n' "${args[@]}" | awk '{ printf " File \"%sfichier_%02d\" is created.\n", $0, NR }')
    for run in {1..6}; do
        rm -rf "$T/w" && mkdir "$T/w" && cd "$T/w" && { ((run % 2)) || mkdir -p "${args[@]}"; }
        for i in {1..8}; do $RUNNER "$BIN/mkfichier" "${args[@]}" >"$T/out$i" 2>&1 & done; wait
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
