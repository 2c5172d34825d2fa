#!/usr/bin/perl
# The engine of mkfichier.bats: `row` runs one case as that file's head says, and shows what differs; `enumerate
# pipe|file|tty|full` places a signal of each kind at every call of one run with that stdout, and `enumerate cleanup`
# fails each call of a file's clean-up with each errno; `scan` prints the tree. A run starts as a shell starts one
# (signals at their defaults, IGNORE's aside, none blocked, no descriptor but 0, 1 and 2) and is killed, with all it
# started, after 20 s. The tool and the fault library are in $BIN ($RUNNER runs the tool), the work in $T/w.
use strict; use warnings; use Fcntl; use File::Find; use File::Path qw(make_path remove_tree); use Socket;
use POSIX qw(:signal_h :errno_h);

my ($bin, $t, $w) = (@ENV{qw(BIN T)}, "$ENV{T}/w");
my %why = map { /^(\S+) (.*)/ } split /\n/, slurp("$bin/errno"); # the target's errno texts

sub slurp { local $/; open(my $f, '<', shift) or return ''; return <$f> // '' }
sub spew { my $f; open($f, '>', shift) && print($f @_) && close $f or die }
sub unescape { return map { s/\\x(..)/chr hex $1/ger =~ s/\\t/\t/gr =~ s/^''$//r } split ' ', shift // '' }
sub line { return sprintf " je suis le fichier fichier_%02d\n", shift }

# Runs the tool on @args in $w, stdout of $kind (STDOUT in mkfichier.bats). Returns its end ("exit N", "signal N"
# or "timeout"), stdout, and stderr (but an emulator's word on a signal), after a word on a file offset not at its end.
sub run {
    my ($kind, @args) = @_;
    my ($n, $end, $r, $o, $file) = ($kind =~ /:(\d+)/ ? $1 : 0, '');
    my $tty = $kind eq 'tty' ? 'copy' : $kind =~ /^(stalled|full)$/ ? $kind : undef;
    $kind =~ /^fifo/ ? POSIX::mkfifo("$t/fifo", 0600) && open($r, '+<', "$t/fifo") && ($o = $r) :
        $kind eq 'socket' ? socketpair($r, $o, AF_UNIX, SOCK_STREAM, 0) : pipe($r, $o) or die;
    open($file, '>', "$t/out") or die if $kind eq 'file';
    $n ? syswrite($o, "\0" x $n) : fcntl($o, 1031, 1 << 20); # F_SETPIPE_SZ: room for every report, none dropped
    close $r if $kind eq 'unread';
    # The fault library goes to the tool alone, not to the commands that start it.
    my %env = ($ENV{RUNNER} ? (QEMU_SET_ENV => "LD_PRELOAD=$bin/libfault.so") : (LD_PRELOAD => "$bin/libfault.so"),
        $tty ? (FAULT_TTY => $tty) : ()) if $ENV{FAULT} || $ENV{FAULT_ARG} || $tty;
    my @cmd = ($ENV{LIMITS} ? ('prlimit', split(' ', $ENV{LIMITS}), '--') : (),
        ($ENV{AS} // '') eq 'nobody' && $> == 0 ? qw(setpriv --reuid=65534 --regid=65534 --clear-groups) : ());
    @cmd = (qw(unshare -m --propagation private bash -c), "$ENV{NS}; \"\$@\"; s=\$?; perl $0 scan >$t/tree; exit \$s",
        'ns', @cmd) if $ENV{NS};
    my $wrapped = @cmd > 0; # the variables go to the tool through env, past the commands that start it
    @cmd = ($wrapped ? (@cmd, 'env', map { "$_=$env{$_}" } sort keys %env) : (), split(' ', $ENV{RUNNER} // ''),
        "$bin/mkfichier", @args);
    my $pid = fork // die;
    if (!$pid) {
        $SIG{$_} = 'DEFAULT' for keys %SIG; $SIG{$_} = 'IGNORE' for split ' ', $ENV{IGNORE} // '';
        sigprocmask(SIG_SETMASK, POSIX::SigSet->new); POSIX::setpgid(0, 0); # a group of its own, as a shell's job
        open(STDOUT, '>&', $file // $o) && open(STDERR, '>', "$t/err") && chdir $w or die;
        close STDOUT if $kind eq 'closed'; umask oct($ENV{UMASK} // '022');
        @ENV{keys %env} = values %env if !$wrapped;
        m{(\d+)$} && $1 > 2 && POSIX::close($1) for glob '/proc/self/fd/*';
        exec @cmd or POSIX::_exit(127);
    }
    close $o if $kind !~ /^fifo/;
    local $SIG{ALRM} = sub { kill 'KILL', -$pid; $end = 'timeout' }; alarm 20;
    my $got = !$n && $kind ne 'unread' ? do { local $/; <$r> } // '' : '';
    waitpid $pid, 0; alarm 0;
    fcntl($r, F_SETFL, O_NONBLOCK) if $kind =~ /^fifo/; # it holds a writer
    $got = $file ? slurp("$t/out") : $n ? (do { local $/; <$r> } // '') =~ tr/\0//dr : $got;
    my $hole = $file && sysseek($file, 0, 1) != length $got ? "the next writer would not follow the reports\n" : '';
    $got =~ tr/\r//d if $tty;
    $end ||= $? & 127 ? 'signal ' . ($? & 127) : 'exit ' . ($? >> 8);
    return ($end, $got, $hole . slurp("$t/err") =~ s/^qemu: uncaught target signal.*\n//mr);
}

# The tree below $w, a word a line as in a row's AFTER (mkfichier.bats), file=text with the first line of the text.
sub scan {
    my @words;
    find({no_chdir => 1, wanted => sub {
        return if $_ eq $w;
        my ($p, $m, $text) = (substr($_, length($w) + 1), sprintf('%o', (lstat)[2] & 07777), slurp($_));
        my $word = -l $_ ? "$p->" . readlink : -d _ ? "$p/" : $p =~ /fichier_(\d+)$/ && $text eq line($1) ? $p
            : "$p=" . ($text =~ /^(.*)/ ? $1 : '');
        push @words, $word . ($m eq (-l $_ ? $m : -d _ ? 700 : 644) ? '' : "\@$m");
    }}, $w);
    return join '', map { "$_\n" } sort @words;
}

# Makes the tree of a row's BEFORE in a fresh $w.
sub make {
    remove_tree($w, "$t/tree", "$t/fifo"); mkdir $w or die;
    for (unescape(shift)) {
        my ($p, $m) = /^(.*?)(?:@(\d+))?$/s;
        my ($f, $text) = $p =~ /^(.*?)=(.*)$/s ? ($1, "$2\n") : ($p, line($p =~ /_(\d+)$/ ? $1 : 0));
        if ($p =~ /^(.*)->(.*)$/s) { symlink $2, "$w/$1" or die }
        elsif ($p =~ m{/$}) { make_path("$w/$p"); chmod oct($m // 700), "$w/$p" or die }
        else { spew("$w/$f", $text); chmod oct($m // 644), "$w/$f" or die }
    }
}

# The reports that a row's OUTPUT words stand for, in the target C library's words.
sub reports {
    return join '', map {
        my ($k, $x) = /^(.)(.*)/s; my ($p, $e) = $x =~ /^(.*):(\w+)$/s;
        $k eq '+' ? qq( File "$x" is created.\n) : $k eq '=' ? qq( File "$x" is already existing.\n) :
            ($k eq '!' ? qq( Error : Cannot use the path "$p") : qq( error: Cannot creat the file "$p")) . "\n\t" .
            ($why{$e} // do { local $! = $e =~ /\D/ ? eval "POSIX::$e()" : $e; "$!" }) . "\n"
    } unescape(shift);
}

sub row {
    my ($args, $before, $output, $after, $end) = @_;
    make($before); system('chown', '-hR', '65534:65534', $w) if ($ENV{AS} // '') eq 'nobody' && $> == 0;
    my ($got_end, $out, $err) = run($ENV{STDOUT} // 'pipe', unescape($args));
    my %got = (out => $out, tree => -e "$t/tree" ? slurp("$t/tree") : scan(), end => "$err$got_end\n");
    my %want = (out => substr(reports($output), 0, $ENV{CUT} // 1e9), end => ($end // 'exit 0') . "\n",
        tree => $after eq '*' ? $got{tree} : join('', map { "$_\n" } sort(unescape($after))));
    my @bad = grep { $want{$_} ne $got{$_} } qw(out tree end);
    spew("$t/$_", $got{$_}), spew("$t/want-$_", $want{$_}) for 'tree', @bad; # the test may read $t/tree
    system("diff -u '$t/want-$_' '$t/$_' | head -n 40") for @bad;
    return !@bad;
}

# Whether each report is whole and in its place, each file there whole and reported, and each reported as made
# there; returns the kinds of the reports, and what is wrong.
sub check {
    my ($out, $cut, @args) = @_; # $cut: the last report may be cut (a terminal that lags, on the way out)
    my (@kinds, @bad);
    for my $i (1 .. @args) {
        my ($a, $f) = ($args[$i - 1], sprintf('%sfichier_%02d', $args[$i - 1], $i));
        my ($text, $made) = (-e "$w/$f" ? slurp("$w/$f") : undef, -e "$w/$f" && $a ne 'x/' ? 1 : 0);
        push @bad, "$f holds '$text'" if defined $text && $text ne ($made ? line($i) : "mine\n");
        my ($head, @whole) = ($out =~ s/\n\t[^\n]*\z//r, map { qq( File "$f" is $_.\n) } 'created', 'already existing');
        my $kind = $out =~ s/^ File "\Q$f\E" is (created|already existing)\.\n// ? $1 :
            $out =~ s/^ (?:error: Cannot creat the file "\Q$f\E"|Error : Cannot use the path "\Q$a\E")\n\t.+\n// ?
            'failed' : $cut && $out ne '' && grep({ index($_, $head) == 0 } @whole,
            qq( error: Cannot creat the file "$f"\n\t), qq( Error : Cannot use the path "$a"\n\t)) ? 'cut' : 'none';
        $out = '' if $kind eq 'cut';
        push @bad, "$f made, not reported" if $kind eq 'none' && $made;
        push @bad, "$f reported $kind" if $kind =~ /^(created|already)/ && ($kind eq 'created') != $made;
        push @kinds, $kind =~ s/ existing//r;
    }
    push @bad, "more output: '" . substr($out, 0, 80) . "'" if $out ne '';
    push @bad, 'a report after a missing one' if "@kinds" =~ /none [caf]/;
    return ("@kinds", @bad);
}

sub enumerate {
    my ($kind, $runs, $failed) = (shift, 0, 0);
    my $go = sub { # one run in a fresh $w that holds x/fichier_02; its end and the kinds of its reports, what is wrong
        local $ENV{FAULT} = shift; make('x/ x/fichier_02=mine'); ++$runs;
        my ($end, $out, $err) = run($kind eq 'cleanup' ? 'pipe' : $kind, @_);
        my ($kinds, @bad) = check($out, $kind eq 'tty', @_);
        return ("$err$end $kinds", grep { $kind ne 'full' || /holds/ } @bad); # a full terminal's reports are unread
    };
    my $say = sub { my $what = shift; print "# $kind, $what: $_\n" for @_; $failed += @_ > 0 };
    my $calls = sub { # those of a run undisturbed but by the faults given, which ends as it must
        my ($fault, $want, @args) = @_;
        my @got = do { local $ENV{FAULT_LOG} = "$t/calls"; $go->($fault, @args) };
        return "@got" eq $want ? split "\n", slurp("$t/calls") : die "# undisturbed: @got\n";
    };
    my $first = sub { my ($c, @calls) = @_; (grep { $calls[$_ - 1] eq $c } 1 .. @calls)[0] };
    if ($kind eq 'cleanup') {
        # Each errno but EINTR (signals wait meanwhile) at each call from the failed write to the report. The file
        # goes, unless the system cannot tell the entry is still it (fstat, fstatat), reopen its directory or remove it.
        my @calls = $calls->('write 1 fail 28', 'exit 0 failed', 'w/');
        for my $n ($first->('write', @calls) + 1 .. $first->('out', @calls) - 1) {
            for my $e (EACCES, EBADF, EBUSY, EFAULT, EINVAL, EIO, EISDIR, ELOOP, EMFILE, ENAMETOOLONG, ENFILE, ENOENT,
                ENOMEM, ENOTDIR, EOVERFLOW, EPERM, EROFS) {
                my ($fault, $call) = ("* $n fail $e; write 1 fail 28", $calls[$n - 1]);
                my ($end, @bad) = $go->($fault, 'w/');
                my $stays = $call =~ /^(fstat|fstatat|unlinkat)$/ || $call eq 'diropen' && $e != EMFILE && $e != ENFILE;
                $say->("$fault ($call)", (grep { !$stays || !/holds ''/ } @bad), $end ne 'exit 0 failed' ? $end : (),
                    !$stays == -e "$w/w/fichier_01" ? 'file left: ' . (-e _ ? 1 : 0) : ());
            }
        }
    } else {
        # A signal at every call that a run undisturbed makes (interrupted where the call may wait): new levels, an
        # existing file, a path failure, a write that fails and a report longer than the buffer; on a full terminal,
        # from its reopening to its first wait for room. An emulator numbers the real-time signals its own way.
        my ($full, @args) = ($kind eq 'full', 'n/e/', 'x/', 'c:d/', 'w/', 'x' x 5000, 'z/');
        my @calls = $full ? $calls->('wait 1 raise 9; write 2 fail 28', 'signal 9' . ' none' x 6, @args)
            : $calls->('write 2 fail 28', 'exit 0 created already failed failed failed created', @args);
        for my $n (($full ? $first->('reopen', @calls) : 1) .. @calls) {
            for my $mode ('raise 15', 'intr 15', 'raise 15 15', 'intr 15 15', 'kill 6',
                $ENV{RUNNER} ? () : ('raise RTMAX', 'intr RTMAX')) {
                next if $mode =~ /^intr/ && $calls[$n - 1] =~ /^sig/;
                my $sig = $mode =~ /RT/ ? SIGRTMAX : (split ' ', $mode)[1];
                my $fault = "* $n $mode; write 2 fail 28";
                my ($end, @bad) = $go->($fault, @args);
                $say->("$fault ($calls[$n - 1])", @bad, $end !~ /^signal $sig / ? "ended by $end" : ());
            }
        }
    }
    print "# $kind: $runs runs, $failed failed\n";
    return !$failed;
}

my $what = shift; # a row's words come on stdin, each ended by a NUL: whole trees pass the bounds of argv
@ARGV = do { local $/; <STDIN> } =~ /([^\0]*)\0/g if $what eq 'row';
exit !($what eq 'row' ? row(@ARGV) : $what eq 'enumerate' ? enumerate(@ARGV) : print scan());
