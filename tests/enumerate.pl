#!/usr/bin/perl
# Signals and clean-up failures by enumeration: places each kind of signal at every call the tool makes in one
# representative run (new levels, an existing file, a path failure, a write that fails, reports written out in the
# middle), with stdout a pipe, a regular file and a terminal; then fails each call of the clean-up with each errno.
# Every run must leave whole files or none, and whole reports in order, one for each file made; a signal ends it.
# Usage: enumerate.pl TOOL FAULT_LIB DIR pipe|file|tty|cleanup. RUNNER: what runs the tool (an emulator).
use strict;
use warnings;
use POSIX qw(:signal_h :errno_h);

my ($tool, $lib, $dir, $stdout) = @ARGV;
my ($runs, $failed) = (0, 0);

# Runs the tool in a fresh directory holding x/fichier_02; returns how it ended, its output and the directory.
sub run {
    my ($kind, $fault, @args) = @_;
    my $w = "$dir/" . ++$runs;
    mkdir($w) && mkdir("$w/x") && open(my $f, '>', "$w/x/fichier_02") or die "$w: $!";
    print {$f} "mine\n";
    close $f;
    pipe(my $r, my $wr) or die;
    fcntl($wr, 1031, 1 << 20); # F_SETPIPE_SZ: room for every report, so that none waits for this reader
    my $pid = fork // die;
    if (!$pid) {
        $SIG{$_} = 'DEFAULT' for keys %SIG;
        sigprocmask(SIG_SETMASK, POSIX::SigSet->new);
        open(STDOUT, ">&", $wr) && ($kind ne "file" || open(STDOUT, ">", "$w.out")) && chdir($w) or POSIX::_exit(126);
        @ENV{qw(FAULT FAULT_TTY FAULT_LOG)} = ($fault, 'copy', "$w.calls");
        $ENV{$ENV{RUNNER} ? 'QEMU_SET_ENV' : 'LD_PRELOAD'} = ($ENV{RUNNER} ? 'LD_PRELOAD=' : '') . $lib;
        delete $ENV{FAULT_TTY} if $kind ne 'tty';
        delete $ENV{FAULT_LOG} if $fault =~ /\*/; # the calls of an undisturbed run only
        exec(split(' ', $ENV{RUNNER} // ''), $tool, @args) or POSIX::_exit(127);
    }
    close $wr;
    local $SIG{ALRM} = sub { kill 'KILL', $pid };
    alarm 20;
    my $out = do { local $/; <$r> };
    waitpid $pid, 0;
    alarm 0;
    my $end = $? & 127 ? 'signal ' . ($? & 127) : 'exit ' . ($? >> 8);
    die "# $tool could not be run\n" if $end eq "exit 127";
    $out = do { local $/; open(my $o, '<', "$w.out") or die; <$o> } if $kind eq 'file';
    $out =~ tr/\r\0//d; # a terminal's carriage returns, a filler's zeros
    return ($end, $out, $w);
}

# What each argument's report says, checked against the tree: an argument's file, when it is there, is whole and
# reported; a file reported as created is there. Returns the reports' kinds, and complaints.
sub check {
    my ($out, $w, @args) = @_;
    my (@kinds, @bad);
    for my $i (1 .. @args) {
        my ($a, $f) = ($args[$i - 1], sprintf('%sfichier_%02d', $args[$i - 1], $i));
        my $text = -e "$w/$f" ? do { local $/; open(my $h, '<', "$w/$f") or die; <$h> } : undef;
        my $made = defined $text && $a ne 'x/';
        push @bad, "$f holds '$text'" if defined $text && $text ne ($made ? " je suis le fichier fichier_" .
            sprintf('%02d', $i) . "\n" : "mine\n");
        if ($out =~ s/^ File "\Q$f\E" is (created|already existing)\.\n//) {
            push @kinds, $1;
            push @bad, "$f reported $1" if ($1 eq 'created') != $made || ($1 ne 'created' && $a ne 'x/');
        } elsif ($out =~ s/^ (?:error: Cannot creat the file "\Q$f\E"|Error : Cannot use the path "\Q$a\E")\n\t.+\n//) {
            push @kinds, 'failed';
        } else {
            push @bad, "$f made, not reported" if $made;
            push @kinds, 'none';
        }
    }
    push @bad, "more output: '" . substr($out, 0, 80) . "'" if $out ne '';
    push @bad, "a report after a missing one" if "@kinds" =~ /none [caf]/;
    return (\@kinds, @bad);
}

sub complain {
    my ($what, @bad) = @_;
    $failed++;
    print "# $what: $_\n" for @bad;
}

# A signal at every call that an undisturbed run makes; interrupted, at each call but those that change signals.
my $long = 'x' x 33000; # two such reports pass the 64 KiB after which the reports are written out
for my $kind (grep { $_ eq $stdout } qw(pipe file tty)) {
    # A terminal gets each report at once; its buffer holds all of these, so none is dropped for want of room.
    my @args = ('n/e/', 'x/', 'c:d/', 'w/', $kind eq 'tty' ? () : ($long) x 2, 'z/');
    my ($end, $out, $w) = run($kind, 'write 2 fail 28', @args);
    my ($kinds, @bad) = check($out, $w, @args);
    my $want = join ' ', qw(created already failed failed), $kind eq 'tty' ? () : ('failed') x 2, 'created';
    (my $got = "@$kinds") =~ s/ existing//g;
    die "# $kind, undisturbed: $end, $got, @bad\n" if $end ne "exit 0" || $got ne $want || @bad;
    my @calls = do { open(my $c, '<', "$w.calls") or die; map { chomp; $_ } <$c> };
    for my $n (1 .. @calls) {
        for my $mode ('raise 15', 'intr 15', 'raise RTMAX', 'intr RTMAX', 'raise 15 15', 'intr 15 15', 'kill 6') {
            next if $mode =~ /^intr/ && $calls[$n - 1] =~ /^sig/;
            next if $mode =~ /RT/ && $ENV{RUNNER}; # an emulator numbers the real-time signals its own way
            ($end, $out, $w) = run($kind, "* $n $mode; write 2 fail 28", @args);
            ($kinds, @bad) = check($out, $w, @args);
            my $sig = $mode =~ /RTMAX/ ? SIGRTMAX : (split ' ', $mode)[1];
            push @bad, "ended by $end" if $end ne "signal $sig";
            complain("$kind, call $n ($calls[$n - 1]): $mode", @bad) if @bad;
        }
    }
}

# The clean-up of a file whose write failed: each call fails in turn with each errno but EINTR (signals are blocked
# meanwhile). The file is still removed, but where the system cannot tell that the entry is this file (fstat,
# fstatat) or refuses to remove it. The first fstat and open are stdout's and the file's own.
for my $call (grep { $stdout eq 'cleanup' } qw(readlink fstat open fstatat unlinkat close)) {
    for my $e (EACCES, EBADF, EBUSY, EFAULT, EINVAL, EIO, EISDIR, ELOOP, EMFILE, ENAMETOOLONG, ENFILE, ENOENT, ENOMEM,
        ENOTDIR, EOVERFLOW, EPERM, EROFS) {
        my ($end, $out, $w) = run('pipe', "$call " . ($call =~ /^(open|fstat)$/ ? 2 : 1) . " fail $e; write 1 fail 28", 'w/');
        my $left = -e "$w/w/fichier_01" ? 1 : 0;
        my $want = $call =~ /^(fstat|fstatat|unlinkat)$/ ? 1 : 0;
        my @bad = ($end ne 'exit 0' ? "ended by $end" : (), $out !~ /^ error: Cannot creat the file "w\/fichier_01"\n\t/
            ? "reported '$out'" : (), $left != $want ? "file left: $left" : ());
        complain("$call fails with errno $e", @bad) if @bad;
    }
}
print "# $runs runs, $failed failed\n";
exit($failed > 0);
