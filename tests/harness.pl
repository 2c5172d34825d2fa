#!/usr/bin/perl
# The engine of mkfichier.bats: `row` runs one case as that file's head says, and shows what differs; `signals
# pipe|file` raises a signal at every call of one run with that stdout; `errors` fails every call of two runs with
# each error it may meet; `scan` prints the tree. A run starts as a shell starts one (signals at their defaults but
# IGNORE's, none blocked but BLOCK's, no descriptor but 0, 1 and 2), in a process group of its own that is killed
# after 20 s, or when this engine ends, however it ends. The tool and the fault library are in $BIN ($RUNNER runs
# the tool), the work in $T/w.
use strict; use warnings; use Fcntl; use File::Find;
use File::Path qw(make_path remove_tree); use POSIX qw(:signal_h :errno_h);

my ($bin, $t) = @ENV{qw(BIN T)};
die "harness.pl: BIN and T must name directories\n" if !$bin || !$t; # it removes and makes things under $T
my $w = "$t/w";
my %why = map { /^(\S+) (.*)/ } split /\n/, slurp("$bin/errno"); # the target's errno texts

sub slurp { local $/; open(my $f, '<', shift) or return ''; return <$f> // '' }
sub spew { my ($p, $f) = shift; open($f, ">", $p) && print($f @_) && close $f or die "$p: $!\n" }
sub unescape { return map { s/\\x(..)/chr hex $1/ger =~ s/\\t/\t/gr =~ s/^''$//r } split ' ', shift // '' }
sub line { return sprintf " je suis le fichier fichier_%02d\n", shift }
sub signals { return map { /^RTMAX$/ ? SIGRTMAX : eval "SIG$_" } split ' ', shift // '' }
sub norm { return shift =~ s{/+}{/}gr } # a path as the tree names it
sub short { my $p = shift; return length $p > 40 ? substr($p, 0, 20) . '...' : $p } # a path as a case names it

# Forks a watchdog that leads a new process group, for a run to join, blocked on a pipe whose other end this engine
# alone holds: once the engine ends, however it ends, the pipe closes and the watchdog kills its group. It comes
# first, so that no run is ever without one. Returns its pid, the group's number, and that end.
sub watchdog {
    pipe(my $wait, my $leash) or die;
    my $dog = fork // die;
    if (!$dog) {
        POSIX::setpgid(0, 0) or POSIX::_exit(0); # as its parent does: whichever comes first, never the engine's group
        $SIG{$_} = 'IGNORE' for qw(HUP INT TERM); # a group left behind is sent SIGHUP: the watchdog acts first
        m{(\d+)$} && $1 != fileno($wait) && POSIX::close($1) for glob '/proc/self/fd/*'; # the run's pipes are not its
        POSIX::read(fileno($wait), my $byte, 1);
        kill 'KILL', 0;
        POSIX::_exit(0);
    }
    POSIX::setpgid($dog, $dog) or die "setpgid: $!\n"; # before the run joins it
    close $wait;
    return ($dog, $leash);
}

# Runs the tool on @args in $w, stdout of $kind (STDOUT in mkfichier.bats), for at most $limit seconds. Returns how
# it ended ("exit N", "signal N" or "timeout"), its stdout, and its stderr but an emulator's word on a signal.
our $limit = 20;
sub run {
    my ($kind, @args) = @_;
    my ($n, $end, $r, $o, $file) = ($kind =~ /:(\d+)/ ? $1 : 0, '');
    pipe($r, $o) or die;
    open($file, $kind eq 'log' ? '>>' : '>', "$t/out") or die if $kind =~ /^(file|log)$/;
    my $mode = $file ? fcntl($file, F_GETFL, 0) : 0; # what the caller set, the tool must leave
    $n ? syswrite($o, "\0" x $n) : fcntl($o, 1031, 1 << 20); # F_SETPIPE_SZ: room for every report
    close $r if $kind eq 'unread';
    # The fault library goes to the tool alone, not to the commands that start it.
    my $preload = $ENV{FAULT} || $ENV{FAULT_LOG} || $kind eq 'tty';
    my %env = ($kind eq 'tty' ? (FAULT_TTY => 1) : (), $ENV{RUNNER} ? (QEMU_SET_ENV => "LD_PRELOAD=$bin/libfault.so")
        : (LD_PRELOAD => "$bin/libfault.so")) if $preload;
    my @cmd = ($ENV{LIMITS} ? ('prlimit', split(' ', $ENV{LIMITS}), '--') : (),
        ($ENV{AS} // '') eq 'nobody' && $> == 0 ? qw(setpriv --reuid=65534 --regid=65534 --clear-groups) : ());
    @cmd = (qw(unshare -m --propagation private bash -c), "$ENV{NS}; \"\$@\"; s=\$?; perl $0 scan >$t/tree; exit \$s",
        'ns', @cmd) if $ENV{NS};
    my $wrapped = @cmd > 0; # the variables go to the tool through env, past the commands that start it
    @cmd = ($wrapped ? (@cmd, 'env', map { "$_=$env{$_}" } sort keys %env) : (), split(' ', $ENV{RUNNER} // ''),
        "$bin/mkfichier", @args);
    my ($dog, $leash) = watchdog();
    my $pid = fork // die;
    if (!$pid) {
        $SIG{$_} = 'DEFAULT' for keys %SIG;
        $SIG{$_} = 'IGNORE' for split ' ', $ENV{IGNORE} // '';
        sigprocmask(SIG_SETMASK, POSIX::SigSet->new(signals($ENV{BLOCK})));
        POSIX::setpgid(0, $dog); # a group of its own, as a shell's job, with its watchdog
        open(STDOUT, '>&', $file // $o) && open(STDERR, '>', "$t/err") && chdir $w or die;
        close STDOUT if $kind eq 'closed';
        umask oct($ENV{UMASK} // '022');
        @ENV{keys %env} = values %env if !$wrapped;
        m{(\d+)$} && $1 > 2 && POSIX::close($1) for glob '/proc/self/fd/*';
        exec @cmd or POSIX::_exit(127);
    }
    close $o;
    local $SIG{ALRM} = sub { kill 'KILL', -$dog; $end = 'timeout' };
    alarm $limit;
    my $read = sub { return $kind ne 'unread' ? do { local $/; <$r> } // '' : '' };
    my $got = $n ? '' : $read->(); # a pipe that holds N bytes is read once the run has ended
    waitpid $pid, 0;
    my $status = $?;
    alarm 0;
    close $leash; # what the run left behind goes with the watchdog
    waitpid $dog, 0;
    my $flags = $file && fcntl($file, F_GETFL, 0) != $mode ? "the flags of stdout's file changed\n" : '';
    $got = $file ? slurp("$t/out") : ($got . ($n ? $read->() : '')) =~ tr/\0//dr;
    $got =~ tr/\r//d if $kind eq 'tty';
    $end ||= $status & 127 ? 'signal ' . ($status & 127) : 'exit ' . ($status >> 8);
    return ($end, $got, $flags . slurp("$t/err") =~ s/^qemu: uncaught target signal.*\n//mr);
}

# A case of an enumeration: a run on @args with stdout of $kind and FAULT $fault, in a fresh $w that holds $before.
# Returns how it ended, stderr first, its output and its tree.
sub attempt {
    my ($kind, $before, $fault, @args) = @_;
    local $ENV{FAULT} = $fault;
    make($before);
    my ($end, $out, $err) = run($kind, @args);
    return ("$err$end", $out, scan());
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
    remove_tree($w, "$t/tree", "$t/out");
    mkdir $w or die;
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
        my ($k, $x) = /^(.)(.*)/s;
        my ($p, $e) = $x =~ /^(.*):(\w+)$/s;
        $k eq '+' ? qq( File "$x" is created.\n) : $k eq '=' ? qq( File "$x" is already existing.\n) :
            ($k eq '!' ? qq( Error : Cannot use the path "$p") : qq( error: Cannot creat the file "$p")) . "\n\t" .
            ($why{$e} // do { local $! = $e =~ /\D/ ? eval "POSIX::$e()" : $e; "$!" }) . "\n"
    } unescape(shift);
}

sub row {
    my ($name, $args, $before, $output, $after, $end) = @_;
    make($before);
    system('chown', '-hR', '65534:65534', $w) if ($ENV{AS} // '') eq 'nobody' && $> == 0;
    my ($got_end, $out, $err) = run($ENV{STDOUT} // 'pipe', unescape($args));
    my %got = (out => $out, tree => -e "$t/tree" ? slurp("$t/tree") : scan(), end => "$err$got_end\n");
    my %want = (out => $output eq '*' ? $out : reports($output), end => ($end // 'exit 0') . "\n",
        tree => $after eq '*' ? $got{tree} : join('', map { "$_\n" } sort(unescape($after))));
    my @bad = grep { $want{$_} ne $got{$_} } qw(out tree end);
    print "row '$name' failed:\n" if @bad;
    for (@bad) {
        spew("$t/got-$_", $got{$_});
        spew("$t/want-$_", $want{$_});
        system("diff -u --label want-$_ --label got-$_ '$t/want-$_' '$t/got-$_' | cut -c 1-160 | head -n 40");
    }
    return !@bad;
}

# A signal at each call of one run (those of a run undisturbed but for a failing write): new levels, an existing
# file, a path failure, a file that cannot be written, a report longer than PIPE_BUF, a new file. The run must end
# by that signal, each file be whole or absent, and the output be the undisturbed run's up to a report's end, but
# within a report longer than PIPE_BUF or, on a regular file, where the signal stopped a write.
sub signal_at_each_call {
    my $kind = shift;
    my ($runs, $failed, $long) = (0, 0, 'x' x 5000);
    my @args = ('n/e/', 'x/', 'c:d/', 'w/', $long, 'z/');
    my $write = 'write w/fichier_04 fail ENOSPC';
    my $go = sub { # one run in a fresh $w that holds x/fichier_02
        ++$runs;
        return attempt($kind, 'x/ x/fichier_02=mine', shift, @args);
    };
    my ($all, @calls) = do {
        local $ENV{FAULT_LOG} = "$t/calls";
        my ($end, $out) = $go->($write);
        die "undisturbed: $end\n" if $end ne 'exit 0';
        ($out, split "\n", slurp("$t/calls"));
    };
    my @whole = (0); # where each report ends
    push @whole, pos $all while $all =~ /\n(?!\t)/g;
    my $from = index($all, qq( Error : Cannot use the path "$long"));
    my $to = $from + length(reports("!$long:ENAMETOOLONG"));
    my @tree = map { "$_\n" } qw(n/ n/e/ n/e/fichier_01 w/ x/ x/fichier_02=mine z/ z/fichier_06);
    for my $n (1 .. @calls) {
        my ($call, $path) = split ' ', $calls[$n - 1], 2;
        $path = short($path);
        $call = $call eq 'out' ? 'write to stdout' : $path ? "$call of $path" : $call;
        for my $sig ('TERM', $ENV{RUNNER} ? () : 'RTMAX') {
            my $number = (signals($sig))[0];
            my ($end, $out, $tree) = $go->("* $n raise $number; $write");
            my ($len, @bad) = (length $out, $end eq "signal $number" ? () : "ended by $end");
            push @bad, 'a file not whole or not ours' if grep { my $l = $_; !grep { $_ eq $l } @tree } split /^/, $tree;
            push @bad, 'not the reports of a run undisturbed' if substr($all, 0, $len) ne $out;
            my $cut = !grep({ $_ == $len } @whole) && !($len > $from && $len < $to);
            push @bad, 'a report cut' if $cut && $kind ne 'file';
            next if !@bad;
            $failed++;
            print "# SIG$sig at the $call: ", join(', ', @bad), "\n";
        }
    }
    print "# stdout a $kind: $runs runs, $failed failed\n";
    return !$failed;
}

# Each call of two runs fails with each error that it may meet (the table), once, then every time on that path
# (always), by its position in the undisturbed run: a plain run, with a level named twice, a file there already and a
# path failure; and one whose file's write fails and whose stdout answers EAGAIN once, so that the clean-up and the
# wait for room are reached. Against the undisturbed run: it ends by itself within 5 s, exit 0, stderr empty; each
# "created" names a whole file; the argument at hand fails with the error placed, or goes on as undisturbed where the
# table marks the error taken in stride (=) or maybe (~), as is every call after its first failure; a failed file is
# gone, but where a clean-up call or the file's close failed; the other arguments get the undisturbed reports and tree;
# a write to stdout that fails ends the reports there; a sentinel beside the run stays. A retry for ever on stdout
# (= always) must end instead at a SIGTERM raised at its third retry. ONLY=CALL runs that call's cases alone.
my %takes = (
    access => '~ENOENT EACCES EPERM EIO EINTR ENOSYS',
    mkdir => '~EEXIST EACCES EPERM EIO EINTR ENOSPC EDQUOT EROFS ENOSYS',
    open => 'EEXIST EACCES EPERM EIO EINTR EAGAIN ENOSPC EDQUOT EMFILE ENFILE ENOSYS',
    write => 'EINTR EAGAIN EIO ENOSPC EDQUOT EFBIG EPERM ENOSYS EEXIST zero',
    close => 'EINTR EIO ENOSPC EDQUOT ENOSYS EEXIST', # a directory's: all =
    out => '=EINTR =EAGAIN EIO ENOSPC EDQUOT EFBIG EPERM ENOSYS zero',
    wait => '=EINTR ENOMEM',
    sigprocmask => '=EINVAL =EPERM =ENOSYS',
    fstat => '=EIO =EACCES =EPERM =EINTR =ENOMEM =ENOSYS',
    diropen => '=EIO =EACCES =EPERM =EINTR =ENOENT =EMFILE =ENFILE =ENOSYS',
    fstatat => '=EIO =EACCES =EPERM =EINTR =ENOENT =ENOMEM =ENOSYS',
    unlinkat => '=EIO =EACCES =EPERM =EINTR =EBUSY =EROFS =ENOSYS',
);
sub split_reports { return shift =~ /( [^\n]*\n(?:\t[^\n]*\n)?)/g }

# What differs between a case's run and the undisturbed one; $case holds both, the argument at hand and the fault.
sub judge {
    my $c = shift;
    my ($args, $i, $call, $err, $how) = @$c{qw(args i call err how)};
    my @r0 = split_reports($c->{out0});
    my @r = split_reports($c->{out});
    my @bad = $c->{end} eq 'exit 0' ? () : "ended by $c->{end}";
    push @bad, 'the sentinel changed' if slurp("$t/sentinel/keep") ne "keep\n" || (() = glob("$t/sentinel/*")) != 1;
    push @bad, map { /created/ && /"(.*)"/ && $c->{tree} !~ /^\Q${\ norm($1)}\E$/m ? "not whole: $1" : () } @r;
    if ($call eq 'out' || $call eq 'wait') {
        my $prefix = length $c->{out} < length $c->{out0} && index($c->{out0}, $c->{out}) == 0;
        push @bad, $how eq '=' ? 'not the undisturbed reports' : 'reports after a failed write'
            if $how eq '=' ? $c->{out} ne $c->{out0} : !$prefix;
        push @bad, 'not the undisturbed tree' if $c->{tree} ne $c->{tree0};
        return @bad;
    }
    return (@bad, 'not one report an argument') if @r != @r0;
    my $file = sprintf '%sfichier_%02d', $args->[$i], $i + 1;
    my $mine = norm($file);
    my $stays = $call =~ /^(fstat|fstatat|unlinkat)$/ || ($call eq 'close' && norm($c->{where}) eq $mine)
        || ($call eq 'diropen' && ($c->{always} || $err !~ /^(EMFILE|ENFILE)$/));
    push @bad, "another argument's report changed" if grep { $_ != $i && $r[$_] ne $r0[$_] } 0 .. $#r0;
    # A probe that fails after its level's mkdir met EEXIST, or that keeps finding no level, ends as that EEXIST.
    my $exists = $call eq 'access' && ($err eq 'ENOENT' || $c->{prev} eq "mkdir $c->{where}");
    my %ok = map { reports("!$args->[$i]:$_") => 1, reports("?$file:$_") => 1 }
        $err eq 'zero' ? 'ENOSPC' : $err, $exists ? 'EEXIST' : ();
    $ok{reports("=$file")} = 1 if $call eq 'open' && $err eq 'EEXIST'; # whatever is there is not ours
    delete $ok{reports("?$file:EEXIST")} if $call eq 'open'; # and is never a failure
    my $same = $r[$i] eq $r0[$i];
    my $right = $how eq '=' ? $same : $how eq '~' ? $same || $ok{$r[$i]} : $ok{$r[$i]};
    push @bad, 'reported as:' . $r[$i] =~ s/\n\t?/ /gr if !$right;
    my %want = map { $_ => 1 } split /\n/, $c->{tree0};
    my %got = map { $_ => 1 } split /\n/, $c->{tree};
    my $failed = ($r[$i] // '') =~ /^ error: /;
    my %pre = map { $_ => 1 } split ' ', $c->{pre}; # what was there before stays, another's file at the name too
    for (grep { !$got{$_} } sort keys %want) { # a level the argument did not make, or its failed file
        push @bad, "lost $_" if $pre{$_} || !(!$same && (m{/$} ? index(norm("$args->[$i]/"), $_) == 0 : $_ eq $mine));
    }
    push @bad, map { "left $_" } grep { !$want{$_} && !($stays && $failed && /^\Q$mine\E(=|$)/) } sort keys %got;
    push @bad, "a failed file stays" if $failed && !$stays && grep { /^\Q$mine\E(=|$)/ && !$pre{$_} } keys %got;
    return @bad;
}

sub error_at_each_call {
    local $limit = 5;
    local $ENV{FAULT_QUIET} = 1; # a fault of the run's own may not act once another has failed the call before it
    die "ONLY=$ENV{ONLY}: no such call\n" if defined $ENV{ONLY} && !$takes{$ENV{ONLY}};
    my ($runs, $failed, $hung, %reached) = (0, 0, 0);
    remove_tree("$t/sentinel");
    make_path("$t/sentinel");
    spew("$t/sentinel/keep", "keep\n");
    # A report longer than PIPE_BUF makes the reports go out in several writes.
    my @plans = ([['n/e/', 'x/', 'a//', 'c:d/', 'y' x 5000, 'z/'], 'x/ x/fichier_02=mine', ''],
        [[qw(w/ v/)], '', 'write w/fichier_01 fail ENOSPC; out * fail EAGAIN']);
    for my $plan (@plans) {
        my ($args, $before, $base) = @$plan;
        my $go = sub { # a run with the plan's faults and these, the placed one last, so that its errno stands
            ++$runs;
            return attempt('pipe', $before, join('; ', grep { $_ ne '' } $base, @_), @$args);
        };
        unlink "$t/calls";
        my ($end0, $out0, $tree0) = do { local $ENV{FAULT_LOG} = "$t/calls"; $go->() };
        die "undisturbed: $end0\n" if $end0 ne 'exit 0';
        my ($i, $after, $prev, %seen) = (-1, 0, '');
        for my $line (split /\n/, slurp("$t/calls")) {
            my ($call, $where) = split / /, $line, 2;
            ($i, $after) = ($i + 1, 0) if $i + 1 < @$args && $line eq "access $args->[$i + 1]";
            my $n = ++$seen{$call};
            $reached{$call} = 1;
            for (split ' ', $takes{$call}) {
                my ($how, $err) = /^([=~]?)(.*)/;
                $how = '=' if $after || ($call eq 'close' && $where !~ /fichier_\d+$/);
                next if ($ENV{ONLY} // $call) ne $call;
                for my $always ('', ' always') {
                    my $fault = "$call $n " . ($err eq 'zero' ? 'zero' : "fail $err") . $always;
                    my @for = $call =~ /^(out|wait)$/ ? () : '(for ' . short($args->[$i]) . ')';
                    my $name = join ' ', grep { $_ ne '' } $call, short($where), @for, $err . $always;
                    my @bad;
                    if ($always && $how eq '=' && $call =~ /^(out|wait)$/) { # retried until a signal ends it
                        my ($end) = $go->($fault, "$call " . ($n + 3) . ' raise 15');
                        @bad = $end eq 'signal 15' ? () : "ended by $end, not by the SIGTERM at its third retry";
                    } else {
                        my %c = (args => $args, i => $i, call => $call, where => $where, err => $err, how => $how,
                            always => $always, prev => $prev, pre => $before, out0 => $out0, tree0 => $tree0);
                        @c{qw(end out tree)} = $go->($fault);
                        @bad = judge(\%c);
                    }
                    next if !@bad;
                    $failed++;
                    print "# $name: ", join(', ', @bad), "\n";
                    $hung += grep { /timeout/ } @bad;
                    return !print "# stopped: three runs did not end\n" if $hung >= 3; # ere the test's own limit
                }
            }
            $after = 1 if "; $base" =~ /; \Q$line\E fail/;
            $prev = $line;
        }
    }
    my @missed = grep { !$reached{$_} } sort keys %takes; # a call that a change drops takes its cases along
    print "# no run reached: @missed\n" if @missed && !defined $ENV{ONLY};
    $failed++ if @missed && !defined $ENV{ONLY};
    print "# errors: $runs runs, $failed failed\n";
    return !$failed;
}

my $what = shift; # a row's words come on stdin, each ended by a NUL: whole trees pass the bounds of argv
@ARGV = do { local $/; <STDIN> } =~ /([^\0]*)\0/g if $what eq 'row';
exit !($what eq 'row' ? row(@ARGV) : $what eq 'signals' ? signal_at_each_call(@ARGV)
    : $what eq 'errors' ? error_at_each_call() : print scan());
