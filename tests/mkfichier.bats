#!/usr/bin/env bats
# Black-box tests of the built tool. A case is a row, run in a fresh directory: row ARGS BEFORE OUTPUT AFTER [END].
# ARGS: split at blanks ('' for an empty one). BEFORE, AFTER: the whole tree: dir/ (mode 700), file (holding the
# tool's line for its name, mode 644), file=text, link->target, @MODE after any. OUTPUT, a word a report: +FILE
# created, =FILE already there, !ARG:ERRNO and ?FILE:ERRNO the path and create failures (ERRNO a name or number).
# END: "exit 0" or "signal N" (killed by it). Words take printf %b escapes; stderr must be empty. Set before a row:
# AS=nobody, UMASK, LIMITS (prlimit's options), FAULT (see fault.c), IGNORE (signals ignored at start), NS (shell
# run first, as root, in a mount namespace of the run's own), STDOUT=file|closed|unread|tty|stalled (a terminal
# nobody reads)|pipe:N|fifo:N (holding N bytes already, read once the run has ended).
# shellcheck disable=SC2016,SC2046,SC2086,SC2155,SC2206 # words are split on purpose
bats_load_library bats-support
bats_load_library bats-assert

# RUNNER (an emulator: qemu-user) runs the tool, which gets the fault library through it. The reasons in reports
# are the target C library's texts, taken once; where no preload reaches the tool (a static build), the host's.
setup_file() {
    BIN=$(mktemp -d) && chmod 755 "$BIN" && cp "$MKFICHIER" "$FAULT_LIB" "$BIN" && export BIN RUNNER=${RUNNER:-}
    export PRELOAD=${RUNNER:+QEMU_SET_ENV=}LD_PRELOAD=$BIN/libfault.so
    env FAULT_STRERROR=524 "$PRELOAD" $RUNNER "$BIN/mkfichier" >"$BIN/errno" </dev/null
}
teardown_file() { rm -rf "$BIN"; }
# In $TMPDIR, else on tmpfs where there is one: disks are slow at making files.
# The entries in $W are for the completion to offer, or not.
setup() {
    T=$(mktemp -d -p "${TMPDIR:-$([ -w /dev/shm ] && echo /dev/shm || echo /tmp)}") && chmod 755 "$T" && W=$T/w &&
        mkdir "$W" && export T && ulimit -c 0 && cd "$W" && mkdir out other 'with space' && touch outfile oxide
}
teardown() { for s in "$T"/sock.*; do tmux -S "$s" kill-server 2>/dev/null || true; done && chmod -R u+rwX "$T" && rm -rf "$T"; }
fresh() { rm -rf "$W" "$T"/{tree,fifo,status} && mkdir "$W"; }
root() { [ "$(id -u)" = 0 ]; }
unsanitized() { [ -z "${SANITIZED:-}" ] || skip "$1"; }
# N times a word; the words PREFIX ARG fichier_NN for N arguments ARG.
rep() { yes -- "$2" | head -n "$1"; }
each() { seq -f "$2$3fichier_%02g" "$1"; }

# Runs a command as a shell starts one: signals at their defaults (IGNORE aside), none blocked, no descriptor open
# but 0, 1 and 2 (1 a pipe holding $PREFILL bytes, if set). $T/status gets "exit N", "signal N" or "timeout" (killed
# after 20 s).
status() {
    perl -MPOSIX -e '$SIG{$_} = "DEFAULT" for keys %SIG; $SIG{$_} = "IGNORE" for split " ", $ENV{IGNORE} // "";
        sigprocmask(SIG_SETMASK, POSIX::SigSet->new); my ($n, $r, $w) = $ENV{PREFILL};
        defined $n && pipe($r, $w) && syswrite $w, "\0" x $n; open(my $f, ">", "$ENV{T}/status") or die;
        my $pid = fork // die; if (!$pid) { open(STDOUT, ">&", $w) if $w;
            /(\d+)$/ && $1 > 2 && POSIX::close($1) for glob "/proc/self/fd/*"; exec @ARGV; POSIX::_exit(127) }
        close $w if $w; $SIG{ALRM} = sub { kill "KILL", $pid; print $f "timeout\n"; exit }; alarm 20; waitpid $pid, 0;
        print $f $? & 127 ? "signal " . ($? & 127) . "\n" : "exit " . ($? >> 8) . "\n"; print <$r> if $r' "$@"
}
# The tree below the current directory, a word a line.
scan() {
    find . -mindepth 1 -printf '%y %m %s %P\n%l\n' | LC_ALL=C awk 'NR % 2 { t = $1; m = $2; s = $3
            p = substr($0, length(t m s) + 4); next }
        { w = p; mode = 644; n = p; sub(/.*fichier_/, "", n); c = ""
          if (t == "d") { w = p "/"; mode = 700 } else if (t == "l") { w = p "->" $0; mode = m }
          else { if (s > 0) { getline c < p; close(p) }; if (c != " je suis le fichier fichier_" n || s != length(c) + 1) w = p "=" c }
          print w (m == mode ? "" : "@" m) }' | LC_ALL=C sort
}
export -f status scan
tree() { [ -z "$1" ] || printf '%b\n' $1 | LC_ALL=C sort; }
make_tree() {
    local w m
    for w in $1; do
        printf -v w %b "$w" && m=${w##*@} && w=${w%@*} && { [ "$m" != "$w" ] || m=; }
        case $w in
        *'->'*) ln -s "${w#*->}" "${w%%->*}" ;;
        */) mkdir -p "$w" && chmod "${m:-700}" "$w" ;;
        *=*) printf '%s\n' "${w#*=}" >"${w%%=*}" && chmod "${m:-644}" "${w%%=*}" ;;
        *) printf ' je suis le fichier fichier_%s\n' "${w##*fichier_}" >"$w" && chmod "${m:-644}" "$w" ;;
        esac
    done
}
reports() {
    [ -z "$1" ] || printf '%b\n' $1 | LC_ALL=C perl -MPOSIX -nle 'BEGIN { open(my $f, "<", "$ENV{BIN}/errno");
            %text = map { /^(\S+) (.*)/ } <$f> } my ($k, $w) = /^(.)(.*)/; my ($r, $e) = $w =~ /(.*):([A-Z]+|\d+)$/;
        $! = !$e ? 0 : $e =~ /\D/ ? &{"POSIX::$e"} : $e; my $why = $text{$e} // "$!";
        print $k eq "+" ? " File \"$w\" is created." : $k eq "=" ? " File \"$w\" is already existing." :
            $k eq "!" ? " Error : Cannot use the path \"$r\"\n\t$why" : " error: Cannot creat the file \"$r\"\n\t$why"'
}

# Runs the tool on the arguments in $W as the variables above say, and
# leaves its output, stderr, status and the tree after in $T.
run_tool() (
    local cmd=() n=${STDOUT#*:} tty=
    case ${STDOUT:-} in tty | stalled) tty=${STDOUT/tty/copy} ;; esac
    [ -z "${LIMITS:-}" ] || cmd+=(prlimit $LIMITS --)
    if [ "${AS:-}" = nobody ] && root; then cmd+=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
    cmd+=(env ${FAULT:+"FAULT=$FAULT"} ${tty:+"FAULT_TTY=$tty"})
    [ -z "${FAULT:-}$tty" ] || cmd+=("$PRELOAD")
    cmd+=($RUNNER "$BIN/mkfichier" "$@")
    [ -z "${NS:-}" ] || cmd=(unshare -m --propagation private bash -c "$NS"'; "$@"; s=$?; scan >"$T/tree"; exit $s' ns
        "${cmd[@]}")
    cd "$W" && umask "${UMASK:-022}" || return
    case ${STDOUT:-pipe} in
    pipe) status "${cmd[@]}" 2>"$T/err" | cat >"$T/out" ;;
    tty) status "${cmd[@]}" 2>"$T/err" | tr -d '\r' >"$T/out" ;;
    file) status "${cmd[@]}" 2>"$T/err" >"$T/out" ;;
    unread | stalled) status "${cmd[@]}" 2>"$T/err" | true && : >"$T/out" ;;
    closed) status sh -c 'exec "$@" >&-' sh "${cmd[@]}" 2>"$T/err" && : >"$T/out" ;;
    pipe:*) PREFILL=$n status "${cmd[@]}" 2>"$T/err" | tr -d '\0' >"$T/out" ;;
    fifo:*) mkfifo "$T/fifo" && exec 7<>"$T/fifo" && head -c "$n" /dev/zero >&7 && status "${cmd[@]}" 2>"$T/err" >&7
        exec 8<"$T/fifo" 7>&- && tail -c +$((n + 1)) <&8 >"$T/out" ;;
    esac
    [ -e "$T/tree" ] || scan >"$T/tree"
    sed -i '/^qemu: uncaught target signal/d' "$T/err" # the emulator's own word on a signal
)

# Checks every column, whatever context it is called in, and fails on the first that differs.
row() {
    local - args=() w f && set -f
    for w in $1; do printf -v w %b "$w" && [ "$w" != "''" ] || w= && args+=("$w"); done
    fresh && (cd "$W" && make_tree "$2") && { [ "${AS:-}" != nobody ] || ! root || chown -hR 65534:65534 "$W"; }
    run_tool "${args[@]}"
    reports "$3" >"$T/want-out" && tree "$4" >"$T/want-tree"
    for f in out tree; do diff -u "$T/want-$f" "$T/$f" | head -n 40 && cmp -s "$T/want-$f" "$T/$f" || return 1; done
    assert_equal "$(cat "$T/err")$(tail -n 1 "$T/status")" "${5:-exit 0}" # stderr, then how the run ended
}

@test "directories, files and reports" {
    row '' '' '' ''
    row 'out/a/' '' '+out/a/fichier_01' 'out/ out/a/ out/a/fichier_01'
    row 'a/b/c' '' '+a/b/cfichier_01' 'a/ a/b/ a/b/c/ a/b/cfichier_01'
    row 'out' '' '+outfichier_01' 'out/ outfichier_01'
    row 'd1/ d2/ d1/' '' '+d1/fichier_01 +d2/fichier_02 +d1/fichier_03' 'd1/ d2/ d1/fichier_01 d2/fichier_02 d1/fichier_03'
    row "$(rep 100 d/)" '' "$(each 100 + d/)" "d/ $(each 100 '' d/)"
    row 'a// x/./y/ p/../q/ n/.' '' '+a//fichier_01 +x/./y/fichier_02 +p/../q/fichier_03 +n/.fichier_04' \
        'a/ a/fichier_01 x/ x/y/ x/y/fichier_02 p/ q/ q/fichier_03 n/ n/.fichier_04'
    row 'a//' 'a/' '+a//fichier_01' 'a/ a/fichier_01'
    row 'c:dir x: :x/ c:dir/sub/' '' '!c:dir:ENOENT !x::ENOENT +:x/fichier_03 !c:dir/sub/:ENOENT' ':x/ :x/fichier_03'
    row 'c:dir/sub/' 'c:dir/' '+c:dir/sub/fichier_01' 'c:dir/ c:dir/sub/ c:dir/sub/fichier_01'
    row "'' ok/" '' '!:ENOENT +ok/fichier_02' 'ok/ ok/fichier_02'
    row '\x20sp/ ~/ a\tb/' '' '+\x20sp/fichier_01 +~/fichier_02 +a\tb/fichier_03' \
        '\x20sp/ ~/ a\tb/ \x20sp/fichier_01 ~/fichier_02 a\tb/fichier_03'
    row "$W/abs/new/" '' "+$W/abs/new/fichier_01" 'abs/ abs/new/ abs/new/fichier_01'
    row 'plain plain/ plain/sub/' 'plain=keep' '+plainfichier_01 !plain/:ENOTDIR !plain/sub/:ENOTDIR' \
        'plain=keep plainfichier_01'
    local t='d/ d/fichier_01=precious@400 d/fichier_02/ d/fichier_03->gone d/fichier_04->fichier_01'
    row 'd/ d/ d/ d/' "$t" '=d/fichier_01 =d/fichier_02 =d/fichier_03 =d/fichier_04' "$t"
    t='a/ b/ b/c/ a/fichier_01 b/c/fichier_02 a/fichier_03'
    row 'a/ b/c/ a/' "$t" '=a/fichier_01 =b/c/fichier_02 =a/fichier_03' "$t"
    for m in 0:666 077:600 027:640; do UMASK=${m%:*} row 'x/y/' '' '+x/y/fichier_01' "x/ x/y/ x/y/fichier_01@${m#*:}"; done
    # A level made meanwhile by another run, or under another spelling, counts as made when it can be used.
    FAULT='mkdir 1 fail 17' row 'n/' '' '!n/:EEXIST' ''
    # An errno that the C library has no name for still gets its text, and nothing is allocated for it.
    unsanitized "malloc is the sanitizer's"
    FAULT='mkdir 1 fail 524; malloc 1 raise 6' row 'n/' '' '!n/:524' ''
}

@test "permission failures of an unprivileged user" {
    AS=nobody
    row 'ro/' 'ro/@555' '!ro/:EACCES' 'ro/@555'
    row 'wo/' 'wo/@300' '!wo/:EACCES' 'wo/@300'
    row 'ro/new/' 'ro/@555' '!ro/new/:EACCES' 'ro/@555'
    row 'nx/ ok/' 'nx/@600' '?nx/fichier_01:EACCES +ok/fichier_02' 'nx/@600 ok/ ok/fichier_02'
    row 'd/' 'd/ d/fichier_01=mine@444' '=d/fichier_01' 'd/ d/fichier_01=mine@444'
    row 'x y/z/' './@555' '!x:EACCES !y/z/:EACCES' ''
    # A file that cannot be written is removed even where the path /proc gives is out of the user's reach.
    ! root || chmod 700 "$T"
    LIMITS=--fsize=0 row 'd/' '' '?d/fichier_01:EFBIG' 'd/'
}

@test "a file that cannot be written whole is removed" {
    for n in 0 10; do LIMITS=--fsize=$n row 'out/ out/' '' '?out/fichier_01:EFBIG ?out/fichier_02:EFBIG' 'out/'; done
    FAULT='write 1 zero' row 'd/ d/' '' '?d/fichier_01:ENOSPC +d/fichier_02' 'd/ d/fichier_02'
    # Only where the final close fails is the file left: nothing then tells it from another's.
    FAULT='close 1 fail 5' row 'd/ d/' '' '?d/fichier_01:EIO +d/fichier_02' 'd/ d/fichier_01 d/fichier_02'
    LIMITS=--nofile=8 row "$(rep 20 d/)" '' "$(each 20 + d/)" "d/ $(each 20 '' d/)"
    # The directory is swapped for another as the write fails, or the file for another's as its directory is
    # opened: only this run's file goes.
    FAULT="write 1 swap $W/l1 $W/l2" LIMITS=--fsize=0 row 'l1/' 'mine/ o/ o/fichier_01=o l1->mine l2->o' \
        '?l1/fichier_01:EFBIG' 'mine/ o/ o/fichier_01=o l1->o l2->mine'
    FAULT="open 2 swap $W/d/fichier_01 $W/o/fichier_01" LIMITS=--fsize=0 row 'd/' 'd/ o/ o/fichier_01=o' \
        '?d/fichier_01:EFBIG' 'd/ d/fichier_01=o o/ o/fichier_01='
    [ -z "${SANITIZED:-}" ] || skip "the rows with one descriptor to spare: a sanitizer's runtime takes it"
    for n in 0 1; do LIMITS="--nofile=4 --fsize=$n" row 'd/ d/' '' '?d/fichier_01:EFBIG ?d/fichier_02:EFBIG' 'd/'; done
    for n in 2 3; do STDOUT=closed LIMITS="--nofile=$n --fsize=0" row 'd/' '' '' 'd/'; done
}

@test "full and read-only filesystems" {
    root && unshare -m true || skip "no mount namespace here: needs root"
    NS='mount -t tmpfs -o size=64k,mode=700 tmpfs full; yes >full/fill 2>/dev/null' \
        row 'full/' 'full/' '?full/fichier_01:ENOSPC' 'full/ full/fill=y'
    NS='mount -t tmpfs -o ro,mode=700 tmpfs ro' row 'ro/ ro/sub/' 'ro/' '!ro/:EROFS !ro/sub/:EROFS' 'ro/'
}

@test "a single-level absolute path has the root as its parent" {
    root && unshare -m true || skip "no mount namespace here: needs root"
    unsanitized "the sanitizer runtime needs /proc, which the new root lacks"
    [ -z "$RUNNER" ] || skip "under the emulator's -L, / is the target's libraries"
    local tree='usr/ bin/ ro/ lib->usr/lib lib64->usr/lib64' ns="mount --bind /usr usr && mount --bind $BIN bin"
    NS="$ns"' && mount -t tmpfs -o ro tmpfs ro && exec unshare -R . -w /ro "$@"' BIN=/bin \
        row '/top/ /t' "$tree" '+/top/fichier_01 +/tfichier_02' "$tree top/ top/fichier_01 t/ tfichier_02"
    NS="$ns"' && exec unshare -R . "$@"' BIN=/bin LIMITS=--fsize=0 row '/' "$tree" '?/fichier_01:EFBIG' "$tree"
}

@test "tight memory and stack limits change nothing" {
    unsanitized "the sanitizer runtime alone needs more memory"
    [ -z "$RUNNER" ] || skip "an emulator cannot start in 8 MiB of address space"
    local a=a$(printf '/%.0s' {1..4000}) l=$(printf 'l/%.0s' {1..2000}) dirs=$(seq 2000 | awk '{ d = d "l/"; print d }')
    LIMITS='--as=8388608 --stack=262144' row "x/ $a $l y/" '' "+x/fichier_01 +${a}fichier_02 +${l}fichier_03 +y/fichier_04" \
        "x/ x/fichier_01 a/ a/fichier_02 $dirs ${l}fichier_03 y/ y/fichier_04"
}

@test "signals: the file in hand is finished, then the run ends by the first one" {
    local abc='a/ b/ c/' t='a/ b/ a/fichier_01 b/fichier_02'
    FAULT='write 2 raise 2 15' row "$abc" '' '+a/fichier_01 +b/fichier_02' "$t" 'signal 2'
    # A second signal while a file's write hangs gives that file up.
    FAULT='write 2 intr 15 15' row "$abc" '' '+a/fichier_01 ?b/fichier_02:EINTR' 'a/ b/ a/fichier_01' 'signal 15'
    IGNORE='HUP INT TERM' FAULT='write 2 raise 15' row "$abc" '' '+a/fichier_01 +b/fichier_02 +c/fichier_03' \
        "$t c/ c/fichier_03"
    IGNORE=HUP FAULT='sigaction 2 raise 1' row 'a/' '' '+a/fichier_01' 'a/ a/fichier_01' # as its handler goes in
    # SIGABRT sent by another process ends the run like the others; the tool's own abort or fault keeps its
    # default action at once (and a sanitizer would catch the fault).
    FAULT='write 2 kill 6' row "$abc" '' '+a/fichier_01 +b/fichier_02' "$t" 'signal 6'
    FAULT='write 2 raise 6' row "$abc" '' '' 'a/ b/ a/fichier_01 b/fichier_02=' 'signal 6'
    unsanitized "the rows of a fault: a sanitizer catches it"
    FAULT='write 2 raise 11' row "$abc" '' '' 'a/ b/ a/fichier_01 b/fichier_02=' 'signal 11'
}

# Every kind of signal at every call of one run, for each kind of stdout; prints how many runs it made.
enumerate() {
    local s=0
    perl "$BATS_TEST_DIRNAME/enumerate.pl" "$BIN/mkfichier" "$BIN/libfault.so" "$T" "$1" >"$T/log" 2>&1 || s=$?
    cat "$T/log" && tail -n 1 "$T/log" >&3 && return $s
}
@test "a signal at any call, stdout a pipe" { enumerate pipe; }
@test "a signal at any call, stdout a regular file" { enumerate file; }
@test "a signal at any call, stdout a terminal" { enumerate tty; }
@test "a clean-up call that fails, with any errno" { enumerate cleanup; }

@test "stdout: reports go out whole, and one signal ends a run that waits for room" {
    local d=$(printf 'd%.0s' {1..250}) long=$(printf 'x%.0s' {1..5000})
    # A reader gone costs the reports, not the work: 300 reports of 270 bytes pass the 64 KiB of a batch.
    STDOUT=unread row "$(rep 300 $d/)" '' '' "$d/ $(each 300 '' $d/)"
    # One 4 KiB page free (61440 of 64 KiB held) takes the first 123 reports whole, as many as fit in 4096 bytes.
    STDOUT=pipe:61440 FAULT='out 1 raise 15' row "$(rep 300 d/)" '' "$(each 123 + d/)" "d/ $(each 300 '' d/)" 'signal 15'
    # Another writer takes that page first, or none is free: no write waits, a signal ends the wait.
    STDOUT=pipe:61440 FAULT='out 1 fill 15' row "$(rep 300 d/)" '' '' "d/ $(each 300 '' d/)" 'signal 15'
    STDOUT=pipe:65536 FAULT='ppoll 1 raise 2' row "$(rep 3 d/)" '' '' "d/ $(each 3 '' d/)" 'signal 2'
    # Stdout made non-blocking by another process: a full pipe is waited for. No progress: the reports are dropped.
    FAULT='out 1 fail 11' row 'd/ d/' '' '+d/fichier_01 +d/fichier_02' 'd/ d/fichier_01 d/fichier_02'
    FAULT='out 1 zero' row 'd/ d/' '' '' 'd/ d/fichier_01 d/fichier_02'
    # A size limit cuts the fourth report: the file keeps the three whole ones.
    STDOUT=file LIMITS=--fsize=100 row 'a/ b/ c/ d/' '' '+a/fichier_01 +b/fichier_02 +c/fichier_03' \
        'a/ b/ c/ d/ a/fichier_01 b/fichier_02 c/fichier_03 d/fichier_04'
    row "$long d/" '' "!$long:ENAMETOOLONG +d/fichier_02" 'd/ d/fichier_02'
    # A report longer than PIPE_BUF, one page free: the run ends, that report cut at 4096 bytes.
    STDOUT=fifo:61440 FAULT='out 1 raise 15' run_tool "$long"
    assert_equal "$(cat "$T/out")|$(tail -n 1 "$T/status")" "$(reports "!$long:ENAMETOOLONG" | head -c 4096)|signal 15"
    # A terminal that stopped reading: the run fills it, then waits where one signal ends it.
    fresh && STDOUT=stalled FAULT='ppoll 1 raise 15' run_tool $(rep 5000 d/)
    assert_equal "$(tail -n 1 "$T/status")" 'signal 15'
    assert [ "$(grep -c fichier_ "$T/tree")" -gt 100 ]
    refute grep = "$T/tree"
}

@test "a terminal sees each report before the next argument is handled" {
    STDOUT=tty FAULT='mkdir 2 raise 9' row 'a/ b/' '' '+a/fichier_01' 'a/ a/fichier_01' 'signal 9'
}

@test "parallel runs make each file once" {
    local args=(c/{0..4}/{0..2}/ c/{0..4}/{0..2}/ c/{0..4}/{0..2}/) words i run
    words=$(printf '%s\n' "${args[@]}" | awk '{ printf "+%sfichier_%02d\n", $0, NR }')
    for run in {1..6}; do
        fresh && cd "$W" && { ((run % 2)) || mkdir -p "${args[@]}"; }
        for i in {1..8}; do $RUNNER "$BIN/mkfichier" "${args[@]}" >"$T/out$i" 2>&1 & done
        wait
        for i in {1..8}; do diff <(reports "$words") <(sed 's/is already existing/is created/' "$T/out$i"); done
        assert_equal "$(cat "$T"/out? | grep 'is created' | sort | uniq -u | wc -l) $(scan | grep -c fichier_)" \
            "45 45"
        refute grep = <(scan)
    done
}

@test "the binary needs libc alone" {
    unsanitized "a sanitizer build links its runtime too"
    # Beside the loader, which some targets name too (ld-linux-*, ld64.so.*, ld.so.1).
    assert_regex "$(readelf -d "$BIN/mkfichier" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | grep -v '^ld[-.6]')" \
        '^libc\.so(\.6)?$'
}

@test "the manual page names this version" { grep -qx ".Os mkfichier $VERSION" "$MANUAL"; }

@test "completion offers directories only" {
    # shellcheck source=/dev/null
    source "$COMPLETION" && assert_equal "$(complete -p mkfichier)" "complete -o filenames -o nospace -F _mkfichier mkfichier"
    while IFS='|' read -r word want; do
        _mkfichier mkfichier "$word" mkfichier && assert_equal "$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')" "$want"
    done <<<$'ou|out\no|other out\nw|with space\nx|\n|other out with space'
}

# Types `mkfichier WORD<TAB>` into an interactive bash on a tmux server of its own
# (run by $SHELL, else the login shell: nobody's is nologin), once the prompt is up
# (keys sent before it echo twice); prints the line and the cursor's column.
typed() {
    local s=$T/sock.$1 line='' i
    printf "PS1='\$ '\nsource '%s'\n" "$COMPLETION" >"$T/rc"
    SHELL=/bin/sh tmux -S "$s" new-session -d -x 120 -y 10 "env INPUTRC=/dev/null bash --rcfile '$T/rc' -i" || return
    for ((i = 0; i < 50; i++)); do tmux -S "$s" capture-pane -p | grep -qx '\$' && break; sleep 0.1; done
    tmux -S "$s" send-keys "mkfichier $2" Tab
    for ((i = 0; i < 50; i++)); do
        line=$(tmux -S "$s" capture-pane -p | grep '^\$ mkfichier' | tail -n 1) && [[ $line == "\$ mkfichier $2"?* ]] && break
        sleep 0.1
    done
    printf '%s|%s\n' "$line" "$(tmux -S "$s" display -p '#{cursor_x}')"
}

@test "completion works in an interactive bash" {
    tmux -S "$T/sock.probe" new-session -d true 2>"$T/err" || skip "tmux cannot start a terminal here: $(cat "$T/err")"
    assert_equal "$(typed 1 ou)" "\$ mkfichier out/|16"
    assert_equal "$(typed 2 'with\ s')" "\$ mkfichier with\\ space/|24"
}
